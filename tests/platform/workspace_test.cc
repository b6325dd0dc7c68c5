// The workspace against real processes in fixture bundles made by the test.
#include "platform/linux/workspace_linux.h"

#include "platform/testing/fixture_applications.h"
#include "platform/testing/manual_run_loop.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

namespace kestralune {
namespace {

class WorkspaceTest : public ::testing::Test {
  protected:
    std::shared_ptr<RunningApplication> find(pid_t pid) {
        const auto listed = workspace.runningApplications();
        const auto found = std::find_if(listed.begin(), listed.end(), [&](const auto& listing) {
            return listing->processIdentifier() == pid;
        });
        return found == listed.end() ? nullptr : *found;
    }

    FixtureProcesses children;
    TempDirectory directory;
    ManualRunLoop loop;
    LinuxWorkspace workspace{loop};
};

TEST_F(WorkspaceTest, ListsExactlyTheProcessesOfIdentifiedBundlesWithTheirIdentity) {
    // Fails if a loose program or a bundle without identifier is treated as an application
    // (the blocker could close it), the identity is misread or cached past a change of the
    // Info.plist, or a process gets a new object on every scan (the monitor compares them).
    const std::pair<std::string, const char*> rows[] = {
        {"Good.app/Contents/MacOS/good", "com.example.good"},
        {"Good.app/Contents/MacOS/helper", nullptr},
        {"NoIdentifier.app/Contents/MacOS/tool", ""},
        {"NoPlist.app/Contents/MacOS/tool", nullptr},
        {"Folder/Contents/MacOS/tool", "com.example.folder"},
        {"Deep.app/Contents/MacOS/bin/tool", "com.example.deep"},
        {"Resources.app/Contents/Resources/tool", "com.example.res"},
        {"loose/sleep", nullptr},
    };
    for (const auto& [executable, identifier] : rows) {
        const pid_t pid =
            children.start(makeFixtureBundle(directory.path(), executable, identifier));
        const auto application = find(pid);
        ASSERT_EQ(application != nullptr, executable.starts_with("Good.app")) << executable;
        if (application) {
            EXPECT_EQ(application->bundleIdentifier(), "com.example.good");
            EXPECT_EQ(application->bundlePath(), (directory.path() / "Good.app").string());
            EXPECT_EQ(find(pid), application);
        }
    }
    // A changed Info.plist is read again for the processes that start from then on.
    const pid_t later = children.start(makeFixtureBundle(
        directory.path(), "Good.app/Contents/MacOS/later", "com.example.changed"));
    const auto relisted = find(later);
    EXPECT_TRUE(relisted && relisted->bundleIdentifier() == "com.example.changed");
}

TEST_F(WorkspaceTest, RequestsReachOnlyTheProcessTheyWereMadeFor) {
    // Fails if terminate does not reach the process, forceTerminate sends a catchable
    // signal, an exited (even unreaped) process counts as running, or a request goes by pid,
    // which could hit a new process given the same pid.
    const auto executable =
        makeFixtureBundle(directory.path(), "Quit.app/Contents/MacOS/quit", "com.example.quit");
    for (const bool ignoresTerminate : {false, true}) {
        std::signal(SIGTERM, ignoresTerminate ? SIG_IGN : SIG_DFL);  // inherited across exec
        const pid_t pid = children.start(executable);
        std::signal(SIGTERM, SIG_DFL);
        const auto application = find(pid);
        ASSERT_NE(application, nullptr);
        EXPECT_TRUE(application->terminate());
        EXPECT_TRUE(!ignoresTerminate || application->forceTerminate());
        ASSERT_TRUE(eventually([&] { return application->isTerminated(); }));  // a zombie
        for (const bool reaped : {false, true}) {
            EXPECT_FALSE(application->terminate() || application->forceTerminate() ||
                         application->kill());
            EXPECT_EQ(find(pid), nullptr) << reaped;
            children.waitForExit(pid);
        }
    }
}

TEST_F(WorkspaceTest, ProcessThatExecsIntoABundleLongAfterItStartedIsListedAsANewApplication) {
    // Fails if an exec is noticed only in a process's first second (a blocked application
    // started by a delayed exec would never be closed) or is reported through the old object.
    const auto from =
        makeFixtureBundle(directory.path(), "From.app/Contents/MacOS/from", "a.from", "/bin/sh");
    const auto to =
        makeFixtureBundle(directory.path(), "To.app/Contents/MacOS/to", "com.example.to");
    const pid_t pid = children.start(from, {"-c", "sleep 2; exec \"$0\" 60", to.c_str()});
    const auto before = find(pid);
    ASSERT_NE(before, nullptr);
    std::shared_ptr<RunningApplication> after;
    ASSERT_TRUE(eventually([&] {
        after = find(pid);
        return after && after->bundleIdentifier() == "com.example.to";
    }));
    EXPECT_NE(after, before);
    EXPECT_EQ(after->bundlePath(), (directory.path() / "To.app").string());
}

TEST_F(WorkspaceTest, LaunchMonitorReportsEachNewApplicationOnceOnlyWhileOn) {
    // Fails if an idle host polls /proc, running applications are reported as launches, a
    // launch is missed or reported twice, the monitor runs on after it is turned off, or its
    // timer outlives the workspace.
    std::vector<pid_t> launched;
    workspace.addObserver([&](const WorkspaceNotification& notification) {
        if (notification.application->bundlePath()->starts_with(directory.path().string())) {
            launched.push_back(notification.application->processIdentifier());  // not others'
        }
    });
    const auto executable =
        makeFixtureBundle(directory.path(), "Watch.app/Contents/MacOS/watch", "com.example.watch");
    children.start(executable);
    loop.advance(1.0);
    EXPECT_EQ(loop.pendingCount(), 0u);

    workspace.setLaunchMonitoringEnabled(true);
    loop.advance(LinuxWorkspace::kLaunchPollInterval);
    EXPECT_TRUE(launched.empty());
    const pid_t after = children.start(executable);
    loop.advance(LinuxWorkspace::kLaunchPollInterval * 3);
    EXPECT_EQ(launched, std::vector<pid_t>{after});

    workspace.setLaunchMonitoringEnabled(false);
    children.start(executable);
    loop.advance(1.0);
    EXPECT_EQ(launched.size(), 1u);
    EXPECT_EQ(loop.pendingCount(), 0u);

    std::make_unique<LinuxWorkspace>(loop)->setLaunchMonitoringEnabled(true);  // then destroyed
    loop.advance(1.0);
    EXPECT_EQ(loop.pendingCount(), 0u);
}

}  // namespace
}  // namespace kestralune
