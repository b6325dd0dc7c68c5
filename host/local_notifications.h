#pragma once

#include "channel/encodable_value.h"
#include "platform/clock.h"
#include "platform/notification_center.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kestralune {

// The scheduled alerts: pending requests named by this prefix and the alert's position.
inline constexpr const char* kPreferenceAlertPrefix = "kestralune.preference.";
inline constexpr std::size_t kPreferenceAlertLimit = 44;

// The operations below run on the main thread and finish in the center's completions; the
// caller does not wait for them. `center` is kept until they have finished.

// "syncPushAlertSchedule": replaces every scheduled alert with the first 44 alerts of
// `arguments`' "alerts" (a list of maps; anything else counts as an empty list). An alert
// whose "at" is not a number of seconds since 1970 after `clock`'s now, or whose "title" or
// "body" is not a string, is skipped; later alerts keep their positions. `clock` must
// outlive the operation.
void syncPushAlertSchedule(std::shared_ptr<NotificationCenter> center, const Clock& clock,
                           const EncodableMap& arguments);

// Removes the delivered and the pending notifications of an unlock request: those whose
// thread identifier is `threadIdentifier`. An empty identifier removes nothing: the
// scheduled alerts have no thread.
void removeRequestNotifications(std::shared_ptr<NotificationCenter> center,
                                std::string threadIdentifier);

// "requestNotificationPermission": checks the authorisation and, while it is undecided and
// the application is active, asks for it; `completion` gets the reply map ("granted", and
// "denied", "deferred" or "summary" depending on the outcome). Granted permission registers
// for remote notifications first.
void requestNotificationPermission(std::shared_ptr<NotificationCenter> center,
                                   bool applicationIsActive,
                                   std::function<void(EncodableMap reply)> completion);

}  // namespace kestralune
