// The workspace against real processes in fixture bundles made by the test.
#include "platform/linux/workspace_linux.h"

#include "platform/testing/manual_run_loop.h"
#include "tests/platform/temp_directory.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace kestralune {
namespace {

std::string infoPlist(const std::optional<std::string>& identifier) {
    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\"><dict>\n"
        "<key>CFBundleName</key><string>Fixture</string>\n";
    if (identifier) {
        plist += "<key>CFBundleIdentifier</key><string>" + *identifier + "</string>\n";
    }
    return plist + "</dict></plist>\n";
}

// A started process that is killed and reaped when the test is done with it.
class Child {
  public:
    Child(const std::string& path, std::vector<std::string> arguments, int in = -1, int out = -1) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (in >= 0) {
            posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
        }
        if (out >= 0) {
            posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        }
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            reap();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits until the process has exited, leaving it unreaped (a zombie).
    void waitForExit() const {
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    }
    void reap() {
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    pid_t pid = -1;
};

class WorkspaceTest : public ::testing::Test {
  protected:
    // Copies `program` to BUNDLE/Contents/MacOS/NAME (or under `relative`) and writes the
    // bundle's Info.plist when `plist` is given; returns the executable's path.
    std::string makeBundle(const std::string& relativeExecutable,
                           const std::optional<std::string>& plistFor,
                           const std::optional<std::string>& identifier,
                           const char* program = "/bin/sleep") {
        const auto executable = directory.path() / relativeExecutable;
        std::filesystem::create_directories(executable.parent_path());
        std::filesystem::copy_file(program, executable);
        if (plistFor) {
            directory.write(*plistFor + "/Contents/Info.plist", infoPlist(identifier));
        }
        return executable.string();
    }

    std::shared_ptr<RunningApplication> find(pid_t pid) {
        for (const auto& application : workspace.runningApplications()) {
            if (application->processIdentifier() == pid) {
                return application;
            }
        }
        return nullptr;
    }

