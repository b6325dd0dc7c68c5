#include "host/app_delegate.h"

#include "host/local_notifications.h"

#include "host/main_flutter_window.h"
#include "host/quit_protection.h"

#include <cassert>
#include <utility>

namespace kestralune {

namespace {

const std::string* stringValue(const EncodableMap& map, const char* key) {
    const auto found = map.find(EncodableValue(key));
    return found == map.end() ? nullptr : found->second.getIf<std::string>();
}

}  // namespace

std::optional<std::string> unlockRequestResolution(const EncodableMap& userInfo) {
    const auto* type = stringValue(userInfo, "type");
    const auto* requestId = stringValue(userInfo, "requestId");
    if (!type || *type != "unlock_request_resolved" || !requestId || requestId->empty()) {
        return std::nullopt;
    }
    return *requestId;
}

AppDelegate::AppDelegate(Dependencies dependencies) : dependencies(std::move(dependencies)) {
    assert(this->dependencies.startup && this->dependencies.deepLinkRouter);
}

void AppDelegate::applicationDidFinishLaunching() {
    dependencies.startup->run();
}

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
    if (auto app = dependencies.application.lock()) {
        app->bringMainWindowForward(ForwardVariant::reopen, mainFlutterWindow.lock());
    }
    return false;
}

void AppDelegate::applicationOpenURLs(const std::vector<std::string>& urls) {
    for (const auto& url : urls) {
        dependencies.deepLinkRouter->handle(url);
    }
}

RemoteNotificationRoute AppDelegate::applicationDidReceiveRemoteNotification(
    const EncodableMap& userInfo) {
    auto requestId = unlockRequestResolution(userInfo);
    if (!requestId) {
        return RemoteNotificationRoute::passedOn;
    }
    removeRequestNotifications(dependencies.notificationCenter, std::move(*requestId));
    return RemoteNotificationRoute::unlockRequestResolved;
}

TerminateReply AppDelegate::applicationShouldTerminate(Application& /*application*/) {
    return OrrindaleQuitProtection::allowsTermination(dependencies.runLoop,
                                                      dependencies.alertPresenter)
               ? TerminateReply::terminateNow
               : TerminateReply::terminateCancel;
}

}  // namespace kestralune
