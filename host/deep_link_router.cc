#include "host/deep_link_router.h"

#include <utility>

namespace kestralune {

KestraluneDeepLinkRouter::KestraluneDeepLinkRouter(RunLoop& runLoop,
                                                   std::shared_ptr<UserDefaults> defaults,
                                                   std::weak_ptr<Application> application)
    : runLoop(runLoop), defaults(std::move(defaults)), application(std::move(application)) {}

void KestraluneDeepLinkRouter::setChannel(std::shared_ptr<MethodChannel> blockingChannel) {
    channel = std::move(blockingChannel);
}

bool KestraluneDeepLinkRouter::handle(const std::string& absoluteText) {
    const auto contains = [&absoluteText](const char* part) {
        return absoluteText.find(part) != std::string::npos;
    };
    if (contains("kestralune://auth-callback")) {
        authLink = absoluteText;
        // The UI hears of the link before the window comes forward.
        bringWindowForwardLater();
        if (channel) {
            channel->invokeMethod("authLinkReceived", absoluteText);
        }
        return true;
    }
    if (contains("/invite/") || contains("kestralune://invite")) {
        inviteLink = absoluteText;
        defaults->setObject(kPendingInviteLinkKey, absoluteText);
        bringWindowForwardLater();
        if (channel) {
            channel->invokeMethod("inviteLinkReceived", absoluteText);
        }
        return true;
    }
    return false;
}

std::optional<std::string> KestraluneDeepLinkRouter::initialInviteLink() const {
    if (inviteLink) {
        return inviteLink;
    }
    return defaults->stringForKey(kPendingInviteLinkKey);
}

void KestraluneDeepLinkRouter::bringWindowForwardLater() {
    runLoop.async([weak = application] {
        if (auto app = weak.lock()) {
            app->bringMainWindowForward(ForwardVariant::deepLink);
        }
    });
}

}  // namespace kestralune