    TempDirectory directory;
    ManualRunLoop loop;
    LinuxWorkspace workspace{loop};
};

TEST_F(WorkspaceTest, BundledProcessIsListedWithItsIdentifierAndBundle) {
    // Fails if the identifier or bundle path is misread, or a process gets a new object on
    // every scan (the launch monitor relies on identity).
    const auto executable =
        makeBundle("Fixture.app/Contents/MacOS/fixture", "Fixture.app", "com.example.fixture");
    Child first(executable, {"60"});
    Child second(executable, {"60"});
    ASSERT_GT(first.pid, 0);

    const auto applications = workspace.runningApplications();
    EXPECT_TRUE(
        std::is_sorted(applications.begin(), applications.end(), [](const auto& a, const auto& b) {
            return a->processIdentifier() < b->processIdentifier();
        }));
    const auto application = find(first.pid);
    ASSERT_NE(application, nullptr);
    EXPECT_EQ(application->bundleIdentifier(), "com.example.fixture");
    EXPECT_EQ(application->bundlePath(), (directory.path() / "Fixture.app").string());
    EXPECT_FALSE(application->isTerminated());
    EXPECT_EQ(find(first.pid), application);
    ASSERT_NE(find(second.pid), nullptr);
    EXPECT_EQ(find(second.pid)->bundlePath(), application->bundlePath());
}

struct LayoutRow {
    const char* executable;
    std::optional<std::string> plistFor;
    std::optional<std::string> identifier;
    bool isApplication;
};

TEST_F(WorkspaceTest, OnlyExecutablesInIdentifiedBundlesAreApplications) {
    // Fails if a loose program, a bundle without identifier or a non-bundle folder is
    // treated as an application (the blocker could close it).
    const LayoutRow rows[] = {
        {"Good.app/Contents/MacOS/good", "Good.app", "com.example.good", true},
        {"NoIdentifier.app/Contents/MacOS/tool", "NoIdentifier.app", std::nullopt, false},
        {"NoPlist.app/Contents/MacOS/tool", std::nullopt, std::nullopt, false},
        {"Folder/Contents/MacOS/tool", "Folder", "com.example.folder", false},
        {"Deep.app/Contents/MacOS/bin/tool", "Deep.app", "com.example.deep", false},
        {"Resources.app/Contents/Resources/tool", "Resources.app", "com.example.res", false},
        {"loose/sleep", std::nullopt, std::nullopt, false},
    };
    std::vector<std::unique_ptr<Child>> children;
    for (const auto& row : rows) {
        children.push_back(
            std::make_unique<Child>(makeBundle(row.executable, row.plistFor, row.identifier),
                                    std::vector<std::string>{"60"}));
        ASSERT_GT(children.back()->pid, 0) << row.executable;
    }
    for (std::size_t index = 0; index < std::size(rows); ++index) {
        EXPECT_EQ(find(children[index]->pid) != nullptr, rows[index].isApplication)
            << rows[index].executable;
    }
}

TEST_F(WorkspaceTest, TerminateEndsTheProcessAndLaterRequestsAreRefused) {
    // Fails if terminate does not reach the process, an exited (unreaped) process still
    // counts as running, or requests to it claim success.
    Child child(makeBundle("Quit.app/Contents/MacOS/quit", "Quit.app", "com.example.quit"), {"60"});
    const auto application = find(child.pid);
    ASSERT_NE(application, nullptr);
    EXPECT_TRUE(application->terminate());
    child.waitForExit();
    EXPECT_TRUE(application->isTerminated());
    EXPECT_FALSE(application->terminate());
    EXPECT_FALSE(application->forceTerminate());
    EXPECT_FALSE(application->kill());
    child.reap();
    EXPECT_EQ(find(child.pid), nullptr);
}

TEST_F(WorkspaceTest, ForceTerminateEndsAProcessThatIgnoresThePoliteRequest) {
    // Fails if forceTerminate sends a catchable signal.
    const auto executable =
        makeBundle("Stubborn.app/Contents/MacOS/stubborn", "Stubborn.app", "com.example.stubborn");
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ::sigaction(SIGTERM, &ignore, &previous);  // inherited across exec
    Child child(executable, {"60"});
    ::sigaction(SIGTERM, &previous, nullptr);
    const auto application = find(child.pid);
    ASSERT_NE(application, nullptr);
    EXPECT_TRUE(application->terminate());
    EXPECT_FALSE(application->isTerminated());
    EXPECT_TRUE(application->forceTerminate());
    child.waitForExit();
    EXPECT_TRUE(application->isTerminated());
}

TEST_F(WorkspaceTest, ObjectOfAnEndedProcessNeverSignalsAgain) {
    // Fails if a request goes by pid, which could hit a new process given the same pid.
    Child child(makeBundle("Gone.app/Contents/MacOS/gone", "Gone.app", "com.example.gone"), {"60"});
    const auto application = find(child.pid);
    ASSERT_NE(application, nullptr);
    ::kill(child.pid, SIGKILL);
    child.reap();
    EXPECT_TRUE(application->isTerminated());
    EXPECT_FALSE(application->kill());
    EXPECT_FALSE(application->terminate());
    EXPECT_FALSE(application->forceTerminate());
}

TEST_F(WorkspaceTest, ProcessThatExecsIntoABundleAfterBeingSeenBecomesAnApplication) {
    // Fails if a process seen between fork and exec stays "not an application" for good.
    const auto bundled =
        makeBundle("Later.app/Contents/MacOS/later", "Later.app", "com.example.later", "/bin/sh");
    int toChild[2];
    int fromChild[2];
    ASSERT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
    Child child("/bin/sh", {"-c", "read go; exec \"$0\" -c 'echo ready; read stop'", bundled},
                toChild[0], fromChild[1]);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    EXPECT_EQ(find(child.pid), nullptr);

    ASSERT_EQ(::write(toChild[1], "go\n", 3), 3);
    pollfd ready{fromChild[0], POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 10'000), 1);  // printed by the bundled program itself
    const auto application = find(child.pid);
    ASSERT_NE(application, nullptr);
    EXPECT_EQ(application->bundleIdentifier(), "com.example.later");
    ::close(toChild[1]);
    ::close(fromChild[0]);
}

class LaunchMonitorTest : public WorkspaceTest {
  protected:
    void SetUp() override {
        workspace.addObserver([this](const WorkspaceNotification& notification) {
            EXPECT_EQ(notification.name, WorkspaceNotification::Name::didLaunchApplication);
            // Other suites may launch applications of their own meanwhile.
            if (notification.application->bundlePath()->starts_with(directory.path().string())) {
                launched.push_back(notification.application->processIdentifier());
            }
        });
        executable = makeBundle("Watch.app/Contents/MacOS/watch", "Watch.app", "com.example.watch");
    }

    std::string executable;
    std::vector<pid_t> launched;
};

TEST_F(LaunchMonitorTest, OffMeansNoTimerAndNoNotifications) {
    // Fails if an idle host keeps polling /proc or reports launches nobody asked for.
    Child child(executable, {"60"});
    loop.advance(1.0);
    workspace.pollLaunches();
    EXPECT_TRUE(launched.empty());
    EXPECT_EQ(loop.pendingCount(), 0u);
}

TEST_F(LaunchMonitorTest, OnReportsEachNewApplicationOnceAndNotThoseAlreadyRunning) {
    // Fails if running applications are reported as launches, a launch is missed or
    // reported twice, or the monitor keeps running after it is turned off.
    Child before(executable, {"60"});
    workspace.setLaunchMonitoringEnabled(true);
    loop.advance(LinuxWorkspace::kLaunchPollInterval);
    EXPECT_TRUE(launched.empty());

    Child after(executable, {"60"});
    loop.advance(LinuxWorkspace::kLaunchPollInterval);
    EXPECT_EQ(launched, std::vector<pid_t>{after.pid});
    loop.advance(LinuxWorkspace::kLaunchPollInterval * 3);
    EXPECT_EQ(launched.size(), 1u);

    workspace.setLaunchMonitoringEnabled(false);
    Child whileOff(executable, {"60"});
    loop.advance(1.0);
    EXPECT_EQ(launched.size(), 1u);
    EXPECT_EQ(loop.pendingCount(), 0u);
}

TEST_F(LaunchMonitorTest, DestroyingTheWorkspaceStopsItsMonitor) {
    // Fails if the monitor's timer outlives the workspace and calls into freed memory.
    auto owned = std::make_unique<LinuxWorkspace>(loop);
    owned->setLaunchMonitoringEnabled(true);
    owned.reset();
    loop.advance(1.0);
    EXPECT_EQ(loop.pendingCount(), 0u);
}

}  // namespace
}  // namespace kestralune
