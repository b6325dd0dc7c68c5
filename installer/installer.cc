#include "installer/installer.h"

#include "platform/files.h"
#include "platform/log.h"
#include "platform/text.h"

#include <filesystem>
#include <utility>

namespace kestralune {

namespace fs = std::filesystem;

namespace {

constexpr const char* kStagingPrefix = ".Kestralune-install-";
constexpr const char* kPreviousPrefix = ".Kestralune-previous-";
constexpr const char* kAlertTitle = "Kestralune Installer";
constexpr const char* kVerificationFailed =
    "App signature verification failed. Please download it again.";

// Large enough for any executable Kestralune ships.
constexpr std::size_t kLargestComparedFile = std::size_t{1} << 30;

bool samePath(const std::string& a, const std::string& b) {
    std::error_code ignored;
    return fs::weakly_canonical(a, ignored) == fs::weakly_canonical(b, ignored);
}

}  // namespace

std::string installFiles(const std::string& source, const std::string& destination,
                         FileManager& manager, InstalledFiles& installed) {
    const auto parent = fs::path(destination).parent_path();
    if (auto error = manager.createDirectory(parent.string(), true); !error.empty()) {
        return error;
    }
    // A staging folder outlives only an installer that was killed; the next one removes it.
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(parent, ignored)) {
        if (entry.path().filename().string().starts_with(kStagingPrefix)) {
            fs::remove_all(entry.path(), ignored);
        }
    }
    const auto staging = (parent / (kStagingPrefix + makeUuidString())).string();
    if (auto error = manager.createDirectory(staging, false); !error.empty()) {
        return error;
    }
    struct RemoveStaging {
        FileManager& manager;
        const std::string& staging;
        ~RemoveStaging() { (void)manager.removeItem(staging); }
    } removeStaging{manager, staging};

    const auto staged = (fs::path(staging) / "Kestralune.app").string();
    if (auto error = manager.copyItem(source, staged); !error.empty()) {
        return error;
    }
    std::optional<std::string> previous;
    if (manager.fileExists(destination)) {
        previous = (parent / (kPreviousPrefix + makeUuidString() + ".app")).string();
        if (auto error = manager.moveItem(destination, *previous); !error.empty()) {
            return error;
        }
    }
    if (auto error = manager.moveItem(staged, destination); !error.empty()) {
        if (previous) {
            (void)manager.moveItem(*previous, destination);
        }
        return error;
    }
    installed = InstalledFiles{destination, previous};
    return {};
}

Installer::Installer(Dependencies dependencies) : dependencies(std::move(dependencies)) {}

void Installer::applicationDidFinishLaunching() {
    // Without a screen there is nothing to activate: the dialogs come to the front themselves.
    if (!dependencies.carriedApplication) {
        fail("The installer is incomplete. Please download it again.");
        return;
    }
    const auto source = *dependencies.carriedApplication;
    auto& files = *dependencies.fileManager;
    auto destination = (fs::path(dependencies.applicationsFolder) / "Kestralune.app").string();
    if (!files.isWritableFile(dependencies.applicationsFolder)) {
        destination = (fs::path(files.homeDirectory()) / "Applications/Kestralune.app").string();
    }

    for (const auto& running : dependencies.workspace->runningApplications()) {
        if (running->bundleIdentifier() != kAppID) {
            continue;
        }
        const auto location = running->bundlePath();
        if (location && samePath(*location, destination) && sameVersion(source, destination)) {
            // A second start of a running Kestralune brings it forward.
            dependencies.launcher->openApplication(
                destination, {}, [terminate = dependencies.terminate](auto) { terminate(false); });
            return;
        }
        fail("Quit Kestralune, then open this installer again.");
        return;
    }

    if (files.fileExists(destination)) {
        if (sameVersion(source, destination)) {
            open(destination);
            return;
        }
        const auto answer = dependencies.alerts.runModal(
            Alert{Alert::Style::informational,
                  "Replace Kestralune?",
                  "Your account and settings will be kept. The previous app will be moved to "
                  "Trash.",
                  {"Replace", "Cancel"}});
        if (answer != 0u) {
            dependencies.terminate(false);
            return;
        }
    }
    install(source, destination);
}

void Installer::install(const std::string& source, const std::string& destination) {
    dependencies.progressWindow.show(kAlertTitle, "Installing Kestralune…");
    std::weak_ptr<Installer> weak = weak_from_this();
    dependencies.runInBackground([weak, source, destination, &runLoop = dependencies.runLoop] {
        auto installer = weak.lock();
        if (!installer) {
            return;
        }
        InstalledFiles installed;
        auto error = installer->verify(source);
        if (error.empty()) {
            error =
                installFiles(source, destination, *installer->dependencies.fileManager, installed);
        }
        runLoop.async([weak, error, installed] {
            auto installer = weak.lock();
            if (!installer) {
                return;
            }
            if (!error.empty()) {
                installer->fail("Could not install Kestralune. " + error);
                return;
            }
            if (installed.previous) {
                if (const auto trashed = installer->dependencies.moveToTrash(*installed.previous);
                    !trashed.empty()) {
                    logLine("Kestralune Installer could not move the previous copy to the Trash: " +
                            trashed);
                }
            }
            installer->open(installed.destination);
        });
    });
}

std::string Installer::verify(const std::string& bundle) {
    const auto result = dependencies.toolRunner->runTool(
        dependencies.codesignPath,
        {"--verify", "--deep", "--strict", kRequirementArgument, bundle});
    if (result.status == -1) {
        return result.output;
    }
    return result.status == 0 ? std::string() : kVerificationFailed;
}

bool Installer::sameVersion(const std::string& a, const std::string& b) {
    for (const char* relative :
         {"Contents/_CodeSignature/CodeResources", "Contents/MacOS/Kestralune"}) {
        const auto first = readFile((fs::path(a) / relative).string(), kLargestComparedFile);
        if (!first) {
            return false;
        }
        const auto second = readFile((fs::path(b) / relative).string(), kLargestComparedFile);
        if (!second || *first != *second) {
            return false;
        }
    }
    return verify(b).empty();
}

void Installer::open(const std::string& bundle) {
    dependencies.progressWindow.hide();
    std::weak_ptr<Installer> weak = weak_from_this();
    dependencies.launcher->openApplication(bundle, {}, [weak](std::optional<std::string> error) {
        auto installer = weak.lock();
        if (!installer) {
            return;
        }
        if (error) {
            installer->fail("Kestralune was installed. Open it from Applications. " + *error);
        } else {
            installer->dependencies.terminate(false);
        }
    });
}

void Installer::fail(const std::string& text) {
    dependencies.progressWindow.hide();
    dependencies.alerts.runModal(Alert{Alert::Style::critical, kAlertTitle, text, {"OK"}});
    dependencies.terminate(true);
}

}  // namespace kestralune
