#pragma once

#include "channel/method_channel.h"
#include "host/application.h"
#include "platform/run_loop.h"
#include "platform/user_defaults.h"

#include <memory>
#include <optional>
#include <string>

namespace kestralune {

// Recognises the application's own links (sign-in callbacks and invitations), keeps the
// latest link of each kind for a UI that asks later, tells the UI at once when the Blocking
// channel is set, and brings the main window forward on the next turn of the main queue.
// The invitation link is also stored in the standard defaults so that it outlives the
// process; the sign-in link is never stored. Kept links are never consumed by reading.
//
// One per process, owned by the host. Main thread only. The run loop and the defaults must
// outlive the router; the application is held weakly.
class KestraluneDeepLinkRouter {
  public:
    static constexpr const char* kPendingInviteLinkKey = "kestralune.pendingInviteLink";

    KestraluneDeepLinkRouter(RunLoop& runLoop, std::shared_ptr<UserDefaults> defaults,
                             std::weak_ptr<Application> application);
    KestraluneDeepLinkRouter(const KestraluneDeepLinkRouter&) = delete;
    KestraluneDeepLinkRouter& operator=(const KestraluneDeepLinkRouter&) = delete;

    // Set by the window set-up; links handled before it are kept but not sent.
    void setChannel(std::shared_ptr<MethodChannel> blockingChannel);

    // Handles one opened URL, given as its absolute text. Plain, case-sensitive substring
    // tests: "kestralune://auth-callback" first, then "/invite/" or "kestralune://invite".
    // Returns whether the URL was one of the two kinds; others change nothing.
    bool handle(const std::string& absoluteText);

    // "getInitialAuthLink".
    const std::optional<std::string>& pendingAuthLink() const { return authLink; }
    // "getInitialInviteLink": the kept link, else the stored one.
    std::optional<std::string> initialInviteLink() const;

  private:
    void bringWindowForwardLater();

    RunLoop& runLoop;
    const std::shared_ptr<UserDefaults> defaults;
    const std::weak_ptr<Application> application;
    std::shared_ptr<MethodChannel> channel;
    std::optional<std::string> inviteLink;
    std::optional<std::string> authLink;
};

}  // namespace kestralune
