#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestralune {

class RunLoop;

// What an open panel shows and lets the user choose (NSOpenPanel's settings).
struct OpenPanelOptions {
    // The items the panel offers; `any` offers every file (or folder).
    enum class AllowedContent { any, applicationBundles, images };

    std::string title{};
    // A line of explanation under the title. The desktop portal has no place for it, so it is
    // not shown there.
    std::string message{};
    // The label of the accepting button.
    std::string prompt{};
    bool allowsMultipleSelection = false;
    bool canChooseFiles = true;
    bool canChooseDirectories = false;
    AllowedContent allowedContent = AllowedContent::any;
    // The folder the panel starts in; the desktop's choice when empty or not a folder.
    std::string directory{};
};

// The chosen paths in the panel's order; empty when the panel was cancelled or could not be
// shown.
using OpenPanelCompletion = std::function<void(std::vector<std::string> paths)>;

// Shows open panels without blocking the main thread: the sweep and every timer run on while
// the user looks at a panel. Main thread only.
class OpenPanel {
  public:
    virtual ~OpenPanel() = default;
    // Shows a panel and returns at once. `completion` runs exactly once, on the main run loop,
    // when the panel closes; a panel the user never closes never completes.
    virtual void runOpenPanel(const OpenPanelOptions& options, OpenPanelCompletion completion) = 0;
};

// Panels of the desktop's file chooser portal (org.freedesktop.portal.FileChooser) on the
// session bus. The portal chooses either files or folders: folders when only folders may be
// chosen, or when both may and the allowed items are application bundles (folders here);
// files otherwise. Without a session bus or a portal, a panel logs one line and completes as
// cancelled, as it does when the portal leaves the bus while the panel is open.
// `mainLoop` must outlive every panel still open.
std::shared_ptr<OpenPanel> makeOpenPanel(RunLoop& mainLoop);

}  // namespace kestralune
