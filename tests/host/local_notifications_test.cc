#include "host/local_notifications.h"

#include "platform/testing/fake_notification_center.h"
#include "platform/testing/manual_run_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

namespace kestralune {
namespace {

class LocalNotificationsTest : public testing::Test {
  protected:
    double now() const {
        return std::chrono::duration<double>(loop.clock().now().time_since_epoch()).count();
    }
    EncodableValue alert(EncodableValue at, EncodableValue title = "Focus",
                         EncodableValue body = "Time to focus") const {
        return EncodableMap{{"at", at}, {"title", title}, {"body", body}};
    }
    void sync(const EncodableMap& arguments) {
        syncPushAlertSchedule(center, loop.clock(), arguments);
        loop.runUntilIdle();
    }
    std::vector<std::string> pendingIdentifiers() const {
        std::vector<std::string> identifiers;
        for (const auto& request : center->pending) {
            identifiers.push_back(request.identifier);
        }
        return identifiers;
    }

    ManualRunLoop loop;
    std::shared_ptr<FakeNotificationCenter> center = std::make_shared<FakeNotificationCenter>(loop);
};

// Fault: more than 44 requests, positions counted from 1 or shifted past a skipped alert, a
// fraction kept in the moment, or a skip rule that lets a non-future or untyped alert in.
TEST_F(LocalNotificationsTest, FutureAlertsKeepTheirPositionsUpToTheLimit) {
    EncodableList fifty;
    for (int p = 0; p < 50; ++p) {
        fifty.push_back(alert(now() + 60.5 + p));
    }
    sync({{"alerts", fifty}});
    std::vector<std::string> expected;
    for (int p = 0; p < 44; ++p) {
        expected.push_back("kestralune.preference." + std::to_string(p));
    }
    EXPECT_EQ(pendingIdentifiers(), expected);
    EXPECT_EQ(center->pending[1],
              (NotificationRequest{"kestralune.preference.1", "Focus", "Time to focus",
                                   static_cast<std::int64_t>(std::floor(now() + 61.5)), ""}));

    const auto future = static_cast<std::int64_t>(now()) + 600;
    sync({{"alerts",
           EncodableList{alert(now() - 1), alert(future), alert(now()), alert("9999999999"),
                         alert(future, EncodableValue()), alert(future, "Focus", 7),
                         alert(std::nan("")), alert(std::numeric_limits<double>::infinity()),
                         alert(static_cast<double>(future))}}});
    EXPECT_EQ(pendingIdentifiers(),
              (std::vector<std::string>{"kestralune.preference.1", "kestralune.preference.8"}));
}

// Fault: an earlier alert left behind (one removal call each, not all at once), another
// feature's request removed, a list with a stray element half used, or two overlapping syncs
// merging into something neither asked for.
TEST_F(LocalNotificationsTest, ASyncReplacesOnlyTheScheduledAlerts) {
    const NotificationRequest unlock{"unlock.7", "Unlock", "Asked", 1, "request-7"};
    for (const EncodableMap& arguments :
         {EncodableMap{}, EncodableMap{{"alerts", EncodableList{}}}, EncodableMap{{"alerts", "x"}},
          EncodableMap{{"alerts", EncodableList{alert(now() + 60), 5}}}}) {
        center->pending = {{"kestralune.preference.3", "", "", 1, ""},
                           {"kestralune.preference.60", "", "", 1, ""},
                           unlock};
        center->pendingRemovals.clear();
        sync(arguments);
        EXPECT_EQ(center->pending, std::vector{unlock});
        EXPECT_EQ(center->pendingRemovals,
                  (std::vector<std::vector<std::string>>{
                      {"kestralune.preference.3", "kestralune.preference.60"}}));
    }

    syncPushAlertSchedule(center, loop.clock(), {{"alerts", EncodableList(5, alert(now() + 60))}});
    syncPushAlertSchedule(center, loop.clock(), {{"alerts", EncodableList{alert(now() + 90)}}});
    loop.runUntilIdle();
    EXPECT_EQ(pendingIdentifiers(),
              (std::vector<std::string>{"unlock.7", "kestralune.preference.0"}));
    EXPECT_EQ(center->pending.back().moment, static_cast<std::int64_t>(std::floor(now() + 90)));
}

// Fault: another request's notifications removed, a removal call with nothing in it, or an
// empty identifier matching the alerts, which have no thread.
TEST_F(LocalNotificationsTest, RemovesOnlyTheRequestsThread) {
    center->delivered = {{"a", "request-1"}, {"b", "request-2"}, {"c", "request-1"}};
    center->pending = {{"d", "", "", 1, "request-1"}, {"kestralune.preference.0", "", "", 1, ""}};
    removeRequestNotifications(center, "request-1");
    removeRequestNotifications(center, "request-9");
    removeRequestNotifications(center, "");
    loop.runUntilIdle();
    EXPECT_EQ(center->deliveredRemovals, (std::vector<std::vector<std::string>>{{"a", "c"}}));
    EXPECT_EQ(center->pendingRemovals, (std::vector<std::vector<std::string>>{{"d"}}));
    EXPECT_EQ(center->delivered, (std::vector<DeliveredNotification>{{"b", "request-2"}}));
}

// Fault: a prompt shown in the background or once decided, a missing remote registration
// after a grant, or a reply map with a wrong key or text.
TEST_F(LocalNotificationsTest, PermissionRepliesFollowTheAuthorisation) {
    using Status = NotificationAuthorizationStatus;
    struct Row {
        Status status;
        bool active;
        bool grants;
        std::optional<std::string> error;
        EncodableMap reply;
        int prompts;
        int registrations;
    };
    const Row rows[] = {
        {Status::authorized, true, false, {}, {{"granted", true}}, 0, 1},
        {Status::provisional, false, false, {}, {{"granted", true}}, 0, 1},
        {Status::denied, true, true, {}, {{"granted", false}, {"denied", true}}, 0, 0},
        {Status::ephemeral, true, true, {}, {{"granted", false}}, 0, 0},
        {Status::notDetermined, false, true, {}, {{"granted", false}, {"deferred", true}}, 0, 0},
        {Status::notDetermined,
         true,
         true,
         {},
         {{"granted", true}, {"summary", "Notification permission enabled."}},
         1,
         1},
        {Status::notDetermined,
         true,
         false,
         {},
         {{"granted", false}, {"summary", "Notification permission denied."}},
         1,
         0},
        {Status::notDetermined,
         true,
         false,
         "The operation couldn't be completed.",
         {{"granted", false}, {"summary", "The operation couldn't be completed."}},
         1,
         0},
    };
    for (const auto& row : rows) {
        center = std::make_shared<FakeNotificationCenter>(loop);
        center->status = row.status;
        center->grantsOnPrompt = row.grants;
        center->promptError = row.error;
        std::optional<EncodableMap> reply;
        requestNotificationPermission(center, row.active, [&](EncodableMap map) { reply = map; });
        loop.runUntilIdle();
        EXPECT_EQ(reply, row.reply) << static_cast<int>(row.status) << row.active;
        EXPECT_EQ(center->prompts, row.prompts);
        EXPECT_EQ(center->remoteRegistrations, row.registrations);
    }
}

}  // namespace
}  // namespace kestralune
