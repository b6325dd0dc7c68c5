#include "platform/standard_updater.h"

#include "platform/appcast.h"
#include "platform/linux/archive_extraction.h"
#include "platform/linux/bundle_replacement.h"
#include "platform/linux/ed25519_signature.h"
#include "platform/linux/update_download.h"
#include "platform/log.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <utility>

namespace kestralune {

namespace fs = std::filesystem;

namespace {

double secondsSince1970(WallClockTime moment) {
    return std::chrono::duration<double>(moment.time_since_epoch()).count();
}

// Why the unpacked bundle may not replace the installed one; empty when it may, and then
// `executable` is its executable's name.
std::string checkUnpackedBundle(const std::string& path, const Bundle& installed,
                                const AppcastItem& item, std::string& executable) {
    const auto bundle = bundleAtPath(path);
    if (!bundle) {
        return "The update archive holds no " + fs::path(installed.path).filename().string() + ".";
    }
    if (bundle->identifier != installed.identifier) {
        return "The unpacked bundle's identifier is \"" + bundle->identifier.value_or("") +
               "\", not \"" + installed.identifier.value_or("") + "\".";
    }
    if (const auto version = infoString(*bundle, "CFBundleVersion");
        version != item.versionString) {
        return "The unpacked bundle's version is \"" + version + "\", not the announced \"" +
               item.versionString + "\".";
    }
    executable = infoString(*bundle, "CFBundleExecutable");
    std::error_code error;
    const auto status = fs::status(fs::path(path) / "Contents" / "MacOS" / executable, error);
    if (executable.empty() || executable.find('/') != std::string::npos || executable == ".." ||
        !fs::is_regular_file(status) ||
        (status.permissions() & fs::perms::owner_exec) == fs::perms::none) {
        return "The unpacked bundle's executable \"" + executable +
               "\" is missing or cannot be run.";
    }
    return {};
}

// An archive may unpack folders without write permission, which a plain recursive removal
// cannot empty.
void removeStagingFolder(const std::string& folder) {
    if (const auto failure = removeTree(folder); !failure.empty()) {
        logLine("Kestralune updater: " + failure);
    }
}

}  // namespace

struct StandardUpdater::CheckOutcome {
    std::optional<AppcastItem> update;
    // Empty when the feed was read; otherwise why not.
    std::string failure;
};

struct StandardUpdater::Preparation {
    std::string stagingFolder;
    std::string unpackedBundle;
    std::string executable;
    std::string failure;
};

std::shared_ptr<StandardUpdater> StandardUpdater::start(
    StandardUpdaterEnvironment environment, std::weak_ptr<SoftwareUpdaterDelegate> delegate) {
    auto updater = std::make_shared<StandardUpdater>(std::move(environment), std::move(delegate));
    // An update interrupted by a crash leaves its private folder beside the bundle.
    const fs::path installed(updater->environment.mainBundle.path);
    const auto prefix = "." + installed.filename().string() + ".update-";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(installed.parent_path(), error)) {
        if (entry.path().filename().string().starts_with(prefix)) {
            removeStagingFolder(entry.path().string());
        }
    }
    updater->scheduleAutomaticCheck();
    return updater;
}

std::shared_ptr<UpdaterController> makeStandardUpdaterController(
    StandardUpdaterEnvironment environment, std::weak_ptr<SoftwareUpdaterDelegate> delegate) {
    return StandardUpdater::start(std::move(environment), std::move(delegate));
}

StandardUpdater::StandardUpdater(StandardUpdaterEnvironment environment,
                                 std::weak_ptr<SoftwareUpdaterDelegate> delegate)
    : environment(std::move(environment)), delegate(std::move(delegate)) {}

StandardUpdater::~StandardUpdater() {
    *cancelled = true;
}

bool StandardUpdater::isConfigured() const {
    return !infoString(environment.mainBundle, "SUFeedURL").empty() &&
           !infoString(environment.mainBundle, "SUPublicEDKey").empty();
}

bool StandardUpdater::automaticallyChecksForUpdates() const {
    return environment.defaults->boolForKey(kAutomaticChecksKey).value_or(true);
}

