#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

// Opens applications (NSWorkspace openApplicationAtURL:configuration:completionHandler:).
class ApplicationLauncher {
  public:
    // Nothing on success, else the reason as a sentence (the error's localised description).
    using Completion = std::function<void(std::optional<std::string> error)>;

    virtual ~ApplicationLauncher() = default;

    // Starts the executable of the bundle at `bundlePath` (CFBundleExecutable in
    // Contents/MacOS/) with `arguments`, in a session of its own and detached from the
    // caller: it outlives the caller and never becomes its child. `completion` runs once on
    // the main run loop: success once the program really runs (its exec succeeded), an error
    // when the bundle has no executable or it cannot be started. Main thread only.
    virtual void openApplication(const std::string& bundlePath,
                                 const std::vector<std::string>& arguments,
                                 Completion completion) = 0;
};

// Runs `executable` with `arguments` (program name first) in place of the calling process:
// same process, same descriptors but those closed on exec, same environment. Returns only on
// failure, with the reason as a sentence.
std::string replaceProcessImage(const std::string& executable,
                                const std::vector<std::string>& arguments);

}  // namespace kestralune
