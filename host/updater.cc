#include "host/updater.h"

#include "host/quit_protection.h"

#include <filesystem>
#include <utility>

namespace kestralune {

namespace {

constexpr const char* kUpdaterBundleIdentifier = "com.orrindale.app";
constexpr const char* kCheckItemTitle = "Check for Updates…";
constexpr std::size_t kCheckItemIndex = 2;

}  // namespace

KestraluneUpdater::KestraluneUpdater(Dependencies dependencies)
    : dependencies(std::move(dependencies)),
      supported(isSupported(this->dependencies.mainBundle)) {}

bool KestraluneUpdater::isSupported(const Bundle& mainBundle) {
    std::error_code ignored;
    const auto receipt =
        std::filesystem::path(mainBundle.path) / "Contents" / "_MASReceipt" / "receipt";
    return !std::filesystem::exists(receipt, ignored) &&
           mainBundle.identifier == kUpdaterBundleIdentifier;
}

bool KestraluneUpdater::isBlockingTime() const {
    return OrrindaleQuitProtection::blockingActive ||
           (dependencies.scheduleActiveNow && dependencies.scheduleActiveNow());
}

void KestraluneUpdater::start() {
    if (!supported || controller) {
        return;
    }
    controller = dependencies.makeController(weak_from_this());
    auto application = dependencies.application.lock();
    auto* menu = application ? application->applicationMenu() : nullptr;
    if (!menu) {
        return;
    }
    const auto index = std::min(kCheckItemIndex, menu->size());
    menu->insert(menu->begin() + static_cast<std::ptrdiff_t>(index),
                 ApplicationMenuItem{
                     kCheckItemTitle,
                     "checkForUpdates:",
                     weakBlock(shared_from_this(),
                               [](KestraluneUpdater& updater) { updater.checkForUpdates(); }),
                     {}});
}

void KestraluneUpdater::installChannel(BinaryMessenger& messenger) {
    channel = std::make_unique<MethodChannel>(messenger, kChannelName);
    channel->setMethodCallHandler(
        [weak = weak_from_this()](const MethodCall& call, MethodResult result) {
            if (auto updater = weak.lock()) {
                updater->handle(call, std::move(result));
            } else {
                result.success();
            }
        });
}

EncodableMap KestraluneUpdater::status() const {
    return {
        {"available", supported && controller != nullptr},
        {"updateAvailable", hasUpdate},
        {"automaticChecks", controller && controller->automaticallyChecksForUpdates()},
        {"canCheck", controller && controller->canCheckForUpdates()},
    };
}

void KestraluneUpdater::handle(const MethodCall& call, MethodResult result) {
    if (call.method == "status") {
        result.success(status());
        return;
    }
    if (call.method == "setAutomaticChecks") {
        const auto* enabled = call.arguments.getIf<bool>();
        if (enabled && controller) {
            controller->setAutomaticallyChecksForUpdates(*enabled);
        }
        result.success(status());
        return;
    }
    if (call.method == "check") {
        if (!controller || !controller->canCheckForUpdates()) {
            result.error("unavailable", "Update checking is unavailable.");
            return;
        }
        if (isBlockingTime()) {
            result.error("blocking", "Check for updates after your block ends.");
            return;
        }
        controller->checkForUpdates();
        result.success();
        return;
    }
    result.notImplemented();
}

void KestraluneUpdater::checkForUpdates() {
    if (isBlockingTime()) {
        OrrindaleQuitProtection::showQuitRefusedNotice(dependencies.runLoop,
                                                       dependencies.alertPresenter);
        return;
    }
    if (controller) {
        controller->checkForUpdates();
    }
}

void KestraluneUpdater::updaterDidFindValidUpdate(const AppcastItem&) {
    hasUpdate = true;
    announceStatusChange();
}

void KestraluneUpdater::updaterDidNotFindUpdate() {
    hasUpdate = false;
    announceStatusChange();
}

void KestraluneUpdater::announceStatusChange() {
    if (channel) {
        channel->invokeMethod("statusChanged");
    }
}

bool KestraluneUpdater::updaterShouldPostponeRelaunchForUpdate(
    const AppcastItem&, std::function<void()> installHandler) {
    if (!isBlockingTime()) {
        return false;
    }
    deferredInstall = std::move(installHandler);
    if (retryTimer) {
        retryTimer->invalidate();
    }
    std::weak_ptr<KestraluneUpdater> weak = weak_from_this();
    // The timer holds the updater weakly; a tick that finds it gone ends the timer. The timer
    // is reached through a shared slot because the block must exist before the timer does.
    auto slot = std::make_shared<std::weak_ptr<Timer>>();
    retryTimer = dependencies.runLoop.scheduleTimer(kRelaunchRetryInterval, true, [weak, slot] {
        if (auto updater = weak.lock()) {
            updater->retryTick();
        } else if (auto timer = slot->lock()) {
            timer->invalidate();
        }
    });
    *slot = retryTimer;
    return true;
}

void KestraluneUpdater::retryTick() {
    if (isBlockingTime()) {
        return;
    }
    if (retryTimer) {
        retryTimer->invalidate();
        retryTimer.reset();
    }
    auto install = std::exchange(deferredInstall, nullptr);
    if (install) {
        install();
    }
}

}  // namespace kestralune
