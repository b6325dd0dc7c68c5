// The app blocker against real processes: fixture bundles holding a copy of /bin/sleep,
// the /proc workspace and the asio run loop, each wait bounded.
#include "blocking/mac_blocking_engine.h"

#include "platform/linux/asio_run_loop.h"
#include "platform/testing/settable_clock.h"
#include "tests/blocking/engine_test_doubles.h"
#include "tests/platform/temp_directory.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>

extern char** environ;

namespace kestralune::blocking_test {
namespace {

constexpr double kWaitLimit = 3.0;  // far above one sweep period plus the kill delay

// A sleeping process, killed and reaped when the test is done with it. Until then an ended
// process stays unreaped, so its pid cannot pass to another.
struct Sleeper {
    explicit Sleeper(const std::string& executable) {
        char* argv[] = {const_cast<char*>(executable.c_str()), const_cast<char*>("60"), nullptr};
        if (::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv, environ) != 0) {
            pid = -1;
        }
    }
    ~Sleeper() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    bool hasExited() const {
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid;
    }

    pid_t pid = -1;
};

class AppBlockerProcessTest : public ::testing::Test {
  protected:
    AppBlockerProcessTest() {
        harness.mainLoop = &loop;
        harness.realWorkspace = makeWorkspace(asioLoop);
    }

    // Identifiers of this test process alone: ctest runs these tests side by side, and a
    // session closes every process of the user that carries a blocked identifier.
    static std::string id(const std::string& name) {
        return "com.example.p" + std::to_string(::getpid()) + "." + name;
    }

    // NAME.app with the identifier and a copy of /bin/sleep; returns the executable.
    std::string makeBundle(const std::string& name, const std::string& identifier) {
        const auto executable = directory.path() / (name + ".app/Contents/MacOS") / name;
        std::filesystem::create_directories(executable.parent_path());
        std::filesystem::copy_file("/bin/sleep", executable);
        directory.write(name + ".app/Contents/Info.plist",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                        "<key>CFBundleIdentifier</key><string>" +
                            identifier + "</string></dict></plist>\n");
        return executable.string();
    }
    void startSession(EncodableList blocked, EncodableList exceptions = {}) {
        engine = harness.create();
        engine->applyConfiguration(encodableMap({{"allWebsitesBlocked", false},
                                                 {"blockedApps", std::move(blocked)},
                                                 {"exceptionApps", std::move(exceptions)}}));
        engine->startSession({});
    }

    TempDirectory directory;
    AsioRunLoop asioLoop;
    // Cooldowns read this clock, so what they count does not depend on the machine's speed.
    SettableClock wallClock;
    ObservedRunLoop loop{asioLoop, &wallClock};
    EngineHarness harness;
    std::shared_ptr<MacBlockingEngine> engine;
};

// Fault: a blocked application survives the session, or one excepted by its bundle path,
// the host's own process or an unlisted application is closed.
TEST_F(AppBlockerProcessTest, SessionClosesBlockedApplicationsAndSparesTheRest) {
    Sleeper blocked(makeBundle("Blocked", id("blocked")));
    Sleeper excepted(makeBundle("Excepted", id("excepted")));
    Sleeper host(makeBundle("Host", id("twin")));
    Sleeper other(makeBundle("Other", id("other")));
    harness.ownPid = host.pid;
    const auto bundle = [&](const char* name) { return (directory.path() / name).string(); };
    startSession({id("blocked"), id("excepted"), bundle("Host.app")}, {bundle("Excepted.app")});

    EXPECT_TRUE(asioLoop.runUntil([&] { return blocked.hasExited(); }, kWaitLimit));
    asioLoop.runUntil([] { return false; }, 0.6);  // a few more sweeps
    EXPECT_FALSE(excepted.hasExited());
    EXPECT_FALSE(host.hasExited());
    EXPECT_FALSE(other.hasExited());
}

// Fault: a launch during the session is not closed, a relaunch within the cooldown is
// counted again, or one after it is not.
TEST_F(AppBlockerProcessTest, LaunchesDuringTheSessionAreClosedAndCountedOncePerCooldown) {
    const auto executable = makeBundle("Blocked", id("blocked"));
    startSession({id("blocked")});
    const auto launchAndWaitForTheClose = [&] {
        Sleeper launched(executable);
        return asioLoop.runUntil([&] { return launched.hasExited(); }, kWaitLimit);
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(launchAndWaitForTheClose());
    }
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
    wallClock.advance(2.0);
    EXPECT_TRUE(launchAndWaitForTheClose());
    EXPECT_EQ(engine->blockedAttemptCount(), 2);
}

}  // namespace
}  // namespace kestralune::blocking_test
