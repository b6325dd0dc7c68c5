#include "blocking/mac_blocking_engine.h"

#include "host/quit_protection.h"
#include "tests/blocking/engine_test_doubles.h"

#include <gtest/gtest.h>

namespace kestralune::blocking_test {
namespace {

using Request = FakeRunningApplication::Request;

EncodableMap appConfiguration(EncodableList blocked, EncodableList exceptions = {}) {
    return encodableMap({{"allWebsitesBlocked", false},
                         {"blockedApps", std::move(blocked)},
                         {"exceptionApps", std::move(exceptions)}});
}

class AppBlockerTest : public ::testing::Test {
  protected:
    ~AppBlockerTest() override { OrrindaleQuitProtection::blockingActive = false; }

    std::shared_ptr<FakeRunningApplication> app(const char* identifier = "com.example.game") {
        return std::make_shared<FakeRunningApplication>(identifier, "/Apps/Game.app", 2000);
    }

    EngineHarness harness;
    std::shared_ptr<MacBlockingEngine> engine = harness.create();
};

struct CloseRow {
    const char* name;
    std::optional<std::string> identifier;
    std::optional<std::string> path;
    std::int32_t pid;
    EncodableList blocked;
    EncodableList exceptions;
    bool closed;
};

// Fault: an exception, the host itself, init, a copy elsewhere or an unidentified process
// gets closed, or a listed application is spared.
TEST(AppBlockerRules, ClosesExactlyTheBlockedApplicationsThatAreNotExcepted) {
    const std::string game = "com.example.game";
    const std::string path = "/Apps/Game.app";
    const CloseRow rows[] = {
        {"listed by identifier", game, path, 2000, {game}, {}, true},
        {"listed by path", game, path, 2000, {path}, {}, true},
        {"no bundle path, listed by identifier", game, std::nullopt, 2000, {game}, {}, true},
        {"copy elsewhere of a path listing", game, "/Other/Game.app", 2000, {path}, {}, false},
        {"excepted by identifier", game, path, 2000, {path}, {game}, false},
        {"excepted by path", game, path, 2000, {game}, {path}, false},
        {"no bundle identifier", std::nullopt, path, 2000, {path}, {}, false},
        {"letter case differs", game, path, 2000, {"COM.EXAMPLE.GAME"}, {}, false},
        {"the host by identifier", "com.example.host", path, 2000, {"com.example.host"}, {}, false},
        {"the host by pid", game, path, 4242, {game}, {}, false},
        {"init", game, path, 1, {game}, {}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EngineHarness harness;
        auto engine = harness.create();
        engine->applyConfiguration(appConfiguration(row.blocked, row.exceptions));
        auto application =
            std::make_shared<FakeRunningApplication>(row.identifier, row.path, row.pid);

        EXPECT_EQ(engine->terminateIfBlocked(application), row.closed);
        harness.loop.advance(1.0);
        const std::vector<Request> expected =
            row.closed ? std::vector{Request::terminate, Request::forceTerminate, Request::kill}
                       : std::vector<Request>{};
        EXPECT_EQ(application->requests(), expected);
    }
}

// Fault: the kill is sent before 0.15 s, not at all, or to an application that has ended.
TEST_F(AppBlockerTest, KillsOnlyWhatIsStillRunningAfterTheDelay) {
    engine->applyConfiguration(appConfiguration({"com.example.game"}));

    auto stubborn = app();
    ASSERT_TRUE(engine->terminateIfBlocked(stubborn));
    harness.loop.advance(0.149);
    EXPECT_EQ(stubborn->count(Request::kill), 0);
    harness.loop.advance(0.001);
    EXPECT_EQ(stubborn->count(Request::kill), 1);

    auto slowToQuit = app();
    ASSERT_TRUE(engine->terminateIfBlocked(slowToQuit));
    harness.loop.advance(0.1);
    slowToQuit->setTerminated(true);
    harness.loop.advance(0.1);
    EXPECT_EQ(slowToQuit->count(Request::kill), 0);

    auto polite = app();
    polite->setQuitsOnRequest(true);
    ASSERT_TRUE(engine->terminateIfBlocked(polite));
    harness.loop.advance(1.0);
    EXPECT_EQ(polite->count(Request::kill), 0);
}

// Fault: every relaunch is counted, or the cooldown never ends.
TEST_F(AppBlockerTest, RelaunchesWithinTwoSecondsCountOnce) {
    engine->applyConfiguration(appConfiguration({"com.example.game"}));
    engine->startSession({});

    std::vector<std::shared_ptr<FakeRunningApplication>> launches;
    for (int i = 0; i < 3; ++i) {
        launches.push_back(app());
        harness.workspace->postLaunch(launches.back());
        harness.loop.advance(0.5);
    }
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
    for (const auto& launch : launches) {
        EXPECT_EQ(launch->count(Request::forceTerminate), 1);
    }

    harness.loop.advance(0.499);  // 1.999 s after the counted launch
    harness.workspace->postActivation(app());
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
    harness.loop.advance(0.002);  // past 2 s (the clock truncates each step to whole ns)
    harness.workspace->postLaunch(app());
    EXPECT_EQ(engine->blockedAttemptCount(), 2);
}

// Fault: notifications act outside a session, or a notification without an application
// crashes the handler.
TEST_F(AppBlockerTest, NotificationsActOnlyDuringASession) {
    engine->applyConfiguration(appConfiguration({"com.example.game"}));
    auto idle = app();
    harness.workspace->postLaunch(idle);
    EXPECT_TRUE(idle->requests().empty());
    EXPECT_EQ(engine->blockedAttemptCount(), 0);

    engine->startSession({});
    harness.workspace->postLaunch(nullptr);
    auto active = app();
    harness.workspace->postActivation(active);
    EXPECT_EQ(active->count(Request::terminate), 1);

    engine->stopSession();
    auto after = app();
    harness.workspace->postLaunch(after);
    EXPECT_TRUE(after->requests().empty());
}

// Fault: the sweep miscounts, or closes applications that are not listed.
TEST_F(AppBlockerTest, SweepClosesEveryRunningBlockedApplication) {
    engine->applyConfiguration(appConfiguration({"com.example.game", "/Apps/Chat.app"}));
    auto game = harness.workspace->launch("com.example.game", "/Apps/Game.app");
    auto chat = harness.workspace->launch("com.example.chat", "/Apps/Chat.app");
    auto editor = harness.workspace->launch("com.example.editor", "/Apps/Editor.app");

    EXPECT_EQ(entry<std::int64_t>(engine->startSession({}), "closedAppCount"), 2);
    EXPECT_TRUE(editor->requests().empty());

    game->setTerminated(true);
    chat->setTerminated(true);
    EXPECT_EQ(engine->sweepRunningApplications(), 0);
}

// Fault: an application that keeps ignoring the requests escapes later sweeps, or each
// repeated close is counted.
TEST_F(AppBlockerTest, SweepKeepsClosingAnApplicationThatLingers) {
    engine->applyConfiguration(appConfiguration({"com.example.game"}));
    auto lingering = harness.workspace->launch("com.example.game", "/Apps/Game.app");
    engine->startSession({});
    harness.loop.advance(1.0);
    EXPECT_EQ(lingering->count(Request::forceTerminate), 5);  // start-up sweep and four ticks
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
}

}  // namespace
}  // namespace kestralune::blocking_test
