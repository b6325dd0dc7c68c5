#include "host/blocking_channel_handler.h"

#include "host/main_flutter_window.h"
#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

namespace kestralune::host_test {
namespace {

namespace fs = std::filesystem;

class BlockingChannelTest : public FakeEngineHostTest {};

// A row that this build leaves to later work must not reach the engine or answer anything
// but not-implemented.
TEST_F(BlockingChannelTest, RowsOfLaterFeaturesAnswerNotImplemented) {
    for (const char* method :
         {"syncPushAlertSchedule", "getBackgroundSchedulerStatus", "enableBackgroundScheduler",
          "openBackgroundSchedulerSettings", "syncBackgroundSchedule", "normalizeProfilePhoto",
          "pickProfilePhoto", "pickApplications", "requestNetworkFilterPermission",
          "requestNotificationPermission", "cancelUnlockRequestNotification"}) {
        EXPECT_TRUE(isNotImplemented(harness->call(method, EncodableMap{}))) << method;
    }
    EXPECT_EQ(engine->calls(), 0);
}

// Names are compared exactly: a case-insensitive or trimmed match would reach a row.
TEST_F(BlockingChannelTest, NamesThatDifferOnlyInCaseOrSpacingAreNotImplemented) {
    for (const char* method : {"getblockingstatus", "GetBlockingStatus", "STOPSESSION",
                               "stopSession ", " startSession", "", "syncconfiguration"}) {
        EXPECT_TRUE(isNotImplemented(harness->call(method))) << '"' << method << '"';
    }
    EXPECT_EQ(engine->calls(), 0);
    EXPECT_TRUE(harness->window().lastConfiguration.empty());
}

struct AppearanceRow {
    EncodableValue argument;
    std::string stored;
    std::optional<AppearanceName> appearance;
};

// A wrong default (or a case-insensitive match) would store or apply the wrong appearance.
TEST_F(BlockingChannelTest, SetAppearanceStoresTheStringAndSetsOnlyExactLightOrDark) {
    const std::vector<AppearanceRow> rows{
        {EncodableValue(), "system", std::nullopt},
        {EncodableValue(std::int32_t{2}), "system", std::nullopt},
        {EncodableValue(EncodableList{"dark"}), "system", std::nullopt},
        {EncodableValue("light"), "light", AppearanceName::aqua},
        {EncodableValue("dark"), "dark", AppearanceName::darkAqua},
        {EncodableValue("Dark"), "Dark", std::nullopt},
        {EncodableValue("sepia"), "sepia", std::nullopt},
        {EncodableValue("system"), "system", std::nullopt},
    };
    for (const auto& row : rows) {
        harness->application().setAppearance(AppearanceName::darkAqua);
        const auto reply = harness->call("setAppearance", row.argument);
        EXPECT_TRUE(successValue(reply).isNull());
        EXPECT_EQ(harness->defaults->stringForKey("kestralune.appearance"), row.stored);
        EXPECT_EQ(harness->application().appearance(), row.appearance) << row.stored;
    }
}

// The review prompt needs an active application and a receipt file; asking without them
// would claim an attempt that cannot happen.
TEST_F(BlockingChannelTest, RequestAppReviewNeedsAnActiveApplicationAndAReceipt) {
    const fs::path root =
        fs::temp_directory_path() / ("kestralune-review-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path bundlePath = root / "Kestralune.app";
    fs::create_directories(bundlePath / "Contents" / "_MASReceipt");
    Bundle bundle{bundlePath.string(),
                  "com.orrindale.app",
                  {{"CFBundleIdentifier", "com.orrindale.app"}},
                  (bundlePath / "Contents" / "MacOS" / "Kestralune").string()};

    auto fake = std::make_shared<FakeEngine>();
    HostHarness withBundle([fake](RunLoop&) { return fake; }, {"Kestralune"}, bundle);
    const auto attempted = [&withBundle] {
        return entry<bool>(successMap(withBundle.call("requestAppReview")), "attempted");
    };

    EXPECT_FALSE(attempted()) << "inactive, no receipt";
    withBundle.application().activateIgnoringOtherApps();
    EXPECT_FALSE(attempted()) << "active, no receipt";
    std::ofstream(bundlePath / "Contents" / "_MASReceipt" / "receipt") << "receipt";
    EXPECT_TRUE(attempted()) << "active, with receipt";
    EXPECT_EQ(withBundle.application().reviewRequestCount(), 1);
    withBundle.application().deactivate();
    EXPECT_FALSE(attempted()) << "inactive, with receipt";

    // A loose program (no Info.plist) has no receipt URL at all.
    harness->application().activateIgnoringOtherApps();
    EXPECT_FALSE(entry<bool>(successMap(harness->call("requestAppReview")), "attempted"));
    fs::remove_all(root);
}

// The settings URL names the bundle, or the system's fallback identifier; the reply is the
// opener's answer, not a constant.
TEST_F(BlockingChannelTest, OpenNotificationSettingsOpensTheBundlesSettingsURL) {
    const auto reply = harness->call("openNotificationSettings");
    EXPECT_EQ(successValue(reply), EncodableValue(true));
    ASSERT_EQ(harness->urlOpener->openedURLs().size(), 1u);
    EXPECT_EQ(harness->urlOpener->openedURLs()[0],
              "x-apple.systempreferences:com.apple.Notifications-Settings.extension?id="
              "com.orrindale.app");
}

// A bundle's own identifier goes into the URL.
TEST_F(BlockingChannelTest, OpenNotificationSettingsRepliesFalseWhenTheURLIsRefused) {
    auto fake = std::make_shared<FakeEngine>();
    HostHarness named([fake](RunLoop&) { return fake; }, {"Kestralune"},
                      Bundle{"/b.app", "com.example.focus", {{"CFBundleIdentifier", "x"}}, ""});
    named.urlOpener->setAccepts(false);
    EXPECT_EQ(successValue(named.call("openNotificationSettings")), EncodableValue(false));
    EXPECT_EQ(named.urlOpener->openedURLs(),
              std::vector<std::string>{
                  "x-apple.systempreferences:com.apple.Notifications-Settings.extension?id="
                  "com.example.focus"});
}

// Capabilities: a stable upper-case UUID kept in the defaults, the host's name, the trust
// read without a prompt, and the exact summary.
TEST_F(BlockingChannelTest, GetCapabilitiesKeepsOneDeviceIdUntilTheKeyIsRemoved) {
    const auto first = successMap(harness->call("getCapabilities"));
    EXPECT_EQ(first.size(), 5u);
    EXPECT_EQ(entry<std::string>(first, "platform"), "macos");
    EXPECT_EQ(entry<std::string>(first, "deviceName"), "studio-mac");
    EXPECT_TRUE(entry<bool>(first, "accessibilityTrusted"));
    EXPECT_EQ(entry<std::string>(first, "summary"),
              "macOS blocker ready: selected apps are closed while a session is active. "
              "Browser-independent web blocking uses Network Filter signing; PAC proxy remains "
              "as a local fallback.");
    const auto deviceId = entry<std::string>(first, "deviceId");
    EXPECT_TRUE(std::regex_match(
        deviceId,
        std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << deviceId;
    EXPECT_EQ(harness->defaults->stringForKey("KestraluneDeviceId"), deviceId);

    EXPECT_EQ(entry<std::string>(successMap(harness->call("getCapabilities")), "deviceId"),
              deviceId);

    harness->defaults->removeObject("KestraluneDeviceId");
    const auto renewed =
        entry<std::string>(successMap(harness->call("getCapabilities")), "deviceId");
    EXPECT_NE(renewed, deviceId);
    EXPECT_EQ(harness->defaults->stringForKey("KestraluneDeviceId"), renewed);
}

TEST_F(BlockingChannelTest, GetCapabilitiesKeepsAStoredIdAndFallsBackToMacWithoutAHostName) {
    harness->defaults->setObject("KestraluneDeviceId", "stored-id");
    harness->hostName = std::nullopt;
    harness->accessibility->setMode(FakeAccessibility::Mode::grantedOnPrompt);
    const auto reply = successMap(harness->call("getCapabilities"));
    EXPECT_EQ(entry<std::string>(reply, "deviceId"), "stored-id");
    EXPECT_EQ(entry<std::string>(reply, "deviceName"), "Mac");
    // Reading the trust must not prompt.
    EXPECT_FALSE(entry<bool>(reply, "accessibilityTrusted"));
    EXPECT_EQ(harness->accessibility->promptCount(), 0);
}

// The stored map, its keys and what the engine receives must agree; anything that is not a
// string-keyed map counts as the empty map.
TEST_F(BlockingChannelTest, SyncConfigurationStoresTheMapAndAppliesIt) {
    const auto none = successMap(harness->call("syncConfiguration"));
    EXPECT_EQ(entry<bool>(none, "stored"), true);
    EXPECT_EQ(entry<EncodableList>(none, "items"), EncodableList{});
    ASSERT_EQ(engine->applied.size(), 1u);
    EXPECT_TRUE(engine->applied[0].empty());

    const auto configuration = encodableMap(
        {{"blockedDomains", EncodableList{"example.com"}}, {"allWebsitesBlocked", false}});
    const auto reply = successMap(harness->call("syncConfiguration", configuration));
    const auto items = entry<EncodableList>(reply, "items");
    EXPECT_EQ(std::set<EncodableValue>(items.begin(), items.end()),
              (std::set<EncodableValue>{"blockedDomains", "allWebsitesBlocked"}));
    EXPECT_EQ(harness->window().lastConfiguration, configuration);
    EXPECT_EQ(engine->applied.back(), configuration);

    for (const EncodableValue& notAMap :
         {EncodableValue(EncodableList{"a"}), EncodableValue("text"),
          EncodableValue(EncodableMap{{std::int32_t{1}, "numeric key"}, {"k", "v"}})}) {
        const auto emptied = successMap(harness->call("syncConfiguration", notAMap));
        EXPECT_EQ(entry<EncodableList>(emptied, "items"), EncodableList{});
        EXPECT_TRUE(harness->window().lastConfiguration.empty());
        EXPECT_TRUE(engine->applied.back().empty());
    }
}

TEST_F(BlockingChannelTest, SyncMenuBarStateUpdatesTheMenuAndAlwaysRepliesSynced) {
    const auto reply =
        successMap(harness->call("syncMenuBarState", encodableMap({{"sessionActive", true}})));
    EXPECT_EQ(reply, encodableMap({{"synced", true}}));
    EXPECT_TRUE(harness->host->menuBarController->sessionActive());
    EXPECT_EQ(successMap(harness->call("syncMenuBarState", "not a map")),
              encodableMap({{"synced", true}}));
    EXPECT_TRUE(harness->host->menuBarController->sessionActive());
}

// The engine's maps are forwarded unchanged, and a non-map argument arrives as the empty map.
TEST_F(BlockingChannelTest, SessionRowsForwardTheEnginesAnswers) {
    engine->count = 7;
    engine->status = encodableMap({{"sessionActive", true}, {"blockedAttemptCount", 7}});

    EXPECT_EQ(successMap(harness->call("startSession", encodableMap({{"durationMinutes", 25}}))),
              engine->report);
    EXPECT_EQ(successMap(harness->call("startSession", EncodableList{})), engine->report);
    ASSERT_EQ(engine->started.size(), 2u);
    EXPECT_EQ(engine->started[0], encodableMap({{"durationMinutes", 25}}));
    EXPECT_TRUE(engine->started[1].empty());

    EXPECT_EQ(successMap(harness->call("getBlockingStatus")), engine->status);
    EXPECT_EQ(successMap(harness->call("getBlockedAttemptCount")),
              encodableMap({{"count", std::int64_t{7}}}));
    EXPECT_EQ(successMap(harness->call("stopSession")), encodableMap({{"stopped", true}}));
    EXPECT_EQ(engine->stops, 1);
}

// The prompt is shown only to an untrusted process, and its answer is the reply.
TEST_F(BlockingChannelTest, RequestAccessibilityPermissionPromptsOnlyWhenNotTrusted) {
    EXPECT_EQ(successMap(harness->call("requestAccessibilityPermission")),
              encodableMap({{"accessibilityTrusted", true}}));
    EXPECT_EQ(harness->accessibility->promptCount(), 0);

    harness->accessibility->setMode(FakeAccessibility::Mode::untrusted);
    EXPECT_EQ(successMap(harness->call("requestAccessibilityPermission")),
              encodableMap({{"accessibilityTrusted", false}}));
    harness->accessibility->setMode(FakeAccessibility::Mode::grantedOnPrompt);
    EXPECT_EQ(successMap(harness->call("requestAccessibilityPermission")),
              encodableMap({{"accessibilityTrusted", true}}));
    EXPECT_EQ(harness->accessibility->promptCount(), 2);
}

// Once the window is gone every row that needs it answers its fallback, without crashing
// and without touching the engine.
TEST_F(BlockingChannelTest, RowsAnswerTheirFallbacksOnceTheWindowIsGone) {
    std::weak_ptr<FakeEngine> weakEngine = engine;
    engine.reset();
    harness->host->window.reset();
    ASSERT_TRUE(weakEngine.expired()) << "the window owns the engine";
    harness->accessibility->setMode(FakeAccessibility::Mode::grantedOnPrompt);

    EXPECT_EQ(successMap(harness->call("syncConfiguration",
                                       encodableMap({{"blockedDomains", EncodableList{}}}))),
              encodableMap({{"stored", true}, {"items", EncodableList{}}}));
    EXPECT_EQ(
        successMap(harness->call("startSession")),
        encodableMap({{"started", false}, {"summary", "macOS blocking engine is unavailable."}}));
    EXPECT_EQ(successMap(harness->call("requestAccessibilityPermission")),
              encodableMap({{"accessibilityTrusted", false}}));
    EXPECT_EQ(harness->accessibility->promptCount(), 0);
    EXPECT_EQ(successMap(harness->call("stopSession")), encodableMap({{"stopped", true}}));
    EXPECT_EQ(successMap(harness->call("getBlockedAttemptCount")),
              encodableMap({{"count", std::int64_t{0}}}));
    EXPECT_EQ(successMap(harness->call("getBlockingStatus")),
              encodableMap({{"sessionActive", false},
                            {"serverRunning", false},
                            {"proxyVerified", false},
                            {"webBlockingRequired", false}}));
    // Rows that do not need the window still work.
    EXPECT_EQ(successMap(harness->call("syncMenuBarState")), encodableMap({{"synced", true}}));
    EXPECT_EQ(entry<std::string>(successMap(harness->call("getCapabilities")), "platform"),
              "macos");
}

TEST_F(BlockingChannelTest, InitialLinksComeFromTheRouterAndTheStoredInvitation) {
    EXPECT_TRUE(successValue(harness->call("getInitialInviteLink")).isNull());
    EXPECT_TRUE(successValue(harness->call("getInitialAuthLink")).isNull());

    harness->defaults->setObject("kestralune.pendingInviteLink", "https://k.example/invite/old");
    EXPECT_EQ(successValue(harness->call("getInitialInviteLink")),
              EncodableValue("https://k.example/invite/old"));

    harness->host->deepLinkRouter->handle("kestralune://invite?code=new");
    harness->host->deepLinkRouter->handle("kestralune://auth-callback?code=1");
    EXPECT_EQ(successValue(harness->call("getInitialInviteLink")),
              EncodableValue("kestralune://invite?code=new"));
    EXPECT_EQ(successValue(harness->call("getInitialAuthLink")),
              EncodableValue("kestralune://auth-callback?code=1"));
}

// With the real engine: replies that depend on how the engine decodes the configuration.
class BlockingChannelRealEngineTest : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        harness = std::make_unique<HostHarness>([this](RunLoop& loop) {
            parts.mainLoop = &loop;
            engine = parts.create();
            return bindBlockingEngine(engine);
        });
    }

    blocking_test::EngineHarness parts;
    std::shared_ptr<MacBlockingEngine> engine;
    std::unique_ptr<HostHarness> harness;
};

// No configuration means "block all websites"; a string for the flag does too.
TEST_F(BlockingChannelRealEngineTest, MissingOrMistypedAllWebsitesBlockedAppliesTrue) {
    parts.fakeTools->clearCalls();
    for (const EncodableValue& configuration :
         {EncodableValue(), EncodableValue(encodableMap({{"allWebsitesBlocked", "no"}}))}) {
        harness->call("syncConfiguration", configuration);
        ASSERT_TRUE(parts.server->lastUpdate);
        EXPECT_TRUE(parts.server->lastUpdate->allWebsitesBlocked);
        EXPECT_TRUE(parts.server->lastUpdate->blockedDomains.empty());
    }
}

// Trimming and lower-casing happen before the lists reach the server; "*" and "" vanish.
TEST_F(BlockingChannelRealEngineTest, DomainListsAreNormalisedBeforeTheyReachTheServer) {
    harness->call("syncConfiguration",
                  encodableMap({{"exceptionDomains",
                                 EncodableList{"  Docs.Example.COM \n", "*", "", std::int32_t{5}}},
                                {"blockedDomains", EncodableList{" News.Example.org"}},
                                {"allWebsitesBlocked", false}}));
    ASSERT_TRUE(parts.server->lastUpdate);
    const auto& exceptions = parts.server->lastUpdate->exceptionDomains;
    EXPECT_NE(std::find(exceptions.begin(), exceptions.end(), "docs.example.com"),
              exceptions.end());
    EXPECT_EQ(std::find(exceptions.begin(), exceptions.end(), "*"), exceptions.end());
    EXPECT_EQ(std::find(exceptions.begin(), exceptions.end(), ""), exceptions.end());
    EXPECT_EQ(parts.server->lastUpdate->blockedDomains,
              std::vector<std::string>{"news.example.org"});
    const auto status = successMap(harness->call("getBlockingStatus"));
    EXPECT_EQ(entry<std::int64_t>(status, "blockedDomainCount"), 1);
    EXPECT_FALSE(entry<bool>(status, "allWebsitesBlocked"));
}

// A map element gives its trimmed identifier and drops its empty path; a number gives nothing.
TEST_F(BlockingChannelRealEngineTest, BlockedAppElementsDecodeToTrimmedIdentifiers) {
    harness->call(
        "syncConfiguration",
        encodableMap({{"blockedApps",
                       EncodableList{encodableMap({{"bundleIdentifier", " com.example.chat\n"},
                                                   {"path", ""}}),
                                     std::int32_t{5}}},
                      {"allWebsitesBlocked", false}}));
    const auto report = successMap(harness->call("startSession"));
    EXPECT_EQ(entry<std::int64_t>(report, "blockedAppCount"), 1);
    harness->call("stopSession");
}

// Without web blocking the status must not run the proxy verification tools.
TEST_F(BlockingChannelRealEngineTest, StatusWithoutWebBlockingSkipsTheProxyVerification) {
    harness->call("syncConfiguration", encodableMap({{"allWebsitesBlocked", false}}));
    parts.fakeTools->clearCalls();
    const auto status = successMap(harness->call("getBlockingStatus"));
    EXPECT_EQ(status.size(), 7u);
    EXPECT_FALSE(entry<bool>(status, "proxyVerified"));
    EXPECT_FALSE(entry<bool>(status, "webBlockingRequired"));
    EXPECT_TRUE(parts.fakeTools->calls().empty());
}

// The session report is the engine's nine entries; a timed session ends by itself and
// allows quitting again.
TEST_F(BlockingChannelRealEngineTest, TimedSessionReportsAndEndsAfterItsDuration) {
    harness->call("syncConfiguration", encodableMap({{"allWebsitesBlocked", false}}));
    const auto report =
        successMap(harness->call("startSession", encodableMap({{"durationMinutes", 1}})));
    EXPECT_EQ(report.size(), 9u);
    EXPECT_TRUE(entry<bool>(report, "started"));
    EXPECT_EQ(entry<std::string>(report, "engine"), "macos-local-pac-and-app-monitor");
    EXPECT_TRUE(OrrindaleQuitProtection::blockingActive);
    EXPECT_TRUE(entry<bool>(successMap(harness->call("getBlockingStatus")), "sessionActive"));

    harness->loop.advance(59.9);
    EXPECT_TRUE(OrrindaleQuitProtection::blockingActive);
    harness->loop.advance(0.2);
    EXPECT_FALSE(OrrindaleQuitProtection::blockingActive);
    EXPECT_FALSE(entry<bool>(successMap(harness->call("getBlockingStatus")), "sessionActive"));
    EXPECT_TRUE(harness->application().terminate());
}

TEST_F(BlockingChannelRealEngineTest, BlockedAttemptCountAddsTheServersCount) {
    harness->call("syncConfiguration", encodableMap({{"allWebsitesBlocked", false}}));
    harness->call("startSession");
    parts.server->requestCount = 3;
    EXPECT_EQ(successMap(harness->call("getBlockedAttemptCount")),
              encodableMap({{"count", std::int64_t{3}}}));
    harness->call("stopSession");
}

}  // namespace
}  // namespace kestralune::host_test
