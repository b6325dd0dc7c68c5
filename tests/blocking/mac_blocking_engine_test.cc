#include "blocking/mac_blocking_engine.h"

#include "blockserver/domain_rules.h"
#include "host/quit_protection.h"
#include "platform/testing/fake_tool_runner.h"
#include "tests/blocking/engine_test_doubles.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestralune::blocking_test {
namespace {

constexpr const char* kListing =
    "An asterisk (*) denotes that a network service is disabled.\nWi-Fi\n";
constexpr const char* kVerified =
    "<dictionary> {\n  ProxyAutoConfigEnable : 1\n"
    "  ProxyAutoConfigURLString : http://127.0.0.1:18081/proxy.pac\n}\n";
constexpr const char* kNotVerified = "<dictionary> {\n  ProxyAutoConfigEnable : 0\n}\n";
constexpr const char* kApplyFailedLine =
    "Kestralune could not update macOS proxy settings automatically. Use "
    "http://127.0.0.1:18081/proxy.pac as the automatic proxy configuration URL.";

std::vector<std::string> sortedAlwaysAllowed() {
    std::vector<std::string> domains(alwaysAllowedDomains().begin(), alwaysAllowedDomains().end());
    std::sort(domains.begin(), domains.end());
    domains.erase(std::unique(domains.begin(), domains.end()), domains.end());
    return domains;
}

// One service "Wi-Fi"; the set commands and scutil answer as asked.
void cannedProxy(EngineHarness& harness, bool applyWorks, bool verifyWorks) {
    auto& tools = *harness.fakeTools;
    const auto& ns = harness.networksetupPath;
    tools.setResult(ns, {"-listallnetworkservices"}, {0, kListing});
    tools.setResult(ns, {"-getautoproxyurl", "Wi-Fi"}, {0, "URL: (null)\nEnabled: No\n"});
    tools.setResult(ns, {"-setautoproxyurl", "Wi-Fi", kProxyAutoConfigUrl}, {0, ""});
    tools.setResult(ns, {"-setautoproxystate", "Wi-Fi", "on"},
                    {0, applyWorks ? "" : "** Error: Unable to commit changes."});
    tools.setResult(ns, {"-setautoproxystate", "Wi-Fi", "off"}, {0, ""});
    tools.setResult(harness.scutilPath, {"--proxy"}, {0, verifyWorks ? kVerified : kNotVerified});
}

class MacBlockingEngineTest : public ::testing::Test {
  protected:
    ~MacBlockingEngineTest() override { OrrindaleQuitProtection::blockingActive = false; }

    void cannedProxy(bool applyWorks, bool verifyWorks) {
        blocking_test::cannedProxy(harness, applyWorks, verifyWorks);
    }
    int runs(const std::string& path) const {
        return static_cast<int>(std::count_if(tools->calls().begin(), tools->calls().end(),
                                              [&](const auto& call) { return call.path == path; }));
    }
    int proxyToolRuns() const { return runs(harness.networksetupPath) + runs(harness.scutilPath); }

