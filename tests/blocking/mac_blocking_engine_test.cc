#include "blocking/mac_blocking_engine.h"

#include "blockserver/domain_rules.h"
#include "tests/blocking/engine_test_doubles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace kestralune::blocking_test {
namespace {

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

std::vector<std::string> sortedAlwaysAllowed(std::set<std::string> extra = {}) {
    extra.insert(alwaysAllowedDomains().begin(), alwaysAllowedDomains().end());
    return {extra.begin(), extra.end()};
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

class MacBlockingEngineTest : public ::testing::Test {
  protected:
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
    EXPECT_EQ(server.exceptionDomains, defaultExceptionDomainList());

    const std::string allowed(alwaysAllowedDomains().front());
    engine->applyConfiguration(encodableMap({
        {"blockedDomains",
         EncodableList{" Example.COM ", "example.com", "", "*", std::int32_t{7}, allowed}},
        {"exceptionDomains", EncodableList{" News.Example.ORG\n", "*", allowed}},
        {"allWebsitesBlocked", "false"},
    }));
    EXPECT_EQ(server.blockedDomains, std::vector<std::string>{"example.com"});
    EXPECT_EQ(server.exceptionDomains, sortedAlwaysAllowed({"news.example.org"}));
    EXPECT_TRUE(server.allWebsitesBlocked);

    engine->applyConfiguration(encodableMap({{"exceptionDomains", "a.example"}}));
    EXPECT_EQ(server.exceptionDomains, sortedAlwaysAllowed());
    EXPECT_TRUE(server.blockedDomains.empty());
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
// one by one) or looks in the wrong suite, also without a bundle identifier; a suite that
// cannot be opened crashes the engine.
TEST_F(MacBlockingEngineTest, WritesWebRulesToTheSharedSuiteInOneWrite) {
    engine->applyConfiguration(
        encodableMap({{"allWebsitesBlocked", false},
                      {"blockedDomains", EncodableList{"b.example", "a.example"}}}));
    const auto& suite = harness.suites.at("group.com.example.host");
    const auto exceptions = sortedAlwaysAllowed();
    EXPECT_EQ(suite->values,
              (PlistValue::Dictionary{
                  {"allWebsitesBlocked", false},
                  {"blockedDomains", PlistValue::Array{"a.example", "b.example"}},
                  {"exceptionDomains", PlistValue::Array(exceptions.begin(), exceptions.end())}}));
    EXPECT_EQ(suite->writes, 1);

    EngineHarness unnamed;
    unnamed.ownIdentifier.reset();
    unnamed.suitesAvailable = false;
    unnamed.create()->applyConfiguration({});
    EXPECT_EQ(unnamed.openedSuites, std::vector<std::string>{"group.com.orrindale.app"});
}

// Fault: a summary branch deviates from its sentence; a flag of the report or the status
// disagrees; a failed apply goes unlogged; quitting is allowed because the proxy failed; a
// session or status query without web blocking runs a proxy tool; missing trust is asked for
// while idle, or not by a start or a configuration change during the session.
TEST(SessionReportTest, ReportAndStatusFollowTheOutcome) {
    const std::string manual =
        " not verified. Set http://127.0.0.1:18081/proxy.pac manually in macOS network settings";
    using Mode = FakeAccessibility::Mode;
    const struct {
        int apps, sites;
        bool allBlocked, applyWorks, verifyWorks;
        Mode trust;
        int prompts;
        std::string summary;
    } rows[] = {
        {2, 0, true, true, true, Mode::trusted, 0,
         "2 blocked app(s) monitored, web fallback proxy active, accessibility on."},
        {0, 0, true, false, false, Mode::untrusted, 2,
         "No blocked apps selected, web fallback proxy" + manual +
             ", accessibility needs approval."},
        {1, 2, false, true, true, Mode::grantedOnPrompt, 1,
         "1 blocked app(s) monitored, 2 listed website(s) blocked, accessibility on."},
        {1, 1, false, false, true, Mode::trusted, 0,
         "1 blocked app(s) monitored, listed website blocking" + manual + ", accessibility on."},
        {3, 0, false, true, true, Mode::untrusted, 2,
         "3 blocked app(s) monitored, web blocking off, accessibility needs approval."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.summary);
        EngineHarness harness;
        cannedProxy(harness, row.applyWorks, row.verifyWorks);
        harness.accessibility->setMode(row.trust);
        auto engine = harness.create();
        LogCapture log;
        const auto configuration = encodableMap({{"blockedApps", names(row.apps)},
                                                 {"allWebsitesBlocked", row.allBlocked},
                                                 {"blockedDomains", names(row.sites)}});
        engine->applyConfiguration(configuration);

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
        engine->applyConfiguration(configuration);
        EXPECT_EQ(harness.accessibility->promptCount(), row.prompts);
    }
}

// Fault: commands reach the server in another order, so a reset or update is lost; a
// configuration that ends web blocking mid-session leaves the proxy set or the watch running,
// or stops the server; at the end the server stops before the proxy points away from it, or
// the restore runs while quitting is still refused.
TEST_F(MacBlockingEngineTest, ServerFollowsCallOrderAndStopsOnlyAfterTheRestore) {
    cannedProxy(harness, true, false);
    engine->applyConfiguration({});
    engine->startSession({});
    engine->applyConfiguration({});
    harness.loop.advance(3.0);  // the watch tick restarts a stopped server
    tools.clearCalls();
    engine->applyConfiguration(webOff());
    EXPECT_EQ(tools.calls().front(),
              (FakeToolRunner::Call{harness.networksetupPath, {"-listallnetworkservices"}}));
    tools.clearCalls();
    harness.loop.advance(6.0);
    EXPECT_TRUE(tools.calls().empty());

    std::set<std::string> seenByTools;
    tools.onRun = [&] {
        seenByTools.insert("quit refused " +
                           std::to_string(OrrindaleQuitProtection::blockingActive) + ", server " +
                           server.commands.back());
    };
    engine->stopSession();
    EXPECT_EQ(seenByTools, std::set<std::string>{"quit refused 0, server update"});
    EXPECT_EQ(server.commands,
              (std::vector<std::string>{"update", "resetBlockedRequests", "start", "update",
                                        "update", "start", "start", "update", "stop"}));
}

// Fault: the launch monitor polls the process table during a session with nothing to
// close, or misses a change of rules, a start or a stop; a timer or the observer outlives
// the engine and touches freed memory.
TEST_F(MacBlockingEngineTest, LaunchMonitorRunsOnlyWhileASessionBlocksApplications) {
    const auto apps = webOff({"com.example.game"});
    const std::pair<std::function<void()>, bool> steps[] = {
        {[&] { engine->applyConfiguration(apps); }, false},  // idle
        {[&] { engine->startSession({}); }, true},
        {[&] { engine->applyConfiguration(webOff()); }, false},
        {[&] { engine->startSession({}); }, false},
        {[&] { engine->applyConfiguration(apps); }, true},
        {[&] { engine->stopSession(); }, false},
        {[&] {
             engine->startSession(encodableMap({{"durationMinutes", std::int32_t{1}}}));
         },
         true},
        {[&] { engine.reset(); }, false},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        EXPECT_EQ(harness.workspace->launchMonitoringEnabled(), steps[i].second) << "step " << i;
    }
    EXPECT_EQ(harness.workspace->observerCount(), 0u);
    const int sweepsBefore = sweeps();
    harness.loop.advance(120);  // past the sweep period and the session's end
    EXPECT_EQ(sweeps(), sweepsBefore);
}

// Fault: the sweep or the watch runs off its period; a second start leaves the first
// session's timers running or keeps its deadline; a timed end leaves quitting refused or a
// timer running.
TEST_F(MacBlockingEngineTest, TimersKeepTheirPeriodsAndASecondStartReplacesThem) {
    cannedProxy(harness, true, true);
    engine->applyConfiguration(encodableMap({{"blockedApps", EncodableList{"com.example.game"}}}));
    const auto oneMinute = encodableMap({{"durationMinutes", std::int32_t{1}}});
    // Sweeps and tool runs; with the proxy verified, a watch tick runs only the scutil check.
    const auto ticks = [&] { return std::pair(sweeps(), tools.calls().size()); };
    engine->startSession(oneMinute);
    auto before = ticks();
    harness.loop.advance(2.999);
    EXPECT_EQ(ticks(), std::pair(before.first + 11, before.second));
    harness.loop.advance(0.001);
    EXPECT_EQ(ticks().second, before.second + 1);

    harness.loop.advance(27.1);
    engine->startSession(oneMinute);  // at 30.1 s
    before = ticks();
    harness.loop.advance(59.999);
    EXPECT_EQ(ticks(), std::pair(before.first + 239, before.second + 19));
    harness.loop.advance(0.002);
    EXPECT_FALSE(OrrindaleQuitProtection::blockingActive);
    before = ticks();
    harness.loop.advance(10.0);
    EXPECT_EQ(ticks(), before);
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

// Fault: an exception, the host itself, init, a copy elsewhere or an unidentified process
// gets closed, or a listed application is spared; the kill comes before 0.15 s or not at all.
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
        harness.loop.advance(0.149);
        EXPECT_EQ(application->count(Request::kill), 0);
        harness.loop.advance(0.001);
        const std::vector<Request> closing = {Request::terminate, Request::forceTerminate,
                                              Request::kill};
        EXPECT_EQ(application->requests(), row.closed ? closing : std::vector<Request>{});
    }
}

// Fault: every relaunch is counted, the cooldown never ends, notifications act outside a
// session (or crash without an application), the web count is left out, or a new session
// inherits the last one's counts and cooldowns while stopping erases them.
TEST_F(MacBlockingEngineTest, LaunchesAreClosedInASessionAndCountedOncePerTwoSeconds) {
    engine->applyConfiguration(webOff({"com.example.game"}));
    engine->startSession({});
    harness.workspace->postLaunch(nullptr);
    for (int i = 0; i < 3; ++i) {  // at 0, 0.5 and 1 s
        auto launch = game();
        harness.workspace->postLaunch(launch);
        EXPECT_EQ(launch->count(Request::forceTerminate), 1);
        harness.loop.advance(0.5);
    }
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
    harness.loop.advance(0.499);  // 1.999 s after the counted launch
    harness.workspace->postActivation(game());
    EXPECT_EQ(engine->blockedAttemptCount(), 1);
    harness.loop.advance(0.002);  // past 2 s
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
}

}  // namespace
}  // namespace kestralune::blocking_test
