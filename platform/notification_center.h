#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

class RunLoop;

// Whether the user lets the application show notifications (UNAuthorizationStatus).
enum class NotificationAuthorizationStatus {
    notDetermined,
    denied,
    authorized,
    provisional,
    ephemeral
};

// A local notification request with a one-time calendar trigger (UNNotificationRequest).
struct NotificationRequest {
    std::string identifier;
    std::string title;
    std::string body;
    // When to show it, in whole seconds since 1970-01-01 UTC, as a calendar trigger names it.
    std::int64_t moment = 0;
    std::string threadIdentifier;

    friend bool operator==(const NotificationRequest&, const NotificationRequest&) = default;
};

// A notification that has been shown and not removed (UNNotification), named by its request.
struct DeliveredNotification {
    std::string identifier;
    std::string threadIdentifier;

    friend bool operator==(const DeliveredNotification&, const DeliveredNotification&) = default;
};

// The user's notification center (UNUserNotificationCenter). Main thread only.
//
// Every completion runs later on the main run loop, never inside the call, and reads the
// center's state when it runs: changes made after the call and before the completion are
// in what it sees, so a list read, cleared and refilled in a completion leaves exactly the
// refill even when calls overlap. Completions of a center that is destroyed first never run.
class NotificationCenter {
  public:
    virtual ~NotificationCenter() = default;

    virtual void getAuthorizationStatus(
        std::function<void(NotificationAuthorizationStatus status)> completion) = 0;
    // Asks for permission to show alerts, badges and sounds; `error` is the localised
    // description of a failed request.
    virtual void requestAuthorization(
        std::function<void(bool granted, std::optional<std::string> error)> completion) = 0;

    // Replaces a pending request with the same identifier. A request whose moment has passed
    // is shown at once.
    virtual void add(NotificationRequest request) = 0;
    virtual void getPendingNotificationRequests(
        std::function<void(std::vector<NotificationRequest> requests)> completion) = 0;
    virtual void removePendingNotificationRequests(const std::vector<std::string>& identifiers) = 0;

    virtual void getDeliveredNotifications(
        std::function<void(std::vector<DeliveredNotification> notifications)> completion) = 0;
    // Takes the notifications off the screen and out of the delivered list.
    virtual void removeDeliveredNotifications(const std::vector<std::string>& identifiers) = 0;

    // Registers with the push service (NSApplication registerForRemoteNotifications).
    virtual void registerForRemoteNotifications() = 0;
};

// The desktop's notification server (org.freedesktop.Notifications on the session bus) shows
// the notifications; the pending requests and the delivered ones that can still be removed
// are kept in "Kestralune/notifications.json" under Application Support and survive a
// restart. A request is shown once, never again: on time, or when the host starts or the
// machine wakes after its moment (moments are checked against the wall clock at least every
// 30 seconds); one that no server answers is lost with a log line. A reachable server counts
// as authorised, none as denied; there is no prompt and no push service.
//
// The run loop must outlive the center; the bus is called on GlibMainLoop::shared().
std::shared_ptr<NotificationCenter> makeNotificationCenter(RunLoop& runLoop);

}  // namespace kestralune
