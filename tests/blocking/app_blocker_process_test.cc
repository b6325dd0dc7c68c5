// The app blocker against real processes: fixture bundles holding a copy of /bin/sleep,
// the /proc workspace and the asio run loop, each wait bounded.
#include "blocking/mac_blocking_engine.h"

#include "host/quit_protection.h"
#include "platform/linux/asio_run_loop.h"
#include "tests/blocking/engine_test_doubles.h"
#include "tests/platform/temp_directory.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

extern char** environ;

namespace kestralune::blocking_test {
namespace {

constexpr double kWaitLimit = 3.0;  // far above one sweep period plus the kill delay

// A sleeping process, killed and reaped when the test is done with it.
class Sleeper {
  public:
    explicit Sleeper(const std::string& executable) {
        std::string seconds = "60";
        char* argv[] = {const_cast<char*>(executable.c_str()), seconds.data(), nullptr};
        if (::posix_spawn(&pid, executable.c_str(), nullptr, nullptr, argv, environ) != 0) {
            pid = -1;
        }
    }
    ~Sleeper() {
        if (pid > 0 && !exited) {
            ::kill(pid, SIGKILL);
        }
        if (pid > 0) {
            ::waitpid(pid, nullptr, 0);
        }
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    // Whether the process has ended (it is left for the destructor to reap).
    bool hasExited() {
        if (!exited) {
            siginfo_t info{};
            exited =
                ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid;
        }
        return exited;
    }

    pid_t pid = -1;

  private:
    bool exited = false;
};

// Lists the real applications but never reports a launch, so only the sweep can act.
class SweepOnlyWorkspace final : public Workspace {
  public:
    explicit SweepOnlyWorkspace(std::shared_ptr<Workspace> real) : real(std::move(real)) {}
    std::vector<std::shared_ptr<RunningApplication>> runningApplications() override {
        return real->runningApplications();
    }
    ObserverId addObserver(Observer) override { return 1; }
    void removeObserver(ObserverId) override {}
    void setLaunchMonitoringEnabled(bool) override {}

  private:
    std::shared_ptr<Workspace> real;
};

class AppBlockerProcessTest : public ::testing::Test {
  protected:
    AppBlockerProcessTest() { harness.mainLoop = &loop; }
    ~AppBlockerProcessTest() override { OrrindaleQuitProtection::blockingActive = false; }

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
    std::string bundlePath(const std::string& name) const {
        return (directory.path() / (name + ".app")).string();
    }

    // Runs the loop until the workspace lists every given process as an application.
    bool waitUntilListed(Workspace& workspace, const std::vector<pid_t>& pids) {
        return loop.runUntil(
            [&] {
                const auto applications = workspace.runningApplications();
                return std::all_of(pids.begin(), pids.end(), [&](pid_t pid) {
                    return std::any_of(applications.begin(), applications.end(),
                                       [pid](const auto& application) {
                                           return application->processIdentifier() == pid &&
                                                  application->bundleIdentifier();
                                       });
                });
            },
            kWaitLimit);
    }

    TempDirectory directory;
    AsioRunLoop loop;
    EngineHarness harness;
};

EncodableMap configuration(EncodableList blocked, EncodableList exceptions) {
    return encodableMap({{"allWebsitesBlocked", false},
                         {"blockedApps", std::move(blocked)},
                         {"exceptionApps", std::move(exceptions)}});
}

// Fault: a blocked application survives the start, or an exception, the host (by identifier
// or by pid) or an unlisted application is closed by the start-up sweep or later sweeps.
TEST_F(AppBlockerProcessTest, StartClosesBlockedApplicationsAndSparesTheRest) {
    Sleeper blocked(makeBundle("Blocked", "com.example.blocked"));
    Sleeper exceptedById(makeBundle("Excepted", "com.example.excepted"));
    Sleeper exceptedByPath(makeBundle("PathExcepted", "com.example.pathexcepted"));
    Sleeper host(makeBundle("Host", "com.example.host"));
    Sleeper hostByPid(makeBundle("Twin", "com.example.twin"));
    Sleeper other(makeBundle("Other", "com.example.other"));
    auto workspace = makeWorkspace(loop);
    ASSERT_TRUE(waitUntilListed(*workspace, {blocked.pid, exceptedById.pid, exceptedByPath.pid,
                                             host.pid, hostByPid.pid, other.pid}));

    harness.realWorkspace = workspace;
    harness.ownIdentifier = "com.example.host";
    harness.ownPid = hostByPid.pid;
    auto engine = harness.create();
    engine->applyConfiguration(
        configuration({"com.example.blocked", "com.example.excepted", "com.example.pathexcepted",
                       "com.example.host", bundlePath("Twin")},
                      {"com.example.excepted", bundlePath("PathExcepted")}));

    EXPECT_EQ(entry<std::int64_t>(engine->startSession({}), "closedAppCount"), 1);
    EXPECT_TRUE(loop.runUntil([&] { return blocked.hasExited(); }, kWaitLimit));
    loop.runUntil([] { return false; }, 0.6);  // a few more sweeps
    EXPECT_FALSE(exceptedById.hasExited());
    EXPECT_FALSE(exceptedByPath.hasExited());
    EXPECT_FALSE(host.hasExited());
    EXPECT_FALSE(hostByPid.hasExited());
    EXPECT_FALSE(other.hasExited());
    engine->stopSession();
}

// Fault: a launch during the session is not closed, or each relaunch is counted.
TEST_F(AppBlockerProcessTest, LaunchesDuringTheSessionAreClosedAndCountedOncePerCooldown) {
    const auto executable = makeBundle("Blocked", "com.example.blocked");
    harness.realWorkspace = makeWorkspace(loop);
    auto engine = harness.create();
    engine->applyConfiguration(configuration({"com.example.blocked"}, {}));
    engine->startSession({});

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        Sleeper launched(executable);
        EXPECT_TRUE(loop.runUntil([&] { return launched.hasExited(); }, kWaitLimit));
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed.count() < 1.5) {
        EXPECT_EQ(engine->blockedAttemptCount(), 1);
    }
    engine->stopSession();
}

// Fault: the periodic sweep does not run, so an application missed by the launch monitor
// stays open.
TEST_F(AppBlockerProcessTest, SweepClosesWhatNoNotificationReported) {
    const auto executable = makeBundle("Blocked", "com.example.blocked");
    harness.realWorkspace = std::make_shared<SweepOnlyWorkspace>(makeWorkspace(loop));
    auto engine = harness.create();
    engine->applyConfiguration(configuration({"com.example.blocked"}, {}));
    engine->startSession({});

    Sleeper launched(executable);
    EXPECT_TRUE(loop.runUntil([&] { return launched.hasExited(); }, kWaitLimit));
    engine->stopSession();
}

}  // namespace
}  // namespace kestralune::blocking_test
