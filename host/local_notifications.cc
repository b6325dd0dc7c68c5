#include "host/local_notifications.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

namespace kestralune {

namespace {

// The "alerts" list when it is a list of maps only, as the UI's list arrives typed.
EncodableList alertList(const EncodableMap& arguments) {
    const auto found = arguments.find(EncodableValue("alerts"));
    const auto* list = found == arguments.end() ? nullptr : found->second.getIf<EncodableList>();
    if (!list) {
        return {};
    }
    for (const auto& alert : *list) {
        if (!alert.is<EncodableMap>()) {
            return {};
        }
    }
    return *list;
}

const EncodableValue* field(const EncodableMap& map, const char* key) {
    const auto found = map.find(EncodableValue(key));
    return found == map.end() ? nullptr : &found->second;
}

// The request for one alert, or nothing when the alert is skipped. The moment keeps whole
// seconds, as a calendar trigger built from the date's components does.
std::optional<NotificationRequest> alertRequest(const EncodableMap& alert, std::size_t position,
                                                double now) {
    const auto* at = field(alert, "at");
    const auto* title = field(alert, "title");
    const auto* body = field(alert, "body");
    if (!at || !title || !body || !title->is<std::string>() || !body->is<std::string>()) {
        return std::nullopt;
    }
    const double seconds = at->holdsInteger()               ? static_cast<double>(at->longValue())
                           : at->getIf<double>() != nullptr ? *at->getIf<double>()
                                                            : std::nan("");
    // NaN compares false; an infinite or far moment is no date at all.
    if (!(seconds > now) || seconds >= 0x1p62) {
        return std::nullopt;
    }
    return NotificationRequest{kPreferenceAlertPrefix + std::to_string(position),
                               *title->getIf<std::string>(),
                               *body->getIf<std::string>(),
                               static_cast<std::int64_t>(std::floor(seconds)),
                               {}};
}

}  // namespace

void syncPushAlertSchedule(std::shared_ptr<NotificationCenter> center, const Clock& clock,
                           const EncodableMap& arguments) {
    auto& target = *center;
    target.getPendingNotificationRequests([center = std::move(center), &clock,
                                           alerts = alertList(arguments)](
                                              std::vector<NotificationRequest> requests) {
        std::vector<std::string> scheduled;
        for (const auto& request : requests) {
            if (request.identifier.starts_with(kPreferenceAlertPrefix)) {
                scheduled.push_back(request.identifier);
            }
        }
        center->removePendingNotificationRequests(scheduled);
        const double now = std::chrono::duration<double>(clock.now().time_since_epoch()).count();
        for (std::size_t p = 0; p < std::min(alerts.size(), kPreferenceAlertLimit); ++p) {
            if (auto request = alertRequest(*alerts[p].getIf<EncodableMap>(), p, now)) {
                center->add(std::move(*request));
            }
        }
    });
}

void removeRequestNotifications(std::shared_ptr<NotificationCenter> center,
                                std::string threadIdentifier) {
    if (threadIdentifier.empty()) {
        return;
    }
    auto matching = [threadIdentifier](const auto& items) {
        std::vector<std::string> identifiers;
        for (const auto& item : items) {
            if (item.threadIdentifier == threadIdentifier) {
                identifiers.push_back(item.identifier);
            }
        }
        return identifiers;
    };
    center->getDeliveredNotifications([center, matching](auto delivered) {
        if (auto identifiers = matching(delivered); !identifiers.empty()) {
            center->removeDeliveredNotifications(identifiers);
        }
    });
    center->getPendingNotificationRequests([center, matching](auto pending) {
        if (auto identifiers = matching(pending); !identifiers.empty()) {
            center->removePendingNotificationRequests(identifiers);
        }
    });
}

void requestNotificationPermission(std::shared_ptr<NotificationCenter> center,
                                   bool applicationIsActive,
                                   std::function<void(EncodableMap reply)> completion) {
    auto& target = *center;
    target.getAuthorizationStatus([center = std::move(center), applicationIsActive,
                                   completion = std::move(completion)](auto status) {
        using Status = NotificationAuthorizationStatus;
        if (status == Status::authorized || status == Status::provisional) {
            center->registerForRemoteNotifications();
            completion({{"granted", true}});
        } else if (status == Status::denied) {
            completion({{"granted", false}, {"denied", true}});
        } else if (status != Status::notDetermined) {
            completion({{"granted", false}});
        } else if (!applicationIsActive) {
            completion({{"granted", false}, {"deferred", true}});
        } else {
            center->requestAuthorization([center, completion](bool granted, auto error) {
                if (granted) {
                    center->registerForRemoteNotifications();
                }
                const std::string summary = error     ? *error
                                            : granted ? "Notification permission enabled."
                                                      : "Notification permission denied.";
                completion({{"granted", granted}, {"summary", summary}});
            });
        }
    });
}

}  // namespace kestralune
