// The Linux notification center against python3-dbusmock's notification daemon, on a private
// session bus of each test's own: never the developer's own bus.
#include "platform/linux/asio_run_loop.h"
#include "platform/notification_center.h"
#include "platform/testing/private_session_bus.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>

namespace kestralune {
namespace {

class NotificationCenterLinuxTest : public testing::Test {
  protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", home.path().c_str(), 1);
        bus.startService("notification_daemon", "{}", "org.freedesktop.Notifications",
                         serverLog.string());
        center = makeNotificationCenter(loop());
    }

    // Waits until the server's log ("<time stamp> <call>" lines) holds `call` `times` times.
    bool serverGot(const std::string& call, int times = 1) {
        const auto poll = loop().scheduleTimer(0.02, true, [] {});
        const bool got = loop().runUntil(
            [&] {
                const auto log = TempDirectory::read(serverLog);
                int count = 0;
                for (auto at = log.find(" " + call + "\n"); at != std::string::npos;
                     at = log.find(" " + call + "\n", at + 1)) {
                    ++count;
                }
                return count == times;
            },
            20);
        poll->invalidate();
        return got;
    }
    // What the center's `ask` hands its completion.
    template <class T>
    T answer(void (NotificationCenter::*ask)(std::function<void(T)>)) {
        std::optional<T> value;
        ((*center).*ask)([&](T result) { value = std::move(result); });
        EXPECT_TRUE(loop().runUntil([&] { return value.has_value(); }, 20));
        return value.value_or(T{});
    }
    // A new center, as after a restart of the host.
    void restart() {
        center = nullptr;
        center = makeNotificationCenter(loop());
    }
    // Outlives every test: replies on the GLib thread may still post to it.
    static AsioRunLoop& loop() {
        static auto* shared = new AsioRunLoop;
        return *shared;
    }

    PrivateSessionBus bus;
    TempDirectory home;
    const std::filesystem::path serverLog = home.path() / "server.log";
    std::shared_ptr<NotificationCenter> center;  // made once XDG_DATA_HOME names `home`
};

// Fault: a request shown early or twice or left pending, a completion that reads the list
// when called rather than when it runs, or a removal that leaves it on screen.
TEST_F(NotificationCenterLinuxTest, ShowsARequestAtItsMomentOnceAndClosesItOnRemoval) {
    const std::int64_t moment = std::time(nullptr) + 2;
    center->add({"alert.0", "Focus", "Time to focus", moment, "request-1"});
    std::vector<NotificationRequest> seen;
    center->getPendingNotificationRequests([&](auto list) { seen = list; });
    const NotificationRequest later{"alert.1", "Later", "Tomorrow", moment + 86400, ""};
    center->add(later);

    const std::string shown = R"(Notify "Kestralune" 0 "" "Focus" "Time to focus" [] {} -1)";
    ASSERT_TRUE(serverGot(shown));
    EXPECT_GE(std::stod(TempDirectory::read(serverLog)), static_cast<double>(moment));
    EXPECT_EQ(seen.size(), 2U);
    EXPECT_EQ(answer(&NotificationCenter::getPendingNotificationRequests), std::vector{later});
    EXPECT_EQ(answer(&NotificationCenter::getDeliveredNotifications),
              (std::vector<DeliveredNotification>{{"alert.0", "request-1"}}));
    center->removeDeliveredNotifications({"alert.0"});
    EXPECT_TRUE(serverGot("CloseNotification 1"));
    EXPECT_TRUE(answer(&NotificationCenter::getDeliveredNotifications).empty());
    EXPECT_TRUE(serverGot(shown, 1));
}

// Fault: requests or deliveries lost in a restart, a moment passed while the host was not
// running never shown or shown again by a later start, a delivery that cannot be taken off
// the screen after a restart, or permission without a server to show anything.
TEST_F(NotificationCenterLinuxTest, ARestartKeepsRequestsAndShowsAPassedMomentOnce) {
    const NotificationRequest later{"later", "Later", "Tomorrow", std::time(nullptr) + 86400, ""};
    center->add({"missed", "Missed", "While away", std::time(nullptr) - 60, "request-2"});
    center->add(later);
    restart();  // before the run loop turned: the first center never looked at the moments
    const std::string shown = R"(Notify "Kestralune" 0 "" "Missed" "While away" [] {} -1)";
    ASSERT_TRUE(serverGot(shown));
    // Answered after Notify on the same connection: the delivery has been recorded.
    EXPECT_EQ(answer(&NotificationCenter::getAuthorizationStatus),
              NotificationAuthorizationStatus::authorized);
    restart();
    EXPECT_EQ(answer(&NotificationCenter::getPendingNotificationRequests), std::vector{later});
    EXPECT_EQ(answer(&NotificationCenter::getDeliveredNotifications),
              (std::vector<DeliveredNotification>{{"missed", "request-2"}}));
    center->removeDeliveredNotifications({"missed"});
    EXPECT_TRUE(serverGot("CloseNotification 1"));
    EXPECT_TRUE(serverGot(shown, 1));

    bus.stopService();
    EXPECT_EQ(answer(&NotificationCenter::getAuthorizationStatus),
              NotificationAuthorizationStatus::denied);
}

}  // namespace
}  // namespace kestralune
