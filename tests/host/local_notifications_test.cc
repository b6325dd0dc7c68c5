#include "host/local_notifications.h"

#include "platform/testing/fake_notification_center.h"
#include "platform/testing/manual_run_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>

namespace kestralune {
namespace {

using Identifiers = std::vector<std::string>;

class LocalNotificationsTest : public testing::Test {
  protected:
    double now() const {
        return std::chrono::duration<double>(loop.clock().now().time_since_epoch()).count();
    }
    static EncodableValue alert(EncodableValue at, EncodableValue body = "Time to focus") {
        return EncodableMap{{"at", at}, {"title", "Focus"}, {"body", body}};
    }
    // Syncs `alerts`; the positions of the scheduled alerts then, in order.
    std::vector<int> sync(const EncodableValue& alerts) {
        syncPushAlertSchedule(center, loop.clock(), {{"alerts", alerts}});
        loop.runUntilIdle();
        std::vector<int> positions;
        for (const auto& request : center->pending) {
            if (request.identifier.starts_with(kPreferenceAlertPrefix)) {
                positions.push_back(std::stoi(request.identifier.substr(22)));
            }
        }
        return positions;
    }

    ManualRunLoop loop;
    std::shared_ptr<FakeNotificationCenter> center = std::make_shared<FakeNotificationCenter>(loop);
};

// Fault: more than 44 requests, positions shifted past a skipped alert, a fraction kept in
// the moment, or a past, present, untyped or impossible alert scheduled.
TEST_F(LocalNotificationsTest, FutureAlertsKeepTheirPositionsUpToTheLimit) {
    EncodableList fifty;
    for (int p = 0; p < 50; ++p) {
        fifty.push_back(alert(now() + 60.5 + p));
    }
    std::vector<int> first44(44);
    std::iota(first44.begin(), first44.end(), 0);
    EXPECT_EQ(sync(fifty), first44);
    EXPECT_EQ(center->pending[1],
              (NotificationRequest{"kestralune.preference.1", "Focus", "Time to focus",
                                   static_cast<std::int64_t>(std::floor(now() + 61.5)), ""}));

    const auto later = static_cast<std::int64_t>(now()) + 600;
    EXPECT_EQ(
        sync(EncodableList{alert(now() - 1), alert(later), alert(now()), alert("99999999999"),
                           alert(later, EncodableValue()), alert(later, 7), alert(std::nan("")),
                           alert(std::numeric_limits<double>::infinity()),
                           alert(static_cast<double>(later))}),
        (std::vector<int>{1, 8}));
}

// Fault: earlier alerts left behind or removed one call each, another request removed, a
// list with a stray element half used, or overlapping syncs merged into neither list.
TEST_F(LocalNotificationsTest, ASyncReplacesExactlyTheScheduledAlerts) {
    const NotificationRequest unlock{"unlock.7", "Unlock", "Asked", 1, "request-7"};
    for (const EncodableValue& alerts :
         {EncodableValue(), EncodableValue(EncodableList{}), EncodableValue("x"),
          EncodableValue(EncodableList{alert(now() + 60), 5})}) {
        center->pending = {{"kestralune.preference.3", "", "", 1, ""},
                           {"kestralune.preference.60", "", "", 1, ""},
                           unlock};
        center->pendingRemovals.clear();
        sync(alerts);
        EXPECT_EQ(center->pending, std::vector{unlock});
        EXPECT_EQ(
            center->pendingRemovals,
            (std::vector<Identifiers>{{"kestralune.preference.3", "kestralune.preference.60"}}));
    }
    center->pending.clear();
    syncPushAlertSchedule(center, loop.clock(), {{"alerts", EncodableList(5, alert(now() + 60))}});
    EXPECT_EQ(sync(EncodableList{alert(now() + 90)}), std::vector{0});
}

// Fault: another request's notifications removed, an empty removal call, or an empty
// identifier matching the alerts, which have no thread.
TEST_F(LocalNotificationsTest, RemovesOnlyTheRequestsThread) {
    center->delivered = {{"a", "request-1"}, {"b", "request-2"}, {"c", "request-1"}};
    center->pending = {{"d", "", "", 1, "request-1"}, {"kestralune.preference.0", "", "", 1, ""}};
    for (const char* thread : {"request-1", "request-9", ""}) {
        removeRequestNotifications(center, thread);
    }
    loop.runUntilIdle();
    EXPECT_EQ(center->deliveredRemovals, (std::vector<Identifiers>{{"a", "c"}}));
    EXPECT_EQ(center->pendingRemovals, (std::vector<Identifiers>{{"d"}}));
}

// Fault: a prompt in the background or once decided, no remote registration after a grant,
// or a reply with a wrong key or text.
TEST_F(LocalNotificationsTest, PermissionRepliesFollowTheAuthorisation) {
    using Status = NotificationAuthorizationStatus;
    const struct {
        Status status;
        bool active;
        bool grants;
        std::optional<std::string> error;
        EncodableMap reply;
        int prompts;
    } rows[] = {
        {Status::authorized, true, false, {}, {{"granted", true}}, 0},
        {Status::provisional, false, false, {}, {{"granted", true}}, 0},
        {Status::denied, true, true, {}, {{"granted", false}, {"denied", true}}, 0},
        {Status::ephemeral, true, true, {}, {{"granted", false}}, 0},
        {Status::notDetermined, false, true, {}, {{"granted", false}, {"deferred", true}}, 0},
        {Status::notDetermined,
         true,
         true,
         {},
         {{"granted", true}, {"summary", "Notification permission enabled."}},
         1},
        {Status::notDetermined,
         true,
         false,
         {},
         {{"granted", false}, {"summary", "Notification permission denied."}},
         1},
        {Status::notDetermined,
         true,
         false,
         "Not now.",
         {{"granted", false}, {"summary", "Not now."}},
         1},
    };
    for (const auto& row : rows) {
        center = std::make_shared<FakeNotificationCenter>(loop);
        center->status = row.status;
        center->grantsOnPrompt = row.grants;
        center->promptError = row.error;
        EncodableMap reply;
        requestNotificationPermission(center, row.active, [&](EncodableMap map) { reply = map; });
        loop.runUntilIdle();
        EXPECT_EQ(reply, row.reply) << static_cast<int>(row.status) << row.active;
        EXPECT_EQ(center->prompts, row.prompts);
        EXPECT_EQ(center->remoteRegistrations, reply[EncodableValue("granted")] == true ? 1 : 0);
    }
}

}  // namespace
}  // namespace kestralune