void StandardUpdater::setAutomaticallyChecksForUpdates(bool enabled) {
    environment.defaults->setObject(kAutomaticChecksKey, enabled);
    scheduleAutomaticCheck();
}

bool StandardUpdater::canCheckForUpdates() const {
    return isConfigured() && state == State::idle;
}

void StandardUpdater::checkForUpdates() {
    if (canCheckForUpdates()) {
        beginCheck(true);
    }
}

void StandardUpdater::scheduleAutomaticCheck() {
    if (checkTimer) {
        checkTimer->invalidate();
        checkTimer.reset();
    }
    if (!isConfigured() || !automaticallyChecksForUpdates()) {
        return;
    }
    const double now = secondsSince1970(environment.runLoop.clock().now());
    double delay = 0;
    if (const auto last = environment.defaults->objectForKey(kLastCheckTimeKey)) {
        if (const auto* seconds = last->get<double>()) {
            // A clock set back never pushes the next check beyond a day.
            delay = std::clamp(*seconds + kCheckInterval - now, 0.0, kCheckInterval);
        }
    }
    checkTimer = environment.runLoop.scheduleTimer(
        delay, false, weakBlock(shared_from_this(), [](StandardUpdater& updater) {
            updater.checkTimer.reset();
            if (updater.state == State::idle) {
                updater.beginCheck(false);
            } else {
                updater.scheduleAutomaticCheck();
            }
        }));
}

void StandardUpdater::beginCheck(bool userInitiated) {
    state = State::checking;
    environment.defaults->setObject(kLastCheckTimeKey,
                                    secondsSince1970(environment.runLoop.clock().now()));
    const auto feedURL = infoString(environment.mainBundle, "SUFeedURL");
    const auto currentVersion = infoString(environment.mainBundle, "CFBundleVersion");
    std::weak_ptr<StandardUpdater> weak = weak_from_this();
    environment.runInBackground([weak, &runLoop = environment.runLoop, feedURL, currentVersion,
                                 userInitiated, cancelled = this->cancelled] {
        CheckOutcome outcome;
        std::string body;
        std::vector<AppcastItem> items;
        outcome.failure =
            fetchUpdateFeed(feedURL, kMaximumFeedSize, kFeedTimeoutSeconds, body, cancelled.get());
        if (outcome.failure.empty()) {
            outcome.failure = parseAppcast(body, items);
        }
        if (outcome.failure.empty()) {
            outcome.update = bestUpdate(items, currentVersion);
        }
        runLoop.async([weak, outcome, userInitiated] {
            if (auto updater = weak.lock()) {
                updater->finishCheck(outcome, userInitiated);
            }
        });
    });
}