    EngineHarness harness;
    std::shared_ptr<FakeToolRunner> tools = harness.fakeTools;
};

EncodableMap webOff() {
    return encodableMap({{"allWebsitesBlocked", false}});
}

// Fault: the engine starts from the wrong lists, or keeps an always-allowed domain out.
TEST_F(MacBlockingEngineTest, EmptyConfigurationBlocksAllWebsitesWithAlwaysAllowedExceptions) {
    auto engine = harness.create();
    engine->applyConfiguration({});

    ASSERT_TRUE(harness.server->lastUpdate);
    EXPECT_EQ(harness.server->lastUpdate->exceptionDomains, sortedAlwaysAllowed());
    EXPECT_TRUE(harness.server->lastUpdate->blockedDomains.empty());
    EXPECT_TRUE(harness.server->lastUpdate->allWebsitesBlocked);
    EXPECT_TRUE(engine->webBlockingRequired());
}

// Fault: a session started before any configuration uses other exceptions than the defaults.
TEST_F(MacBlockingEngineTest, SessionBeforeAnyConfigurationUsesDefaultExceptions) {
    auto engine = harness.create();
    engine->startSession({});
    ASSERT_TRUE(harness.server->lastUpdate);
    EXPECT_EQ(harness.server->lastUpdate->exceptionDomains, defaultExceptionDomainList());
}

// Fault: a non-Boolean flag is read as false (or as its truthiness).
TEST_F(MacBlockingEngineTest, AllWebsitesBlockedTakesOnlyBooleans) {
    const std::vector<std::pair<EncodableMap, bool>> rows = {
        {{}, true},
        {encodableMap({{"allWebsitesBlocked", "false"}}), true},
        {encodableMap({{"allWebsitesBlocked", std::int32_t{0}}}), true},
        {encodableMap({{"allWebsitesBlocked", false}}), false},
        {encodableMap({{"allWebsitesBlocked", true}}), true},
    };
    auto engine = harness.create();
    for (const auto& [configuration, expected] : rows) {
        engine->applyConfiguration(configuration);
        EXPECT_EQ(entry<bool>(engine->blockingStatus(), "allWebsitesBlocked"), expected);
    }
}

// Fault: rules are not trimmed, lower-cased, de-duplicated, or an always-allowed domain
// stays blocked.
TEST_F(MacBlockingEngineTest, WebsiteRulesAreNormalisedAndAlwaysAllowedNeverBlocked) {
    const std::string allowed(alwaysAllowedDomains().front());
    auto engine = harness.create();
    engine->applyConfiguration(encodableMap({
        {"blockedDomains",
         EncodableList{" Example.COM ", "example.com", "", "*", std::int32_t{7}, allowed}},
        {"exceptionDomains", EncodableList{" News.Example.ORG\n", "*", allowed}},
    }));

    auto expectedExceptions = sortedAlwaysAllowed();
    expectedExceptions.push_back("news.example.org");
    std::sort(expectedExceptions.begin(), expectedExceptions.end());
    ASSERT_TRUE(harness.server->lastUpdate);
    EXPECT_EQ(harness.server->lastUpdate->blockedDomains, std::vector<std::string>{"example.com"});
    EXPECT_EQ(harness.server->lastUpdate->exceptionDomains, expectedExceptions);
    EXPECT_EQ(entry<std::int64_t>(engine->blockingStatus(), "blockedDomainCount"), 1);

    engine->applyConfiguration(encodableMap({{"exceptionDomains", "example.org"}}));
    EXPECT_EQ(harness.server->lastUpdate->exceptionDomains, sortedAlwaysAllowed());
}

// Fault: application entries are decoded from the wrong keys, lose or change case, or keep
// blanks.
TEST_F(MacBlockingEngineTest, ApplicationEntriesContributeTrimmedStringsOnly) {
    const std::vector<std::pair<EncodableValue, std::int64_t>> rows = {
        {EncodableList{encodableMap({{"bundleIdentifier", " com.example.x\n"}, {"path", ""}}),
                       std::int32_t{5}},
         1},
        {EncodableList{encodableMap(
             {{"bundleIdentifier", "com.example.x"}, {"path", "/Applications/X.app"}})},
         2},
        {EncodableList{encodableMap({{"name", "X"}, {"id", std::int32_t{3}}})}, 0},
        {EncodableList{"Com.Example.X", "com.example.x", " "}, 2},
        {EncodableList{encodableMap({{"id", "a"}, {"bundleIdentifier", "a"}})}, 1},
        {EncodableValue("com.example.x"), 0},
    };
    auto engine = harness.create();
    for (const auto& [apps, expected] : rows) {
        auto configuration = webOff();
        configuration[EncodableValue("blockedApps")] = apps;
        engine->applyConfiguration(configuration);
        EXPECT_EQ(entry<std::int64_t>(engine->startSession({}), "blockedAppCount"), expected);
    }
}

// Fault: the network filter reads stale rules or looks in the wrong suite.
TEST_F(MacBlockingEngineTest, WritesWebRulesToTheSharedSuite) {
    auto engine = harness.create();
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
    EXPECT_EQ(suite->synchronizeCount, 1);
}

// Fault: no fallback suite without a bundle identifier, or a crash when it cannot be opened.
TEST_F(MacBlockingEngineTest, SharedSuiteFallsBackAndToleratesUnavailableSuite) {
    harness.ownIdentifier.reset();
    harness.suitesAvailable = false;
    auto engine = harness.create();
    engine->applyConfiguration({});
    EXPECT_EQ(harness.openedSuites, std::vector<std::string>{"group.com.orrindale.app"});
    EXPECT_TRUE(harness.suites.empty());
}

struct SummaryRow {
    int apps;
    bool allBlocked;
    int listedSites;
    bool applyWorks;
    bool verifyWorks;
    bool trusted;
    bool grantOnPrompt;
    const char* summary;
    bool proxyApplied;
    bool proxyVerified;
};

// Fault: any summary branch deviates from its sentence, or a flag disagrees with it.
TEST(MacBlockingEngineSummaryTest, SummaryNamesEveryBranch) {
    const SummaryRow rows[] = {
        {2, true, 0, true, true, true, false,
         "Blocking active: 2 blocked app(s) monitored, web fallback proxy active, accessibility "
         "on.",
         true, true},
        {0, true, 0, true, true, true, false,
         "Blocking active: No blocked apps selected, web fallback proxy active, accessibility on.",
         true, true},
        {0, true, 0, false, false, false, false,
         "Blocking active: No blocked apps selected, web fallback proxy not verified. Set "
         "http://127.0.0.1:18081/proxy.pac manually in macOS network settings, accessibility "
         "needs approval.",
         false, false},
        {1, true, 0, true, false, false, true,
         "Blocking active: 1 blocked app(s) monitored, web fallback proxy not verified. Set "
         "http://127.0.0.1:18081/proxy.pac manually in macOS network settings, accessibility on.",
         true, false},
        {1, false, 2, true, true, true, false,
         "Blocking active: 1 blocked app(s) monitored, 2 listed website(s) blocked, accessibility "
         "on.",
         true, true},
        {1, false, 2, false, true, true, false,
         "Blocking active: 1 blocked app(s) monitored, listed website blocking not verified. Set "
         "http://127.0.0.1:18081/proxy.pac manually in macOS network settings, accessibility on.",
         false, true},
        {3, false, 0, true, true, false, false,
         "Blocking active: 3 blocked app(s) monitored, web blocking off, accessibility needs "
         "approval.",
         false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.summary);
        EngineHarness fresh;
        blocking_test::cannedProxy(fresh, row.applyWorks, row.verifyWorks);
        fresh.accessibility->setMode(row.trusted         ? FakeAccessibility::Mode::trusted
                                     : row.grantOnPrompt ? FakeAccessibility::Mode::grantedOnPrompt
                                                         : FakeAccessibility::Mode::untrusted);
        auto engine = fresh.create();
        EncodableList apps;
        for (int i = 0; i < row.apps; ++i) {
            apps.push_back("com.example.app" + std::to_string(i));
        }
        EncodableList sites;
        for (int i = 0; i < row.listedSites; ++i) {
            sites.push_back("site" + std::to_string(i) + ".example");
        }
        engine->applyConfiguration(encodableMap({{"blockedApps", apps},
                                                 {"allWebsitesBlocked", row.allBlocked},
                                                 {"blockedDomains", sites}}));

        const auto report = engine->startSession({});
        EXPECT_EQ(report.size(), 9u);
        EXPECT_TRUE(entry<bool>(report, "started"));
        EXPECT_EQ(entry<std::string>(report, "engine"), "macos-local-pac-and-app-monitor");
        EXPECT_EQ(entry<std::string>(report, "summary"), row.summary);
        EXPECT_EQ(entry<bool>(report, "proxyApplied"), row.proxyApplied);
        EXPECT_EQ(entry<bool>(report, "proxyVerified"), row.proxyVerified);
        EXPECT_EQ(entry<bool>(report, "allWebsitesBlocked"), row.allBlocked);
        EXPECT_EQ(entry<bool>(report, "accessibilityTrusted"), row.trusted || row.grantOnPrompt);
        EXPECT_EQ(entry<std::int64_t>(report, "blockedAppCount"), row.apps);
        EXPECT_EQ(entry<std::int64_t>(report, "closedAppCount"), 0);
        engine->stopSession();
    }
}

// Fault: missing trust is not asked for, or reported as granted.
TEST_F(MacBlockingEngineTest, UntrustedProcessIsAskedAndReportedAsNeedingApproval) {
    harness.accessibility->setMode(FakeAccessibility::Mode::untrusted);
    auto engine = harness.create();
    engine->applyConfiguration(webOff());
    EXPECT_EQ(harness.accessibility->promptCount(), 0);  // idle: nothing asked

    const auto report = engine->startSession({});
    EXPECT_FALSE(entry<bool>(report, "accessibilityTrusted"));
    EXPECT_NE(entry<std::string>(report, "summary").find("accessibility needs approval."),
              std::string::npos);
    EXPECT_EQ(harness.accessibility->promptCount(), 1);

    engine->applyConfiguration(webOff());
    EXPECT_EQ(harness.accessibility->promptCount(), 2);
}

// Fault: commands reach the server in another order, so a reset or update is lost.
TEST_F(MacBlockingEngineTest, ServerCommandsFollowCallOrder) {
    cannedProxy(true, false);
    auto engine = harness.create();
    auto& commands = harness.server->commands;

    engine->applyConfiguration({});
    EXPECT_EQ(commands, (std::vector<std::string>{"update"}));
    commands.clear();

    engine->startSession({});
    EXPECT_EQ(commands, (std::vector<std::string>{"resetBlockedRequests", "start", "update"}));
    commands.clear();

    engine->applyConfiguration({});
    EXPECT_EQ(commands, (std::vector<std::string>{"update", "start"}));
    commands.clear();

    harness.loop.advance(3.0);  // the watch tick restarts a stopped server
    EXPECT_EQ(commands, (std::vector<std::string>{"start"}));
    commands.clear();

    engine->stopSession();
    EXPECT_EQ(commands, (std::vector<std::string>{"stop"}));
}

// Fault: the status query runs a tool although no web blocking is required.
TEST_F(MacBlockingEngineTest, StatusRunsTheVerificationToolOnlyWhenWebBlockingIsRequired) {
    cannedProxy(true, true);
    auto engine = harness.create();

    engine->applyConfiguration(webOff());
    auto status = engine->blockingStatus();
    EXPECT_EQ(status.size(), 7u);
    EXPECT_EQ(proxyToolRuns(), 0);
    EXPECT_FALSE(entry<bool>(status, "proxyVerified"));
    EXPECT_FALSE(entry<bool>(status, "webBlockingRequired"));

    engine->applyConfiguration(encodableMap(
        {{"allWebsitesBlocked", false}, {"blockedDomains", EncodableList{"x.example"}}}));
    status = engine->blockingStatus();
    EXPECT_EQ(proxyToolRuns(), 1);
    EXPECT_EQ(runs(harness.scutilPath), 1);
    EXPECT_TRUE(entry<bool>(status, "proxyVerified"));
    EXPECT_TRUE(entry<bool>(status, "webBlockingRequired"));
    EXPECT_FALSE(entry<bool>(status, "sessionActive"));
    EXPECT_FALSE(entry<bool>(status, "serverRunning"));
}

// Fault: the web count of the server is left out of the attempt count.
TEST_F(MacBlockingEngineTest, AttemptCountAddsTheServersWebCount) {
    auto engine = harness.create();
    engine->applyConfiguration(webOff());
    engine->startSession({});
    engine->recordBlockedAppAttempt("com.example.x");
    harness.server->requestCount = 4;
    EXPECT_EQ(engine->blockedAttemptCount(), 5);
    EXPECT_EQ(entry<std::int64_t>(engine->blockingStatus(), "blockedAttemptCount"), 5);
    EXPECT_TRUE(entry<bool>(engine->blockingStatus(), "serverRunning"));
}

// Fault: the quit flag is not set when the rest of the start fails, or not cleared.
TEST_F(MacBlockingEngineTest, QuitFlagFollowsTheSessionEvenWhenTheProxyFails) {
    auto engine = harness.create();  // no tool answers: everything about the proxy fails
    LogCapture log;
    engine->startSession({});
    EXPECT_TRUE(OrrindaleQuitProtection::blockingActive);
    EXPECT_EQ(log.count(kApplyFailedLine), 1);
    engine->stopSession();
    EXPECT_FALSE(OrrindaleQuitProtection::blockingActive);
}

// Fault: a session without web blocking touches the proxy or logs the apply failure.
TEST_F(MacBlockingEngineTest, SessionWithoutWebBlockingLeavesTheProxyAlone) {
    auto engine = harness.create();
    engine->applyConfiguration(webOff());
    LogCapture log;
    const auto report = engine->startSession({});
    harness.loop.advance(3.0);
    EXPECT_EQ(proxyToolRuns(), 0);
    EXPECT_EQ(log.count(kApplyFailedLine), 0);
    EXPECT_FALSE(entry<bool>(report, "proxyApplied"));
    EXPECT_FALSE(entry<bool>(report, "proxyVerified"));
}

// Fault: the sweep fires early or late, or keeps running after the session.
TEST_F(MacBlockingEngineTest, SweepRunsEveryQuarterSecondDuringTheSessionOnly) {
    auto engine = harness.create();
    auto configuration = webOff();
    configuration[EncodableValue("blockedApps")] = EncodableList{"com.example.blocked"};
    engine->applyConfiguration(configuration);
    engine->startSession({});
    EXPECT_EQ(harness.workspace->runningApplicationsCallCount(), 1);  // the start-up sweep
    EXPECT_TRUE(harness.workspace->launchMonitoringEnabled());

    harness.loop.advance(0.249);
    EXPECT_EQ(harness.workspace->runningApplicationsCallCount(), 1);
    harness.loop.advance(0.001);
    EXPECT_EQ(harness.workspace->runningApplicationsCallCount(), 2);
    harness.loop.advance(0.75);
    EXPECT_EQ(harness.workspace->runningApplicationsCallCount(), 5);

    engine->stopSession();
    EXPECT_FALSE(harness.workspace->launchMonitoringEnabled());
    harness.loop.advance(10);
    EXPECT_EQ(harness.workspace->runningApplicationsCallCount(), 5);
}

// Fault: the watch checks at the wrong period or never re-applies.
TEST_F(MacBlockingEngineTest, WatchVerifiesEveryThreeSecondsAndReappliesOnFailure) {
    cannedProxy(true, true);
    auto engine = harness.create();
    engine->startSession({});
    const int afterStart = runs(harness.scutilPath);
    const int listingsAfterStart = static_cast<int>(
        std::count(tools->calls().begin(), tools->calls().end(),
                   FakeToolRunner::Call{harness.networksetupPath, {"-listallnetworkservices"}}));

    harness.loop.advance(2.999);
    EXPECT_EQ(runs(harness.scutilPath), afterStart);
    harness.loop.advance(0.001);
    EXPECT_EQ(runs(harness.scutilPath), afterStart + 1);

    cannedProxy(true, false);  // the system stops naming the PAC URL
    harness.loop.advance(3.0);
    EXPECT_EQ(runs(harness.scutilPath), afterStart + 2);
    EXPECT_EQ(
        std::count(tools->calls().begin(), tools->calls().end(),
                   FakeToolRunner::Call{harness.networksetupPath, {"-listallnetworkservices"}}),
        listingsAfterStart + 1);
}

// Fault: the session timer is off by a factor, or its end leaves the quit flag set.
TEST_F(MacBlockingEngineTest, ThirtyMinuteSessionEndsAtEighteenHundredSeconds) {
    auto engine = harness.create();
    engine->applyConfiguration(webOff());
    engine->startSession(encodableMap({{"durationMinutes", std::int32_t{30}}}));

    harness.loop.advance(1799.999);
    EXPECT_TRUE(entry<bool>(engine->blockingStatus(), "sessionActive"));
    EXPECT_TRUE(OrrindaleQuitProtection::blockingActive);
    harness.loop.advance(0.001);
    EXPECT_FALSE(entry<bool>(engine->blockingStatus(), "sessionActive"));
    EXPECT_FALSE(OrrindaleQuitProtection::blockingActive);
    EXPECT_EQ(harness.server->commands.back(), "stop");
}

// Fault: a non-positive or non-integer duration still arms a timer.
TEST_F(MacBlockingEngineTest, OnlyPositiveIntegerDurationsArmTheSessionTimer) {
    const std::vector<std::pair<EncodableMap, std::size_t>> rows = {
        {{}, 1},
        {encodableMap({{"durationMinutes", std::int32_t{0}}}), 1},
        {encodableMap({{"durationMinutes", std::int32_t{-5}}}), 1},
        {encodableMap({{"durationMinutes", "30"}}), 1},
        {encodableMap({{"durationMinutes", 30.0}}), 1},
        {encodableMap({{"durationMinutes", std::int64_t{1} << 40}}), 2},
        {encodableMap({{"durationMinutes", std::int32_t{1}}}), 2},
    };
    for (const auto& [arguments, pending] : rows) {
        EngineHarness fresh;
        auto engine = fresh.create();
        engine->applyConfiguration(webOff());
        engine->startSession(arguments);
        EXPECT_EQ(fresh.loop.pendingCount(), pending);  // the sweep timer, plus the session's
    }
}

// Fault: a timer or the observer outlives the engine and touches freed memory.
TEST_F(MacBlockingEngineTest, DestroyingTheEngineCancelsTimersAndObserver) {
    cannedProxy(true, true);
    auto engine = harness.create();
    engine->startSession(encodableMap({{"durationMinutes", std::int32_t{1}}}));
    const auto runsBefore = tools->calls().size();
    engine.reset();

    EXPECT_TRUE(harness.workspace->observerCount() == 0);
    EXPECT_FALSE(harness.workspace->launchMonitoringEnabled());
    harness.loop.advance(120);
    EXPECT_EQ(tools->calls().size(), runsBefore);
}

// Fault: a configuration that ends web blocking mid-session leaves the proxy set or the
// watch running.
TEST_F(MacBlockingEngineTest, ConfigurationWithoutWebBlockingRestoresAndStopsTheWatch) {
    cannedProxy(true, true);
    auto engine = harness.create();
    engine->startSession({});
    tools->clearCalls();

    engine->applyConfiguration(webOff());
    EXPECT_EQ(tools->calls().front(),
              (FakeToolRunner::Call{harness.networksetupPath, {"-listallnetworkservices"}}));
    tools->clearCalls();
    harness.loop.advance(6.0);
    EXPECT_EQ(runs(harness.scutilPath), 0);
    EXPECT_TRUE(harness.server->running);  // the server keeps running
}

}  // namespace
}  // namespace kestralune::blocking_test
