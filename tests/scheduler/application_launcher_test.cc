// The real launcher on fixture bundles holding a copy of /bin/sleep. What the agent's tests
// cannot see from outside: the caller keeps no child, and answers come on the run loop.
#include "platform/linux/application_launcher_linux.h"

#include "tests/platform/temp_directory.h"
#include "tests/scheduler/detached_processes.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace kestralune {
namespace {

using Outcomes = std::vector<std::optional<std::string>>;

class ApplicationLauncherTest : public ::testing::Test {
  protected:
    // Opens the bundle and runs the loop until the answer; the answers seen by then.
    Outcomes open(const std::string& bundle) {
        Outcomes outcomes;
        launcher->openApplication(bundle, {"60"}, [&](auto error) { outcomes.push_back(error); });
        EXPECT_EQ(outcomes, Outcomes{}) << "answered inside the call";
        loop.runUntil([&] { return !outcomes.empty(); }, 15);
        return outcomes;
    }

    TempDirectory directory;
    AsioRunLoop loop;
    std::shared_ptr<ApplicationLauncher> launcher = makeApplicationLauncher(loop);
};

TEST_F(ApplicationLauncherTest, ProgramIsNeitherChildNorZombieOfTheCaller) {
    // Fails if the program stays the caller's child or in its session, or the child between
    // them is left unreaped.
    directory.write("Sleep.app/Contents/Info.plist",
                    "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
                    "<string>sleep</string></dict></plist>");
    const auto executable =
        makeFixtureBundle(directory.path(), "Sleep.app/Contents/MacOS/sleep", nullptr);
    EXPECT_EQ(open((directory.path() / "Sleep.app").string()), Outcomes{std::nullopt});
    const auto running = processesRunning(executable);
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(::getsid(running.front()), running.front());
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    endProcessesOf(executable);
}

TEST_F(ApplicationLauncherTest, BundleWithoutInfoPlistIsReportedOnTheRunLoop) {
    // Fails if an early failure is answered inside the call, before the caller waits.
    const auto bundle = (directory.path() / "Empty.app").string();
    EXPECT_EQ(open(bundle), Outcomes{"The application \u201C" + bundle +
                                     "\u201D can\u2019t be opened because its Info.plist is "
                                     "missing or unreadable."});
}

}  // namespace
}  // namespace kestralune
