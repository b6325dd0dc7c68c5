#pragma once

#include "channel/encodable_value.h"
#include "channel/method_call.h"
#include "channel/method_channel.h"
#include "channel/method_result.h"
#include "host/application.h"
#include "host/deep_link_router.h"
#include "host/menu_bar_controller.h"
#include "platform/accessibility.h"
#include "platform/bundle.h"
#include "platform/network_filter_manager.h"
#include "platform/notification_center.h"
#include "platform/open_panel.h"
#include "platform/process_info.h"
#include "platform/run_loop.h"
#include "platform/url_opener.h"
#include "platform/user_defaults.h"
#include "schedule/background_scheduler.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kestralune {

class MainFlutterWindow;

// A call's argument as a map: the argument itself when it is a map whose keys are all
// strings, otherwise the empty map.
EncodableMap argumentMap(const EncodableValue& arguments);

// The App Store receipt of `bundle` (Contents/_MASReceipt/receipt): its path when the bundle
// has an Info.plist and the file is there, otherwise nothing.
std::optional<std::string> appStoreReceiptPath(const Bundle& bundle);

// The Blocking channel "orrindale/blocking": decodes each call's arguments (a missing or
// mistyped argument takes its default, never an error), performs the row and answers once.
// Names are compared exactly in the channel's row order; a name of no row is answered not
// implemented. Rows that wait for a panel, the notification center or the network filter
// manager answer when that answer arrives, on the main thread.
//
// The window is held weakly; once it is gone, each row answers its documented fallback.
// Main thread only. Everything in Dependencies must outlive the handler, except the
// application, which is held weakly.
class BlockingChannelHandler {
  public:
    struct Dependencies {
        std::shared_ptr<UserDefaults> standardDefaults;
        std::weak_ptr<Application> application;
        Bundle mainBundle;
        std::shared_ptr<UrlOpener> urlOpener;
        std::shared_ptr<Accessibility> accessibility;
        std::shared_ptr<KestraluneDeepLinkRouter> deepLinkRouter;
        std::shared_ptr<KestraluneMenuBarController> menuBarController;
        std::shared_ptr<KestraluneBackgroundScheduler> backgroundScheduler;
        std::shared_ptr<NotificationCenter> notificationCenter;
        std::shared_ptr<NetworkFilterManager> networkFilterManager;
        std::shared_ptr<OpenPanel> openPanel;
        // The main run loop, where answers of work done elsewhere come back.
        RunLoop* runLoop = nullptr;
        // Runs slow work (decoding images) away from the main thread; tests run it in place.
        std::function<void(std::function<void()>)> runInBackground;
        std::function<std::optional<std::string>()> hostName = localizedHostName;
    };

    static constexpr const char* kAppearanceKey = "kestralune.appearance";
    static constexpr const char* kDeviceIdKey = "KestraluneDeviceId";
    static constexpr const char* kNotificationSettingsURLPrefix =
        "x-apple.systempreferences:com.apple.Notifications-Settings.extension?id=";
    static constexpr const char* kCapabilitiesSummary =
        "macOS blocker ready: selected apps are closed while a session is active. "
        "Browser-independent web blocking uses Network Filter signing; PAC proxy remains as a "
        "local fallback.";

    BlockingChannelHandler(Dependencies dependencies, std::weak_ptr<MainFlutterWindow> window);

    void handle(const MethodCall& call, MethodResult result);

    // A channel handler that forwards to a shared handler object.
    static MethodChannel::MethodCallHandler bind(std::shared_ptr<BlockingChannelHandler> handler);

  private:
    using Row = void (BlockingChannelHandler::*)(const EncodableValue& arguments,
                                                 MethodResult& result);

    void setAppearance(const EncodableValue& arguments, MethodResult& result);
    void requestAppReview(const EncodableValue& arguments, MethodResult& result);
    void openNotificationSettings(const EncodableValue& arguments, MethodResult& result);
    void getBackgroundSchedulerStatus(const EncodableValue& arguments, MethodResult& result);
    void enableBackgroundScheduler(const EncodableValue& arguments, MethodResult& result);
    void openBackgroundSchedulerSettings(const EncodableValue& arguments, MethodResult& result);
    void syncBackgroundSchedule(const EncodableValue& arguments, MethodResult& result);
    void getInitialInviteLink(const EncodableValue& arguments, MethodResult& result);
    void getInitialAuthLink(const EncodableValue& arguments, MethodResult& result);
    void getCapabilities(const EncodableValue& arguments, MethodResult& result);
    void syncConfiguration(const EncodableValue& arguments, MethodResult& result);
    void syncMenuBarState(const EncodableValue& arguments, MethodResult& result);
    void startSession(const EncodableValue& arguments, MethodResult& result);
    void requestAccessibilityPermission(const EncodableValue& arguments, MethodResult& result);
    void stopSession(const EncodableValue& arguments, MethodResult& result);
    void getBlockedAttemptCount(const EncodableValue& arguments, MethodResult& result);
    void getBlockingStatus(const EncodableValue& arguments, MethodResult& result);
    void syncPushAlertSchedule(const EncodableValue& arguments, MethodResult& result);
    void normalizeProfilePhoto(const EncodableValue& arguments, MethodResult& result);
    void requestNotificationPermission(const EncodableValue& arguments, MethodResult& result);
    void cancelUnlockRequestNotification(const EncodableValue& arguments, MethodResult& result);
    void requestNetworkFilterPermission(const EncodableValue& arguments, MethodResult& result);
    void pickProfilePhoto(const EncodableValue& arguments, MethodResult& result);
    void pickApplications(const EncodableValue& arguments, MethodResult& result);
    // A panel needs the window; the application comes to the front before it shows. False when
    // the window is gone.
    bool activateForPanel();

    struct RowEntry {
        std::string_view name;  // compared by length first: no strlen per row
        Row row;
    };
    static const RowEntry kRows[24];

    const Dependencies dependencies;
    const std::weak_ptr<MainFlutterWindow> window;
};

}  // namespace kestralune
