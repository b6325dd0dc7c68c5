#pragma once

#include "channel/encodable_value.h"
#include "host/application.h"
#include "host/application_startup.h"
#include "host/deep_link_router.h"
#include "platform/alert_presenter.h"
#include "platform/notification_center.h"
#include "platform/run_loop.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

class MainFlutterWindow;

// Where a remote notification goes.
enum class RemoteNotificationRoute {
    // An unlock request was resolved: its notifications are to be removed, nothing else.
    unlockRequestResolved,
    // Anything else belongs to the messaging plug-in.
    passedOn,
};

// The request identifier of an unlock-request resolution: "type" is the string
// "unlock_request_resolved" and "requestId" a non-empty string. Nothing for any other
// payload.
std::optional<std::string> unlockRequestResolution(const EncodableMap& userInfo);

// The application delegate. Main thread only. Everything it is given must outlive it,
// except the application and the main window, which it holds weakly.
class AppDelegate final : public ApplicationDelegate {
  public:
    struct Dependencies {
        std::weak_ptr<Application> application;
        std::shared_ptr<KestraluneApplicationStartup> startup;
        std::shared_ptr<KestraluneDeepLinkRouter> deepLinkRouter;
        // The main run loop and the presenter of the quit-refused notice.
        RunLoop& runLoop;
        AlertPresenter& alertPresenter;
        // Where an unlock request's notifications are removed when it is resolved.
        std::shared_ptr<NotificationCenter> notificationCenter;
    };

    explicit AppDelegate(Dependencies dependencies);

    // The outlet naming the main window.
    std::weak_ptr<MainFlutterWindow> mainFlutterWindow;

    // Runs the start-up sequence (once per process, whoever asks first).
    void applicationDidFinishLaunching();
    // Brings the main window forward (re-open variant); returns false.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    // Hands each URL, in order, to the deep link router.
    void applicationOpenURLs(const std::vector<std::string>& urls);
    // Decides where a remote notification goes. Removing an unlock request's notifications
    // and the messaging plug-in are not part of this build, so the decision is all it does.
    RemoteNotificationRoute applicationDidReceiveRemoteNotification(const EncodableMap& userInfo);
    bool applicationShouldTerminateAfterLastWindowClosed() const { return false; }
    // Quit protection: cancel (with the notice) while a blocking session runs.
    TerminateReply applicationShouldTerminate(Application& application) override;
    bool applicationSupportsSecureRestorableState() const { return true; }

  private:
    const Dependencies dependencies;
};

}  // namespace kestralune
