#include "host/blocking_channel_handler.h"

#include "blocking/network_filter_permission.h"
#include "host/application_choice.h"
#include "host/local_notifications.h"
#include "host/localized_labels.h"
#include "host/main_flutter_window.h"
#include "platform/base64.h"
#include "platform/images.h"
#include "platform/text.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <utility>

namespace kestralune {

namespace {

EncodableValue optionalString(const std::optional<std::string>& text) {
    return text ? EncodableValue(*text) : EncodableValue();
}

// Normalises a photo in the background and answers on the main thread: its base64 JPEG, or
// "profile_photo_unavailable" with `failure`. Holds nothing of the handler, which may be gone
// by then.
void answerWithPhoto(std::shared_ptr<MethodResult> pending,
                     const std::function<void(std::function<void()>)>& runInBackground,
                     RunLoop* runLoop, std::function<std::optional<std::string>()> normalize,
                     const char* failure) {
    runInBackground([normalize = std::move(normalize), pending = std::move(pending), failure,
                     runLoop]() mutable {
        auto jpeg = normalize();
        runLoop->async([pending = std::move(pending), jpeg = std::move(jpeg), failure] {
            if (jpeg) {
                pending->success(base64Encoded(*jpeg));
            } else {
                pending->error("profile_photo_unavailable", failure);
            }
        });
    });
}

}  // namespace

EncodableMap argumentMap(const EncodableValue& arguments) {
    const auto* map = arguments.getIf<EncodableMap>();
    if (!map) {
        return {};
    }
    for (const auto& entry : *map) {
        if (!entry.first.is<std::string>()) {
            return {};
        }
    }
    return *map;
}

std::optional<std::string> appStoreReceiptPath(const Bundle& bundle) {
    if (bundle.infoDictionary.empty()) {
        return std::nullopt;
    }
    const auto receipt =
        std::filesystem::path(bundle.path) / "Contents" / "_MASReceipt" / "receipt";
    std::error_code error;
    if (!std::filesystem::is_regular_file(receipt, error)) {
        return std::nullopt;
    }
    return receipt.string();
}

// In the order in which names are tested.
const BlockingChannelHandler::RowEntry BlockingChannelHandler::kRows[24] = {
    {"setAppearance", &BlockingChannelHandler::setAppearance},
    {"requestAppReview", &BlockingChannelHandler::requestAppReview},
    {"syncPushAlertSchedule", &BlockingChannelHandler::syncPushAlertSchedule},
    {"openNotificationSettings", &BlockingChannelHandler::openNotificationSettings},
    {"getBackgroundSchedulerStatus", &BlockingChannelHandler::getBackgroundSchedulerStatus},
    {"enableBackgroundScheduler", &BlockingChannelHandler::enableBackgroundScheduler},
    {"openBackgroundSchedulerSettings", &BlockingChannelHandler::openBackgroundSchedulerSettings},
    {"syncBackgroundSchedule", &BlockingChannelHandler::syncBackgroundSchedule},
    {"getInitialInviteLink", &BlockingChannelHandler::getInitialInviteLink},
    {"getInitialAuthLink", &BlockingChannelHandler::getInitialAuthLink},
    {"getCapabilities", &BlockingChannelHandler::getCapabilities},
    {"syncConfiguration", &BlockingChannelHandler::syncConfiguration},
    {"syncMenuBarState", &BlockingChannelHandler::syncMenuBarState},
    {"normalizeProfilePhoto", &BlockingChannelHandler::normalizeProfilePhoto},
    {"pickProfilePhoto", &BlockingChannelHandler::pickProfilePhoto},
    {"pickApplications", &BlockingChannelHandler::pickApplications},
    {"startSession", &BlockingChannelHandler::startSession},
    {"requestAccessibilityPermission", &BlockingChannelHandler::requestAccessibilityPermission},
    {"requestNetworkFilterPermission", &BlockingChannelHandler::requestNetworkFilterPermission},
    {"requestNotificationPermission", &BlockingChannelHandler::requestNotificationPermission},
    {"cancelUnlockRequestNotification", &BlockingChannelHandler::cancelUnlockRequestNotification},
    {"stopSession", &BlockingChannelHandler::stopSession},
    {"getBlockedAttemptCount", &BlockingChannelHandler::getBlockedAttemptCount},
    {"getBlockingStatus", &BlockingChannelHandler::getBlockingStatus},
};

BlockingChannelHandler::BlockingChannelHandler(Dependencies dependencies,
                                               std::weak_ptr<MainFlutterWindow> window)
    : dependencies(std::move(dependencies)), window(std::move(window)) {}

MethodChannel::MethodCallHandler BlockingChannelHandler::bind(
    std::shared_ptr<BlockingChannelHandler> handler) {
    return [handler = std::move(handler)](const MethodCall& call, MethodResult result) {
        handler->handle(call, std::move(result));
    };
}

void BlockingChannelHandler::handle(const MethodCall& call, MethodResult result) {
    for (const auto& entry : kRows) {
        if (call.method == entry.name) {
            (this->*entry.row)(call.arguments, result);
            return;
        }
    }
    result.notImplemented();
}

void BlockingChannelHandler::setAppearance(const EncodableValue& arguments, MethodResult& result) {
    const auto* given = arguments.getIf<std::string>();
    const std::string appearance = given ? *given : "system";
    dependencies.standardDefaults->setObject(kAppearanceKey, appearance);
    if (auto app = dependencies.application.lock()) {
        if (appearance == "light") {
            app->setAppearance(AppearanceName::aqua);
        } else if (appearance == "dark") {
            app->setAppearance(AppearanceName::darkAqua);
        } else {
            app->setAppearance(std::nullopt);
        }
    }
    result.success();
}

void BlockingChannelHandler::requestAppReview(const EncodableValue& /*arguments*/,
                                              MethodResult& result) {
    auto app = dependencies.application.lock();
    bool attempted = false;
    if (app && app->isActive()) {
        const auto receipt = appStoreReceiptPath(dependencies.mainBundle);
        if (receipt && std::filesystem::path(*receipt).filename() == "receipt") {
            app->requestReview();
            attempted = true;
        }
    }
    result.success(EncodableMap{{"attempted", attempted}});
}

void BlockingChannelHandler::openNotificationSettings(const EncodableValue& /*arguments*/,
                                                      MethodResult& result) {
    const std::string url = std::string(kNotificationSettingsURLPrefix) +
                            dependencies.mainBundle.identifier.value_or(kDefaultBundleIdentifier);
    result.success(dependencies.urlOpener->openURL(url));
}

void BlockingChannelHandler::getInitialInviteLink(const EncodableValue& /*arguments*/,
                                                  MethodResult& result) {
    result.success(optionalString(dependencies.deepLinkRouter->initialInviteLink()));
}

void BlockingChannelHandler::getInitialAuthLink(const EncodableValue& /*arguments*/,
                                                MethodResult& result) {
    result.success(optionalString(dependencies.deepLinkRouter->pendingAuthLink()));
}

void BlockingChannelHandler::getCapabilities(const EncodableValue& /*arguments*/,
                                             MethodResult& result) {
    auto& defaults = *dependencies.standardDefaults;
    const auto stored = defaults.stringForKey(kDeviceIdKey);
    const std::string deviceId = stored ? *stored : makeUuidString();
    defaults.setObject(kDeviceIdKey, deviceId);
    result.success(EncodableMap{
        {"platform", "macos"},
        {"deviceId", deviceId},
        {"deviceName", dependencies.hostName().value_or("Mac")},
        {"accessibilityTrusted", dependencies.accessibility->isProcessTrusted()},
        {"summary", kCapabilitiesSummary},
    });
}

void BlockingChannelHandler::syncConfiguration(const EncodableValue& arguments,
                                               MethodResult& result) {
    EncodableList items;
    if (auto strong = window.lock()) {
        strong->lastConfiguration = argumentMap(arguments);
        strong->blockingEngine().applyConfiguration(strong->lastConfiguration);
        for (const auto& entry : strong->lastConfiguration) {
            items.push_back(entry.first);
        }
    }
    result.success(EncodableMap{{"stored", true}, {"items", std::move(items)}});
}

void BlockingChannelHandler::syncMenuBarState(const EncodableValue& arguments,
                                              MethodResult& result) {
    dependencies.menuBarController->sync(argumentMap(arguments));
    result.success(EncodableMap{{"synced", true}});
}

void BlockingChannelHandler::startSession(const EncodableValue& arguments, MethodResult& result) {
    auto strong = window.lock();
    if (!strong) {
        result.success(EncodableMap{
            {"started", false},
            {"summary", "macOS blocking engine is unavailable."},
        });
        return;
    }
    result.success(strong->blockingEngine().startSession(argumentMap(arguments)));
}

void BlockingChannelHandler::requestAccessibilityPermission(const EncodableValue& /*arguments*/,
                                                            MethodResult& result) {
    bool trusted = false;
    if (!window.expired()) {
        auto& accessibility = *dependencies.accessibility;
        trusted = accessibility.isProcessTrusted() || accessibility.isProcessTrustedWithPrompt();
    }
    result.success(EncodableMap{{"accessibilityTrusted", trusted}});
}

void BlockingChannelHandler::stopSession(const EncodableValue& /*arguments*/,
                                         MethodResult& result) {
    if (auto strong = window.lock()) {
        strong->blockingEngine().stopSession();
    }
    result.success(EncodableMap{{"stopped", true}});
}

void BlockingChannelHandler::getBlockedAttemptCount(const EncodableValue& /*arguments*/,
                                                    MethodResult& result) {
    auto strong = window.lock();
    const std::int64_t count = strong ? strong->blockingEngine().blockedAttemptCount() : 0;
    result.success(EncodableMap{{"count", count}});
}

void BlockingChannelHandler::getBlockingStatus(const EncodableValue& /*arguments*/,
                                               MethodResult& result) {
    if (auto strong = window.lock()) {
        result.success(strong->blockingEngine().blockingStatus());
        return;
    }
    result.success(EncodableMap{
        {"sessionActive", false},
        {"serverRunning", false},
        {"proxyVerified", false},
        {"webBlockingRequired", false},
    });
}

void BlockingChannelHandler::getBackgroundSchedulerStatus(const EncodableValue& /*arguments*/,
                                                          MethodResult& result) {
    auto& scheduler = *dependencies.backgroundScheduler;
    scheduler.registerIfNeeded();
    result.success(scheduler.statusDictionary());
}

void BlockingChannelHandler::enableBackgroundScheduler(const EncodableValue& /*arguments*/,
                                                       MethodResult& result) {
    auto& scheduler = *dependencies.backgroundScheduler;
    scheduler.registerAgent();
    if (scheduler.statusDictionary() == EncodableMap{{"status", "requiresApproval"}}) {
        scheduler.openSystemSettingsLoginItems();
    }
    result.success(scheduler.statusDictionary());
}

void BlockingChannelHandler::openBackgroundSchedulerSettings(const EncodableValue& /*arguments*/,
                                                             MethodResult& result) {
    dependencies.backgroundScheduler->openSystemSettingsLoginItems();
    result.success();
}

void BlockingChannelHandler::syncBackgroundSchedule(const EncodableValue& arguments,
                                                    MethodResult& result) {
    if (auto failed = dependencies.backgroundScheduler->syncSchedule(arguments); !failed.empty()) {
        result.error("schedule_storage_failed", std::move(failed));
        return;
    }
    result.success();
}

void BlockingChannelHandler::syncPushAlertSchedule(const EncodableValue& arguments,
                                                   MethodResult& result) {
    kestralune::syncPushAlertSchedule(dependencies.notificationCenter,
                                      dependencies.runLoop->clock(), argumentMap(arguments));
    result.success();
}

void BlockingChannelHandler::normalizeProfilePhoto(const EncodableValue& arguments,
                                                   MethodResult& result) {
    static constexpr const char* kFailure = "Could not normalize profile photo.";
    const auto map = argumentMap(arguments);
    const auto found = map.find(EncodableValue("base64"));
    const auto* text = found == map.end() ? nullptr : found->second.getIf<std::string>();
    auto bytes = text ? base64Decoded(*text) : std::nullopt;
    if (!bytes) {
        result.error("profile_photo_unavailable", kFailure);
        return;
    }
    answerWithPhoto(
        std::make_shared<MethodResult>(std::move(result)), dependencies.runInBackground,
        dependencies.runLoop, [bytes = std::move(*bytes)] { return normalizedProfilePhoto(bytes); },
        kFailure);
}

void BlockingChannelHandler::requestNotificationPermission(const EncodableValue& /*arguments*/,
                                                           MethodResult& result) {
    if (window.expired()) {
        return;  // needs the window: the dropped result answers "no_reply"
    }
    auto app = dependencies.application.lock();
    auto pending = std::make_shared<MethodResult>(std::move(result));
    kestralune::requestNotificationPermission(
        dependencies.notificationCenter, app && app->isActive(),
        [pending](EncodableMap reply) { pending->success(std::move(reply)); });
}

void BlockingChannelHandler::cancelUnlockRequestNotification(const EncodableValue& arguments,
                                                             MethodResult& result) {
    const auto map = argumentMap(arguments);
    const auto found = map.find(EncodableValue("requestId"));
    const auto* requestId = found == map.end() ? nullptr : found->second.getIf<std::string>();
    if (requestId && !window.expired()) {
        removeRequestNotifications(dependencies.notificationCenter, *requestId);
    }
    result.success(EncodableMap{{"removed", true}});
}

void BlockingChannelHandler::requestNetworkFilterPermission(const EncodableValue& /*arguments*/,
                                                            MethodResult& result) {
    if (window.expired()) {
        return;  // needs the window: the dropped result answers "no_reply"
    }
    auto pending = std::make_shared<MethodResult>(std::move(result));
    kestralune::requestNetworkFilterPermission(
        dependencies.mainBundle.path, dependencies.networkFilterManager,
        [pending](EncodableMap reply) { pending->success(std::move(reply)); });
}

bool BlockingChannelHandler::activateForPanel() {
    if (window.expired()) {
        return false;
    }
    if (auto app = dependencies.application.lock()) {
        app->activateIgnoringOtherApps();
    }
    return true;
}

void BlockingChannelHandler::pickProfilePhoto(const EncodableValue& /*arguments*/,
                                              MethodResult& result) {
    if (!activateForPanel()) {
        return;  // needs the window: the dropped result answers "no_reply"
    }
    OpenPanelOptions options;
    options.title = localizedLabel("chooseProfilePhoto");
    options.prompt = localizedLabel("chooseAction");
    options.allowedContent = OpenPanelOptions::AllowedContent::images;
    auto pending = std::make_shared<MethodResult>(std::move(result));
    dependencies.openPanel->runOpenPanel(
        options, [pending, background = dependencies.runInBackground,
                  runLoop = dependencies.runLoop](std::vector<std::string> paths) {
            if (paths.empty()) {
                pending->success(std::string());
                return;
            }
            answerWithPhoto(
                pending, background, runLoop,
                [path = paths.front()] { return normalizedProfilePhotoFromFile(path); },
                "Could not read selected image.");
        });
}

void BlockingChannelHandler::pickApplications(const EncodableValue& /*arguments*/,
                                              MethodResult& result) {
    if (!activateForPanel()) {
        return;  // needs the window: the dropped result answers "no_reply"
    }
    OpenPanelOptions options;
    options.title = localizedLabel("chooseApplications");
    options.message = localizedLabel("chooseApplicationsDetail");
    options.prompt = localizedLabel("chooseAction");
    options.allowsMultipleSelection = true;
    options.canChooseDirectories = true;
    options.allowedContent = OpenPanelOptions::AllowedContent::applicationBundles;
    options.directory = "/Applications";
    auto pending = std::make_shared<MethodResult>(std::move(result));
    dependencies.openPanel->runOpenPanel(
        options, [pending, background = dependencies.runInBackground,
                  runLoop = dependencies.runLoop](std::vector<std::string> paths) {
            // Icons are decoded: away from the main thread, like photos.
            background([pending, paths = std::move(paths), runLoop]() mutable {
                EncodableList chosen;
                for (const auto& path : paths) {
                    chosen.push_back(chosenApplication(path));
                }
                runLoop->async([pending = std::move(pending), chosen = std::move(chosen)] {
                    pending->success(chosen);
                });
            });
        });
}

}  // namespace kestralune