void StandardUpdater::finishCheck(const CheckOutcome& outcome, bool userInitiated) {
    const auto current = infoString(environment.mainBundle, "CFBundleShortVersionString");
    if (!outcome.update) {
        state = State::idle;
        if (!outcome.failure.empty()) {
            logLine("Kestralune update check failed: " + outcome.failure);
            if (userInitiated) {
                environment.alertPresenter.runModal(
                    Alert{Alert::Style::warning, "Update Error!", outcome.failure, {"OK"}});
            }
        } else {
            logLine("Kestralune update check: Kestralune " + current +
                    " is the newest version available.");
            if (userInitiated) {
                environment.alertPresenter.runModal(
                    Alert{Alert::Style::informational,
                          "You’re up to date!",
                          "Kestralune " + current + " is currently the newest version available.",
                          {"OK"}});
            }
        }
        if (auto target = delegate.lock()) {
            target->updaterDidNotFindUpdate();
        }
        scheduleAutomaticCheck();
        return;
    }

    const auto item = *outcome.update;
    state = State::installing;
    logLine("Kestralune update check: version " + item.displayVersionString + " (" +
            item.versionString + ") is available.");
    if (auto target = delegate.lock()) {
        target->updaterDidFindValidUpdate(item);
    }
    environment.alertPresenter.runModal(
        Alert{Alert::Style::informational,
              "A new version of Kestralune is available!",
              "Kestralune " + item.displayVersionString + " is now available—you have " + current +
                  ". It will be installed when no block is running.",
              {"OK"}});

    const auto publicKey = infoString(environment.mainBundle, "SUPublicEDKey");
    const auto installed = environment.mainBundle;
    std::weak_ptr<StandardUpdater> weak = weak_from_this();
    environment.runInBackground([weak, &runLoop = environment.runLoop, item, publicKey, installed,
                                 cancelled = this->cancelled] {
        Preparation preparation;
        auto& failure = preparation.failure;
        if (item.contentLength == 0 || item.contentLength > kMaximumArchiveSize) {
            failure = "The update's announced length " + std::to_string(item.contentLength) +
                      " is not between 1 byte and 512 MiB.";
        }
        if (failure.empty()) {
            failure = makeUpdateStagingFolder(installed.path, preparation.stagingFolder);
        }
        const auto archive = fs::path(preparation.stagingFolder) / "archive";
        const auto unpacked = fs::path(preparation.stagingFolder) / "unpacked";
        if (failure.empty()) {
            failure = downloadUpdateArchive(item.fileURL, archive.string(), item.contentLength,
                                            cancelled.get());
        }
        if (failure.empty()) {
            failure = verifyEd25519FileSignature(archive.string(), publicKey, item.edSignature);
        }
        std::error_code error;
        if (failure.empty() && !fs::create_directory(unpacked, error)) {
            failure = "Could not create " + unpacked.string() + ": " + error.message() + ".";
        }
        if (failure.empty()) {
            failure = extractUpdateArchive(archive.string(), unpacked.string());
        }
        if (failure.empty()) {
            preparation.unpackedBundle = (unpacked / fs::path(installed.path).filename()).string();
            std::string executable;
            failure = checkUnpackedBundle(preparation.unpackedBundle, installed, item, executable);
            preparation.executable =
                (fs::path(installed.path) / "Contents" / "MacOS" / executable).string();
        }
        if (failure.empty()) {
            fs::remove(archive, error);
        }
        runLoop.async([weak, item, preparation] {
            if (auto updater = weak.lock()) {
                updater->finishPreparing(item, preparation);
            }
        });
    });
}

void StandardUpdater::finishPreparing(const AppcastItem& item, const Preparation& preparation) {
    if (!preparation.failure.empty()) {
        fail(item, preparation.failure, preparation.stagingFolder);
        return;
    }
    state = State::waitingToInstall;
    auto installHandler = [weak = weak_from_this(), item, preparation,
                           used = std::make_shared<bool>(false)] {
        auto updater = weak.lock();
        if (updater && !std::exchange(*used, true)) {
            updater->install(item, preparation);
        }
    };
    auto target = delegate.lock();
    if (target && target->updaterShouldPostponeRelaunchForUpdate(item, installHandler)) {
        logLine("Kestralune " + item.displayVersionString +
                " is ready and will be installed when blocking ends.");
        return;
    }
    installHandler();
}

void StandardUpdater::install(const AppcastItem& item, const Preparation& preparation) {
    const auto failure = replaceBundle(environment.mainBundle.path, preparation.unpackedBundle);
    if (!failure.empty()) {
        fail(item, failure, preparation.stagingFolder);
        return;
    }
    removeStagingFolder(preparation.stagingFolder);
    logLine("Kestralune " + item.displayVersionString + " (" + item.versionString +
            ") is installed; relaunching.");
    environment.relaunch(preparation.executable);
}

void StandardUpdater::fail(const AppcastItem& item, const std::string& reason,
                           const std::string& stagingFolder) {
    if (!stagingFolder.empty()) {
        removeStagingFolder(stagingFolder);
    }
    state = State::idle;
    logLine("Kestralune " + item.displayVersionString + " (" + item.versionString +
            ") was not installed: " + reason);
    environment.alertPresenter.runModal(
        Alert{Alert::Style::warning, "Update Error!", reason, {"OK"}});
    scheduleAutomaticCheck();
}

}  // namespace kestralune
