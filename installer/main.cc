// KestraluneInstaller: installs the Kestralune.app it carries in Contents/Resources/.
#include "installer/installer.h"
#include "platform/bundle.h"
#include "platform/desktop_dialogs.h"
#include "platform/linux/application_launcher_linux.h"
#include "platform/linux/asio_run_loop.h"
#include "platform/serial_queue.h"
#include "platform/trash.h"

#include <filesystem>

namespace {

constexpr const char* kSystemCodesign = "/usr/bin/codesign";

}  // namespace

int main() {
    using namespace kestralune;
    namespace fs = std::filesystem;

    AsioRunLoop runLoop;
    auto dialogs = makeDesktopDialogs();
    const auto contents = fs::path(mainBundle().path) / "Contents";
    std::optional<std::string> carried;
    if (std::error_code ignored; fs::is_directory(contents / "Resources/Kestralune.app", ignored)) {
        carried = (contents / "Resources/Kestralune.app").string();
    }
    std::error_code ignored;
    const auto codesign = fs::exists(kSystemCodesign, ignored)
                              ? std::string(kSystemCodesign)
                              : (contents / "MacOS/codesign").string();
    // Checking and copying a bundle takes a while: off the main thread.
    SerialQueue background("com.orrindale.app.installer");
    int status = 0;
    const auto installer = std::make_shared<Installer>(Installer::Dependencies{
        .runLoop = runLoop,
        .alerts = *dialogs.alerts,
        .progressWindow = *dialogs.progress,
        .fileManager = defaultFileManager(),
        .workspace = makeWorkspace(runLoop),
        .launcher = makeApplicationLauncher(runLoop),
        .toolRunner = makeToolRunner(600.0),
        .codesignPath = codesign,
        .carriedApplication = carried,
        .moveToTrash = moveToTrash,
        .runInBackground =
            [&background](std::function<void()> work) { background.async(std::move(work)); },
        .terminate =
            [&](bool failed) {
                status = failed ? 1 : 0;
                runLoop.stop();
            },
    });
    runLoop.async([installer] { installer->applicationDidFinishLaunching(); });
    runLoop.run();
    return status;
}
