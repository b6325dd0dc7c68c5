#pragma once

#include "platform/alert_presenter.h"
#include "platform/application_launcher.h"
#include "platform/file_manager.h"
#include "platform/progress_window.h"
#include "platform/run_loop.h"
#include "platform/tool_runner.h"
#include "platform/workspace.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kestralune {

// Where a successful installation left things.
struct InstalledFiles {
    std::string destination;
    // The hidden sibling holding what was at the destination before; nothing when there was
    // nothing.
    std::optional<std::string> previous;
};

// Copies the bundle at `source` to `destination` through a staging folder beside it; what
// was at the destination is first moved to a hidden sibling and moved back when the new copy
// cannot take its place. Returns an empty string on success, else the reason; the staging
// folder is gone either way, and so is any left by an installer that did not finish.
[[nodiscard]] std::string installFiles(const std::string& source, const std::string& destination,
                                       FileManager& manager, InstalledFiles& installed);

// The installer: checks the copy of Kestralune it carries, installs it into /Applications
// (or ~/Applications where /Applications cannot be written), puts an older copy in the Trash,
// opens the installed copy and quits. Every path ends with `terminate`.
//
// Main thread only; the signature check and the copying run through `runInBackground`.
class Installer : public std::enable_shared_from_this<Installer> {
  public:
    static constexpr const char* kAppID = "com.orrindale.app";
    // The signature tool's requirement: Kestralune's identifier, signed by its team.
    static constexpr const char* kRequirementArgument =
        "-R=anchor apple generic and certificate leaf[subject.OU] = \"Q4TWM82KXA\" and "
        "identifier \"com.orrindale.app\"";

    struct Dependencies {
        RunLoop& runLoop;
        AlertPresenter& alerts;
        ProgressWindow& progressWindow;
        std::shared_ptr<FileManager> fileManager;
        std::shared_ptr<Workspace> workspace;
        std::shared_ptr<ApplicationLauncher> launcher;
        // Runs the signature tool at `codesignPath`.
        std::shared_ptr<ToolRunner> toolRunner;
        std::string codesignPath;
        // The Kestralune.app the installer carries; nothing when it is missing.
        std::optional<std::string> carriedApplication;
        // The preferred folder; tests point it elsewhere.
        std::string applicationsFolder = "/Applications";
        // Moves an item to the Trash; an empty string on success.
        std::function<std::string(const std::string&)> moveToTrash;
        std::function<void(std::function<void()>)> runInBackground;
        // Quits the installer; `failed` after an error alert.
        std::function<void(bool failed)> terminate;
    };

    explicit Installer(Dependencies dependencies);

    // The whole installation, from the checks to opening the installed copy.
    void applicationDidFinishLaunching();

    // An empty string when the bundle passes the signature check, else why not.
    std::string verify(const std::string& bundle);
    // True only when `b` has the same seal and executable as `a` and passes verify.
    bool sameVersion(const std::string& a, const std::string& b);
    // Opens the application and quits once it has started.
    void open(const std::string& bundle);
    // Shows the error alert, then quits.
    void fail(const std::string& text);

  private:
    void install(const std::string& source, const std::string& destination);

    const Dependencies dependencies;
};

}  // namespace kestralune
