#include "blocking/mac_blocking_engine.h"

#include "blockserver/domain_rules.h"
#include "tests/blocking/engine_test_doubles.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kestralune::blocking_test {
namespace {

using Call = FakeToolRunner::Call;
using Request = FakeRunningApplication::Request;

constexpr const char* kApplyFailedLine =
    "Kestralune could not update macOS proxy settings automatically. Use "
    "http://127.0.0.1:18081/proxy.pac as the automatic proxy configuration URL.";

EncodableMap webOff(EncodableList blockedApps = {}) {
    return encodableMap({{"allWebsitesBlocked", false}, {"blockedApps", std::move(blockedApps)}});
}

// `count` distinct names, usable as application identifiers and as website rules.
EncodableList names(int count) {
    EncodableList list;
    while (count > 0) {
        list.push_back("x" + std::to_string(count--) + ".example");
    }
    return list;
}

std::vector<std::string> sortedAlwaysAllowed(std::vector<std::string> extra = {}) {
    extra.insert(extra.end(), alwaysAllowedDomains().begin(), alwaysAllowedDomains().end());
    std::sort(extra.begin(), extra.end());
    extra.erase(std::unique(extra.begin(), extra.end()), extra.end());
    return extra;
}

// One service "Wi-Fi", whose set commands and the scutil check succeed as asked.
void cannedProxy(EngineHarness& harness, bool applyWorks, bool verifyWorks) {
    auto& tools = *harness.fakeTools;
    const auto& ns = harness.networksetupPath;
    tools.setResult(ns, {"-listallnetworkservices"}, {0, "An asterisk...\nWi-Fi\n"});
    tools.setResult(ns, {"-getautoproxyurl", "Wi-Fi"}, {0, "URL: (null)\nEnabled: No\n"});
    tools.setResult(ns, {"-setautoproxyurl", "Wi-Fi", kProxyAutoConfigUrl}, {0, ""});
    tools.setResult(ns, {"-setautoproxystate", "Wi-Fi", "on"}, {0, applyWorks ? "" : "Error"});
    tools.setResult(harness.scutilPath, {"--proxy"},
                    {0, verifyWorks ? std::string(kProxyVerificationEnableLine) + "\n" +
                                          kProxyVerificationUrlLine
                                    : ""});
}

// Calls `observe` before every tool run, then answers from `inner`.
class ObservingToolRunner final : public ToolRunner {
  public:
    ObservingToolRunner(std::shared_ptr<ToolRunner> inner, std::function<void()> observe)
        : inner(std::move(inner)), observe(std::move(observe)) {}
    ToolResult runTool(const std::string& path,
                       const std::vector<std::string>& arguments) override {
        observe();
        return inner->runTool(path, arguments);
    }

  private:
    std::shared_ptr<ToolRunner> inner;
    std::function<void()> observe;
};

class MacBlockingEngineTest : public ::testing::Test {
  protected:
    // With the proxy verified, a watch tick runs only the scutil check.
    std::size_t toolRuns() const { return tools.calls().size(); }
    int sweeps() const { return harness.workspace->runningApplicationsCallCount(); }
    static std::shared_ptr<FakeRunningApplication> game() {
        return std::make_shared<FakeRunningApplication>("com.example.game", "/Apps/Game.app", 2000);
    }

