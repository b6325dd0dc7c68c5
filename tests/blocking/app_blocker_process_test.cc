// The app blocker against real processes: fixture bundles holding a copy of /bin/sleep,
// the /proc workspace and the asio run loop, each wait bounded.
#include "blocking/mac_blocking_engine.h"

#include "platform/linux/asio_run_loop.h"
#include "platform/testing/fixture_applications.h"
#include "tests/blocking/engine_test_doubles.h"
#include "tests/platform/temp_directory.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace kestralune::blocking_test {
namespace {

constexpr double kWaitLimit = 3.0;  // far above one sweep period plus the kill delay

// Identifiers of this test process alone: ctest runs tests side by side, and a session
// closes every process of the user that carries a blocked identifier.
std::string id(const std::string& name) {
    return "com.example.p" + std::to_string(::getpid()) + "." + name;
}

// Fault: a blocked application running at the start or launched during the session
// survives, or one excepted by its bundle path or an unlisted one is closed.
TEST(AppBlockerProcessTest, SessionClosesBlockedApplicationsAndSparesTheRest) {
    TempDirectory directory;
    AsioRunLoop loop;
    FixtureProcesses processes;
    const auto bundle = [&](const std::string& name) {
        return makeFixtureBundle(directory.path(), name + ".app/Contents/MacOS/" + name,
                                 id(name).c_str());
    };
    const auto blocked = bundle("blocked");
    const pid_t running = processes.start(blocked);
    const pid_t excepted = processes.start(bundle("excepted"));
    const pid_t other = processes.start(bundle("other"));
    EngineHarness harness;
    harness.mainLoop = &loop;
    harness.realWorkspace = makeWorkspace(loop);
    auto engine = harness.create();
    engine->applyConfiguration(encodableMap(
        {{"allWebsitesBlocked", false},
         {"blockedApps", EncodableList{id("blocked"), id("excepted")}},
         {"exceptionApps", EncodableList{(directory.path() / "excepted.app").string()}}}));
    engine->startSession({});

    EXPECT_TRUE(loop.runUntil([&] { return FixtureProcesses::hasExited(running); }, kWaitLimit));
    const pid_t launched = processes.start(blocked);
    EXPECT_TRUE(loop.runUntil([&] { return FixtureProcesses::hasExited(launched); }, kWaitLimit));
    loop.runUntil([] { return false; }, 0.6);  // a few more sweeps
    EXPECT_FALSE(FixtureProcesses::hasExited(excepted));
    EXPECT_FALSE(FixtureProcesses::hasExited(other));
}

}  // namespace
}  // namespace kestralune::blocking_test
