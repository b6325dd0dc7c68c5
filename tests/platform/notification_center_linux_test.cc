// The Linux notification center against python3-dbusmock's notification daemon, on a private
// session bus that this suite starts and ends by pid: never the developer's own bus.
#include "platform/linux/asio_run_loop.h"
#include "platform/notification_center.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>

namespace kestralune {
namespace {

// The session configuration without its service folders, so no real notification daemon
// is ever activated on the test's bus.
constexpr const char* kBusConfig = R"(<busconfig><type>session</type>
<listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/></policy></busconfig>)";

class NotificationCenterLinuxTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        busFolder = new TempDirectory;
        const auto config = busFolder->write("bus.conf", kBusConfig);
        FILE* bus = ::popen(
            ("dbus-daemon --fork --print-address=1 --print-pid=1 --config-file=" + config).c_str(),
            "r");
        char address[512] = {};
        ASSERT_TRUE(bus && std::fgets(address, sizeof(address), bus) &&
                    std::fscanf(bus, "%d", &busPid) == 1);
        ::pclose(bus);
        address[std::strcspn(address, "\n")] = '\0';
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
    }
    static void TearDownTestSuite() {
        ::kill(busPid, SIGTERM);
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        delete busFolder;
    }

    void SetUp() override {
        ::setenv("XDG_DATA_HOME", home.path().c_str(), 1);
        const auto log = (home.path() / "server.log").string();
        const char* argv[] = {"/usr/bin/python3",    "-m", "dbusmock",  "--template",
                              "notification_daemon", "-l", log.c_str(), nullptr};
        serverPid = ::fork();
        if (serverPid == 0) {
            ::execv(argv[0], const_cast<char**>(argv));
            ::_exit(127);
        }
        ASSERT_EQ(std::system("gdbus wait --session --timeout 30 org.freedesktop.Notifications"),
                  0);
    }
    void TearDown() override { stopServer(); }

    void stopServer() {
        if (serverPid > 0) {
            ::kill(serverPid, SIGTERM);
            ::waitpid(serverPid, nullptr, 0);
            serverPid = -1;
        }
    }

    // The server's calls, oldest first, without their time stamps.
    std::vector<std::string> serverCalls(double* lastStamp = nullptr) const {
        std::istringstream log(TempDirectory::read(home.path() / "server.log"));
        std::vector<std::string> calls;
        double stamp = 0;
        for (std::string call; log >> stamp && std::getline(log >> std::ws, call);) {
            calls.push_back(call);
            if (lastStamp) {
                *lastStamp = stamp;
            }
        }
        return calls;
    }
    bool serverGot(const std::string& call, std::size_t times = 1) {
        const auto poll = loop().scheduleTimer(0.02, true, [] {});
        const bool got = loop().runUntil(
            [&] {
                const auto calls = serverCalls();
                return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call)) ==
                       times;
            },
            20);
        poll->invalidate();
        return got;
    }
    template <class T>
    T answer(std::function<void(std::function<void(T)>)> ask) {
        std::optional<T> value;
        ask([&](T result) { value = std::move(result); });
        EXPECT_TRUE(loop().runUntil([&] { return value.has_value(); }, 20));
        return value.value_or(T{});
    }
    std::vector<NotificationRequest> pending(NotificationCenter& center) {
        return answer<std::vector<NotificationRequest>>(
            [&](auto done) { center.getPendingNotificationRequests(done); });
    }
    std::vector<DeliveredNotification> delivered(NotificationCenter& center) {
        return answer<std::vector<DeliveredNotification>>(
            [&](auto done) { center.getDeliveredNotifications(done); });
    }
    NotificationAuthorizationStatus status(NotificationCenter& center) {
        return answer<NotificationAuthorizationStatus>(
            [&](auto done) { center.getAuthorizationStatus(done); });
    }
    static std::int64_t now() {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    // Outlives every test: replies on the GLib thread may still post to it.
    static AsioRunLoop& loop() {
        static auto* shared = new AsioRunLoop;
        return *shared;
    }

    static inline TempDirectory* busFolder = nullptr;
    static inline pid_t busPid = -1;
    TempDirectory home;
    pid_t serverPid = -1;
};

// Fault: a request shown early or twice, left pending after it was shown, a completion that
// reads the list when called rather than when it runs, or a removal that leaves it on screen.
TEST_F(NotificationCenterLinuxTest, ShowsARequestAtItsMomentOnceAndClosesItOnRemoval) {
    auto center = makeNotificationCenter(loop());
    const std::int64_t moment = now() + 2;
    center->add({"alert.0", "Focus", "Time to focus", moment, "request-1"});
    std::vector<NotificationRequest> seen;
    center->getPendingNotificationRequests([&](auto list) { seen = list; });
    const NotificationRequest later{"alert.1", "Later", "Tomorrow", moment + 86400, ""};
    center->add(later);

    const std::string shown = R"(Notify "Kestralune" 0 "" "Focus" "Time to focus" [] {} -1)";
    ASSERT_TRUE(serverGot(shown));
    double shownAt = 0;
    serverCalls(&shownAt);
    EXPECT_GE(shownAt, static_cast<double>(moment));
    EXPECT_EQ(seen.size(), 2U);
    EXPECT_EQ(pending(*center), std::vector{later});
    EXPECT_EQ(delivered(*center), (std::vector<DeliveredNotification>{{"alert.0", "request-1"}}));
    center->removeDeliveredNotifications({"alert.0"});
    EXPECT_TRUE(serverGot("CloseNotification 1"));
    EXPECT_TRUE(delivered(*center).empty());
    EXPECT_TRUE(serverGot(shown, 1));
}

// Fault: requests or deliveries lost in a restart, a moment passed while the host was not
// running never shown or shown by every later start, or a delivery that can no longer be
// taken off the screen after a restart.
TEST_F(NotificationCenterLinuxTest, ARestartKeepsRequestsAndShowsAPassedMomentOnce) {
    const NotificationRequest later{"later", "Later", "Tomorrow", now() + 86400, ""};
    {
        auto stopped = makeNotificationCenter(loop());
        stopped->add({"missed", "Missed", "While away", now() - 60, "request-2"});
        stopped->add(later);
    }  // gone before its run loop turned, as a host that quit
    const std::string shown = R"(Notify "Kestralune" 0 "" "Missed" "While away" [] {} -1)";
    {
        auto started = makeNotificationCenter(loop());
        ASSERT_TRUE(serverGot(shown));
        // Answered after the Notify reply on the same connection: the delivery is recorded.
        EXPECT_EQ(status(*started), NotificationAuthorizationStatus::authorized);
    }
    auto again = makeNotificationCenter(loop());
    EXPECT_EQ(pending(*again), std::vector{later});
    EXPECT_EQ(delivered(*again), (std::vector<DeliveredNotification>{{"missed", "request-2"}}));
    again->removeDeliveredNotifications({"missed"});
    EXPECT_TRUE(serverGot("CloseNotification 1"));
    EXPECT_TRUE(serverGot(shown, 1));
}

// Fault: permission granted without a server to show anything, or a call that never answers.
TEST_F(NotificationCenterLinuxTest, OnlyAReachableServerAuthorises) {
    auto center = makeNotificationCenter(loop());
    EXPECT_EQ(status(*center), NotificationAuthorizationStatus::authorized);
    stopServer();
    EXPECT_EQ(status(*center), NotificationAuthorizationStatus::denied);
    EXPECT_FALSE(answer<bool>([&](auto done) {
        center->requestAuthorization([done](bool granted, auto) { done(granted); });
    }));
}

}  // namespace
}  // namespace kestralune