    EngineHarness harness;
    FakeToolRunner& tools = *harness.fakeTools;
    std::shared_ptr<MacBlockingEngine> engine = harness.create();
    RecordingBlockServer& server = *harness.server;
};

// Fault: the first session uses other exceptions than the defaults; rules keep blanks,
// case, duplicates, "", "*", non-strings or an always-allowed domain; a value of the wrong
// type is not taken as absent.
TEST_F(MacBlockingEngineTest, ConfigurationIsNormalised) {
    engine->startSession({});
    EXPECT_EQ(server.lastUpdate->exceptionDomains, defaultExceptionDomainList());
    engine->stopSession();

    const std::string allowed(alwaysAllowedDomains().front());
    engine->applyConfiguration(encodableMap({
        {"blockedDomains",
         EncodableList{" Example.COM ", "example.com", "", "*", std::int32_t{7}, allowed}},
        {"exceptionDomains", EncodableList{" News.Example.ORG\n", "*", allowed}},
        {"allWebsitesBlocked", "false"},
    }));
    EXPECT_EQ(server.lastUpdate->blockedDomains, std::vector<std::string>{"example.com"});
    EXPECT_EQ(server.lastUpdate->exceptionDomains, sortedAlwaysAllowed({"news.example.org"}));
    EXPECT_TRUE(server.lastUpdate->allWebsitesBlocked);

    engine->applyConfiguration(encodableMap({{"exceptionDomains", "a.example"}}));
    EXPECT_EQ(server.lastUpdate->exceptionDomains, sortedAlwaysAllowed());
    EXPECT_TRUE(server.lastUpdate->blockedDomains.empty());
    engine->applyConfiguration(webOff());
    EXPECT_FALSE(server.lastUpdate->allWebsitesBlocked);
}

// Fault: application entries are read from the wrong keys, change case, or keep blanks.
TEST_F(MacBlockingEngineTest, ApplicationEntriesContributeTrimmedStringsOnly) {
    const std::pair<EncodableValue, std::int64_t> rows[] = {
        {EncodableList{encodableMap({{"bundleIdentifier", " com.example.x\n"}, {"path", ""}}),
                       std::int32_t{5}},
         1},
        {EncodableList{encodableMap({{"id", "a"}, {"bundleIdentifier", "b"}, {"path", "/X.app"}}),
                       encodableMap({{"name", "X"}, {"id", std::int32_t{3}}})},
         3},
        {EncodableList{"Com.Example.X", "com.example.x", " "}, 2},
        {EncodableValue("com.example.x"), 0},
    };
    for (const auto& [apps, expected] : rows) {
        engine->applyConfiguration(encodableMap({{"blockedApps", apps}}));
        EXPECT_EQ(entry<std::int64_t>(engine->startSession({}), "blockedAppCount"), expected);
    }
}

// Fault: the network filter reads stale rules, a mix of two configurations (keys written
// one by one) or looks in the wrong suite.
TEST_F(MacBlockingEngineTest, WritesWebRulesToTheSharedSuite) {
    engine->applyConfiguration(
        encodableMap({{"allWebsitesBlocked", false},
                      {"blockedDomains", EncodableList{"b.example", "a.example"}}}));

    const auto& suite = harness.suites.at("group.com.example.host");
    EXPECT_EQ(suite->values.at("allWebsitesBlocked"), PlistValue(false));
    EXPECT_EQ(suite->values.at("blockedDomains"),
              PlistValue(PlistValue::Array{"a.example", "b.example"}));
    const auto exceptions = sortedAlwaysAllowed();
    EXPECT_EQ(suite->values.at("exceptionDomains"),
              PlistValue(PlistValue::Array(exceptions.begin(), exceptions.end())));
    EXPECT_EQ(suite->writes, 1);
}

// Fault: no fallback suite without a bundle identifier, or a crash when it cannot be opened.
TEST(SharedSuiteTest, FallsBackWithoutABundleIdentifierAndToleratesNoSuite) {
    EngineHarness harness;
    harness.ownIdentifier.reset();
    harness.suitesAvailable = false;
    harness.create()->applyConfiguration({});
    EXPECT_EQ(harness.openedSuites, std::vector<std::string>{"group.com.orrindale.app"});
}

// Fault: a summary branch deviates from its sentence; a flag of the report or the status
// disagrees; a failed apply goes unlogged; quitting is allowed because the proxy failed; a
// session or status query without web blocking runs a proxy tool.
TEST(SessionReportTest, ReportAndStatusFollowTheOutcome) {
    const std::string manual =
        " not verified. Set http://127.0.0.1:18081/proxy.pac manually in macOS network settings";
    using Mode = FakeAccessibility::Mode;
    const struct {
        int apps, sites;
        bool allBlocked, applyWorks, verifyWorks;
        Mode trust;
        std::string summary;
    } rows[] = {
        {2, 0, true, true, true, Mode::trusted,
         "2 blocked app(s) monitored, web fallback proxy active, accessibility on."},
        {0, 0, true, false, false, Mode::untrusted,
         "No blocked apps selected, web fallback proxy" + manual +
             ", accessibility needs approval."},
        {1, 2, false, true, true, Mode::grantedOnPrompt,
         "1 blocked app(s) monitored, 2 listed website(s) blocked, accessibility on."},
        {1, 1, false, false, true, Mode::trusted,
         "1 blocked app(s) monitored, listed website blocking" + manual + ", accessibility on."},
        {3, 0, false, true, true, Mode::untrusted,
         "3 blocked app(s) monitored, web blocking off, accessibility needs approval."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.summary);
        EngineHarness harness;
        cannedProxy(harness, row.applyWorks, row.verifyWorks);
        harness.accessibility->setMode(row.trust);
        auto engine = harness.create();
        LogCapture log;
        engine->applyConfiguration(encodableMap({{"blockedApps", names(row.apps)},
                                                 {"allWebsitesBlocked", row.allBlocked},
                                                 {"blockedDomains", names(row.sites)}}));

        const auto report = engine->startSession({});
        const bool web = row.allBlocked || row.sites > 0;
        EXPECT_EQ(entry<std::string>(report, "summary"), "Blocking active: " + row.summary);
        EXPECT_EQ(entry<bool>(report, "proxyApplied"), web && row.applyWorks);
        EXPECT_EQ(entry<bool>(report, "proxyVerified"), web && row.verifyWorks);
        EXPECT_EQ(entry<bool>(report, "allWebsitesBlocked"), row.allBlocked);
        EXPECT_EQ(entry<bool>(report, "accessibilityTrusted"), row.trust != Mode::untrusted);
        EXPECT_EQ(entry<std::int64_t>(report, "blockedAppCount"), row.apps);
        EXPECT_EQ(log.count(kApplyFailedLine), web && !row.applyWorks);
        EXPECT_TRUE(OrrindaleQuitProtection::blockingActive);  // whatever became of the proxy

        harness.loop.advance(3.0);  // a watch tick, if there is a watch
        EXPECT_EQ(harness.fakeTools->calls().empty(), !web);
        harness.fakeTools->clearCalls();
        const auto status = engine->blockingStatus();
        EXPECT_EQ(harness.fakeTools->calls().size(), web ? 1u : 0u);  // only the check
        EXPECT_EQ(entry<bool>(status, "proxyVerified"), web && row.verifyWorks);
        EXPECT_EQ(entry<bool>(status, "webBlockingRequired"), web);
        EXPECT_EQ(entry<std::int64_t>(status, "blockedDomainCount"), row.sites);
        EXPECT_TRUE(entry<bool>(status, "serverRunning"));
    }
}

// Fault: missing trust is asked for while idle, or not by a start or a configuration change
// during the session.
TEST_F(MacBlockingEngineTest, UntrustedProcessIsAskedOnlyDuringASession) {
    harness.accessibility->setMode(FakeAccessibility::Mode::untrusted);
    engine->applyConfiguration(webOff());
    engine->startSession({});
    engine->applyConfiguration(webOff());
    EXPECT_EQ(harness.accessibility->promptCount(), 2);
}

// Fault: commands reach the server in another order, so a reset or update is lost.
TEST_F(MacBlockingEngineTest, ServerCommandsFollowCallOrder) {
    cannedProxy(harness, true, false);
    engine->applyConfiguration({});
    engine->startSession({});
    engine->applyConfiguration({});
    harness.loop.advance(3.0);  // the watch tick restarts a stopped server
    EXPECT_EQ(server.commands, (std::vector<std::string>{"update", "resetBlockedRequests", "start",
                                                         "update", "update", "start", "start"}));
}

// Fault: the launch monitor polls the process table during a session with nothing to
// close, or misses a change of rules, a start or a stop.
TEST_F(MacBlockingEngineTest, LaunchMonitorRunsOnlyWhileASessionBlocksApplications) {
    const auto apps = webOff({"com.example.game"});
    const std::pair<std::function<void()>, bool> steps[] = {
        {[&] { engine->applyConfiguration(apps); }, false},  // idle
        {[&] { engine->startSession({}); }, true},
        {[&] { engine->applyConfiguration(webOff()); }, false},
        {[&] { engine->startSession({}); }, false},
        {[&] { engine->applyConfiguration(apps); }, true},
        {[&] { engine->startSession({}); }, true},
        {[&] { engine->stopSession(); }, false},
        {[&] { engine->startSession({}); }, true},
        {[&] { engine.reset(); }, false},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        EXPECT_EQ(harness.workspace->launchMonitoringEnabled(), steps[i].second) << "step " << i;
    }
}

// Fault: the sweep or the watch runs off its period; a second start leaves the first
// session's timers running or keeps its deadline; a length sent as a whole double (as a UI
// slider sends it) arms no timer; a timed end leaves quitting refused or a timer running.
TEST_F(MacBlockingEngineTest, TimersKeepTheirPeriodsAndASecondStartReplacesThem) {
    cannedProxy(harness, true, true);
    engine->applyConfiguration(encodableMap({{"blockedApps", EncodableList{"com.example.game"}}}));
    engine->startSession(encodableMap({{"durationMinutes", std::int32_t{1}}}));
    EXPECT_EQ(sweeps(), 1);  // the start-up sweep
    const auto checks = toolRuns();
    harness.loop.advance(2.999);
    EXPECT_EQ(sweeps(), 12);
    EXPECT_EQ(toolRuns(), checks);
    harness.loop.advance(0.001);
    EXPECT_EQ(toolRuns(), checks + 1);

    harness.loop.advance(27.1);
    engine->startSession(encodableMap({{"durationMinutes", 1.0}}));  // at 30.1 s
    const int sweepsBefore = sweeps();
    const auto checksBefore = toolRuns();
    harness.loop.advance(3.0);
    EXPECT_EQ(sweeps(), sweepsBefore + 12);
    EXPECT_EQ(toolRuns(), checksBefore + 1);
    harness.loop.advance(56.999);  // 59.999 s after the second start
    EXPECT_TRUE(OrrindaleQuitProtection::blockingActive);
    harness.loop.advance(0.002);
    EXPECT_FALSE(entry<bool>(engine->blockingStatus(), "sessionActive"));
    EXPECT_FALSE(OrrindaleQuitProtection::blockingActive);
    const auto runsAfterTheEnd = tools.calls().size();
    const int sweepsAfterTheEnd = sweeps();
    harness.loop.advance(10.0);
    EXPECT_EQ(tools.calls().size(), runsAfterTheEnd);
    EXPECT_EQ(sweeps(), sweepsAfterTheEnd);
}

// Fault: the restore runs while quitting is still refused or a timer can still fire, or
// the server stops before the proxy points away from it.
TEST(SessionStopTest, ClearsTheFlagAndTimersBeforeTheRestoreAndStopsTheServerLast) {
    EngineHarness harness;
    cannedProxy(harness, true, true);
    ObservedRunLoop loop(harness.loop);
    harness.mainLoop = &loop;
    std::vector<std::string> duringTools;
    harness.toolRunner = std::make_shared<ObservingToolRunner>(harness.fakeTools, [&] {
        duringTools.push_back("quit refused " +
                              std::to_string(OrrindaleQuitProtection::blockingActive) +
                              ", timers " + std::to_string(loop.validTimers()) + ", server " +
                              harness.server->commands.back());
    });
    auto engine = harness.create();
    engine->startSession(encodableMap({{"durationMinutes", std::int32_t{1}}}));
    ASSERT_EQ(loop.validTimers(), 3);
    duringTools.clear();

    engine->stopSession();
    ASSERT_FALSE(duringTools.empty());
    EXPECT_EQ(duringTools, std::vector(duringTools.size(),
                                       std::string("quit refused 0, timers 0, server update")));
    EXPECT_EQ(harness.server->commands.back(), "stop");
}

// Fault: a duration that is not a positive whole number arms a timer, or one that is (of
// either integer width, or a double as a UI slider sends it) arms none.
TEST(SessionDurationTest, OnlyPositiveWholeNumbersArmTheSessionTimer) {
    const auto timersAfterStart = [](const EncodableValue& minutes) {
        EngineHarness harness;
        auto engine = harness.create();
        engine->applyConfiguration(webOff());
        engine->startSession(encodableMap({{"durationMinutes", minutes}}));
        return harness.loop.pendingCount();  // the sweep timer, plus the session's
    };
    for (const EncodableValue& minutes :
         {EncodableValue(), EncodableValue(std::int32_t{0}), EncodableValue(std::int32_t{-5}),
          EncodableValue("30"), EncodableValue(true), EncodableValue(25.5),
          EncodableValue(std::nan("")), EncodableValue(INFINITY), EncodableValue(0x1p63)}) {
        EXPECT_EQ(timersAfterStart(minutes), 1u);
    }
    for (const EncodableValue& armed : {EncodableValue(25.0), EncodableValue(std::int32_t{1}),
                                        EncodableValue(std::int64_t{1} << 40)}) {
        EXPECT_EQ(timersAfterStart(armed), 2u);
    }
}

// Fault: a timer or the observer outlives the engine and touches freed memory.
TEST_F(MacBlockingEngineTest, DestroyingTheEngineCancelsTimersAndObserver) {
    cannedProxy(harness, true, true);
    engine->startSession(encodableMap({{"durationMinutes", std::int32_t{1}}}));
    const auto runsBefore = tools.calls().size();
    engine.reset();
    EXPECT_EQ(harness.workspace->observerCount(), 0u);
    harness.loop.advance(120);
    EXPECT_EQ(tools.calls().size(), runsBefore);
}

// Fault: a configuration that ends web blocking mid-session leaves the proxy set or the
// watch running, or stops the server.
TEST_F(MacBlockingEngineTest, ConfigurationWithoutWebBlockingRestoresAndStopsTheWatch) {
    cannedProxy(harness, true, true);
    engine->startSession({});
    tools.clearCalls();
    engine->applyConfiguration(webOff());
    EXPECT_EQ(tools.calls().front(), (Call{harness.networksetupPath, {"-listallnetworkservices"}}));
    tools.clearCalls();
    harness.loop.advance(6.0);
    EXPECT_TRUE(tools.calls().empty());
    EXPECT_TRUE(server.running);
}

// Fault: an exception, the host itself, init, a copy elsewhere or an unidentified process
// gets closed, or a listed application is spared.
TEST(AppBlockerRulesTest, ClosesExactlyTheBlockedApplicationsThatAreNotExcepted) {
    const std::string game = "com.example.game";
    const std::string path = "/Apps/Game.app";
    const struct {
        const char* name;
        std::optional<std::string> identifier, path;
        std::int32_t pid;
        EncodableList blocked, exceptions;
        bool closed;
    } rows[] = {
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
        engine->applyConfiguration(
            encodableMap({{"blockedApps", row.blocked}, {"exceptionApps", row.exceptions}}));
        auto application =
            std::make_shared<FakeRunningApplication>(row.identifier, row.path, row.pid);

        EXPECT_EQ(engine->terminateIfBlocked(application), row.closed);
        harness.loop.advance(1.0);
        const std::vector<Request> closing = {Request::terminate, Request::forceTerminate,
                                              Request::kill};
        EXPECT_EQ(application->requests(), row.closed ? closing : std::vector<Request>{});
    }
}

// Fault: the kill is sent before 0.15 s, not at all, or to an application that has ended.
TEST_F(MacBlockingEngineTest, KillsOnlyWhatIsStillRunningAfterTheDelay) {
    engine->applyConfiguration(webOff({"com.example.game"}));
    auto stubborn = game();
    ASSERT_TRUE(engine->terminateIfBlocked(stubborn));
    harness.loop.advance(0.149);
    EXPECT_EQ(stubborn->count(Request::kill), 0);
    harness.loop.advance(0.001);
    EXPECT_EQ(stubborn->count(Request::kill), 1);
    auto quitting = game();
    ASSERT_TRUE(engine->terminateIfBlocked(quitting));
    quitting->setTerminated(true);
    harness.loop.advance(0.15);
    EXPECT_EQ(quitting->count(Request::kill), 0);
}

// Fault: every relaunch is counted, the cooldown never ends, notifications act outside a
// session (or crash without an application), the web count is left out, or a new session
// inherits the last one's counts and cooldowns while stopping erases them.
TEST_F(MacBlockingEngineTest, LaunchesAreClosedInASessionAndCountedOncePerTwoSeconds) {
    engine->applyConfiguration(webOff({"com.example.game"}));
    auto idle = game();
    harness.workspace->postLaunch(idle);
    EXPECT_TRUE(idle->requests().empty());

    engine->startSession({});
    harness.workspace->postLaunch(nullptr);
    std::vector<std::shared_ptr<FakeRunningApplication>> launches;
    for (int i = 0; i < 3; ++i) {
        launches.push_back(game());
        harness.workspace->postLaunch(launches.back());
        harness.loop.advance(0.5);
    }
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
    for (const auto& launch : launches) {
        EXPECT_EQ(launch->count(Request::forceTerminate), 1);
    }
    harness.loop.advance(0.499);  // 1.999 s after the counted launch
    harness.workspace->postActivation(game());
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
    harness.loop.advance(0.002);  // past 2 s (the clock truncates each step to whole ns)
    harness.workspace->postActivation(game());
    EXPECT_EQ(engine->blockedAttemptCount(), 2);

    server.requestCount = 4;
    EXPECT_EQ(entry<std::int64_t>(engine->blockingStatus(), "blockedAttemptCount"), 6);

    engine->stopSession();
    auto after = game();
    harness.workspace->postLaunch(after);
    EXPECT_TRUE(after->requests().empty());
    EXPECT_EQ(engine->blockedAttemptCount(), 6);
    engine->startSession({});  // within the cooldown of the last counted launch
    EXPECT_EQ(engine->blockedAttemptCount(), 0);
    harness.workspace->postLaunch(game());
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
}

// Fault: the sweep miscounts, closes what is not listed, lets an application that ignores
// the requests escape later ticks, or counts each repeated close.
TEST_F(MacBlockingEngineTest, SweepClosesEveryRunningBlockedApplicationOnEachTick) {
    engine->applyConfiguration(webOff({"com.example.game", "/Apps/Chat.app"}));
    auto lingering = harness.workspace->launch("com.example.game", "/Apps/Game.app");
    auto chat = harness.workspace->launch("com.example.chat", "/Apps/Chat.app");
    auto editor = harness.workspace->launch("com.example.editor", "/Apps/Editor.app");
    chat->setQuitsOnRequest(true);

    EXPECT_EQ(entry<std::int64_t>(engine->startSession({}), "closedAppCount"), 2);
    harness.loop.advance(1.0);
    EXPECT_EQ(lingering->count(Request::forceTerminate), 5);  // start-up sweep and four ticks
    EXPECT_EQ(chat->requests(), (std::vector{Request::terminate, Request::forceTerminate}));
    EXPECT_TRUE(editor->requests().empty());
    EXPECT_EQ(engine->blockedAttemptCount(), 2);

    lingering->setTerminated(true);
    EXPECT_EQ(engine->sweepRunningApplications(), 0);
}

}  // namespace
}  // namespace kestralune::blocking_test
