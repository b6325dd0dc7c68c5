#include "host/blocking_channel_handler.h"

#include "host/main_flutter_window.h"
#include "tests/host/host_test_support.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <regex>

namespace kestralune::host_test {
namespace {

class BlockingChannelTest : public FakeEngineHostTest {};

// Rows left to later work, and names that differ only in case or spacing, must not reach
// the engine or answer anything but not-implemented.
TEST_F(BlockingChannelTest, UnbuiltAndNearMissNamesAreNotImplemented) {
    for (const char* method :
         {"syncPushAlertSchedule", "getBackgroundSchedulerStatus", "enableBackgroundScheduler",
          "openBackgroundSchedulerSettings", "syncBackgroundSchedule", "normalizeProfilePhoto",
          "pickProfilePhoto", "pickApplications", "requestNetworkFilterPermission",
          "requestNotificationPermission", "cancelUnlockRequestNotification", "getblockingstatus",
          "STOPSESSION", "stopSession ", " startSession", ""}) {
        EXPECT_TRUE(isNotImplemented(harness->call(method, EncodableMap{}))) << method;
    }
    EXPECT_TRUE(engine->applied.empty() && engine->started.empty() && engine->stops == 0);
}

// A wrong default (or a case-insensitive match) would store or apply the wrong appearance.
TEST_F(BlockingChannelTest, SetAppearanceStoresTheStringAndSetsOnlyExactLightOrDark) {
    const std::vector<std::tuple<EncodableValue, std::string, std::optional<AppearanceName>>> rows{
        {EncodableValue(), "system", std::nullopt},
        {std::int32_t{2}, "system", std::nullopt},
        {EncodableList{"dark"}, "system", std::nullopt},
        {"light", "light", AppearanceName::aqua},
        {"dark", "dark", AppearanceName::darkAqua},
        {"Dark", "Dark", std::nullopt},
        {"sepia", "sepia", std::nullopt}};
    for (const auto& [argument, stored, appearance] : rows) {
        harness->application().setAppearance(AppearanceName::darkAqua);
        EXPECT_TRUE(successValue(harness->call("setAppearance", argument)).isNull());
        EXPECT_EQ(harness->defaults->stringForKey("kestralune.appearance"), stored);
        EXPECT_EQ(harness->application().appearance(), appearance) << stored;
    }
}

// The review prompt needs an active application and a receipt inside a real bundle.
TEST_F(BlockingChannelTest, RequestAppReviewNeedsAnActiveApplicationAndAReceipt) {
    TempDirectory root;
    const auto bundlePath = root.path() / "Kestralune.app";
    std::shared_ptr<FakeEngine> fake;
    auto bundled = HostHarness::withFakeEngine(
        fake, {"Kestralune"},
        Bundle{bundlePath.string(), "com.orrindale.app", {{"CFBundleIdentifier", "x"}}, ""});
    const auto attempted = [](HostHarness& host) {
        return entry<bool>(successMap(host.call("requestAppReview")), "attempted");
    };
    EXPECT_FALSE(attempted(*bundled)) << "inactive, no receipt";
    bundled->application().activateIgnoringOtherApps();
    EXPECT_FALSE(attempted(*bundled)) << "active, no receipt";
    root.write("Kestralune.app/Contents/_MASReceipt/receipt", "receipt");
    EXPECT_TRUE(attempted(*bundled));
    EXPECT_EQ(bundled->application().reviewRequestCount(), 1);
    bundled->application().deactivate();
    EXPECT_FALSE(attempted(*bundled)) << "inactive, with receipt";
    harness->application().activateIgnoringOtherApps();
    EXPECT_FALSE(attempted(*harness)) << "a loose program has no receipt";
}

// The settings URL names the bundle (or the fallback identifier); the reply is the opener's.
TEST_F(BlockingChannelTest, OpenNotificationSettingsOpensTheBundlesSettingsURL) {
    std::shared_ptr<FakeEngine> fake;
    auto named = HostHarness::withFakeEngine(
        fake, {"Kestralune"},
        Bundle{"/b.app", "com.example.focus", {{"CFBundleIdentifier", "x"}}, ""});
    named->urlOpener->setAccepts(false);
    for (const auto& [host, accepted, id] : {std::tuple{harness.get(), true, "com.orrindale.app"},
                                             std::tuple{named.get(), false, "com.example.focus"}}) {
        EXPECT_EQ(successValue(host->call("openNotificationSettings")), EncodableValue(accepted));
        EXPECT_EQ(host->urlOpener->openedURLs(),
                  std::vector<std::string>{"x-apple.systempreferences:com.apple.Notifications-"
                                           "Settings.extension?id=" +
                                           std::string(id)});
    }
}

// A stable upper-case UUID kept in the defaults, the host's name ("Mac" without one), the
// trust read without a prompt, and the exact summary.
TEST_F(BlockingChannelTest, GetCapabilitiesKeepsOneDeviceIdUntilTheKeyIsRemoved) {
    const auto first = successMap(harness->call("getCapabilities"));
    EXPECT_EQ(first, encodableMap({{"platform", "macos"},
                                   {"deviceName", "studio-mac"},
                                   {"accessibilityTrusted", true},
                                   {"deviceId", entry<std::string>(first, "deviceId")},
                                   {"summary",
                                    "macOS blocker ready: selected apps are closed while a "
                                    "session is active. Browser-independent web blocking uses "
                                    "Network Filter signing; PAC proxy remains as a local "
                                    "fallback."}}));
    const auto deviceId = entry<std::string>(first, "deviceId");
    EXPECT_TRUE(std::regex_match(
        deviceId,
        std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << deviceId;
    EXPECT_EQ(harness->defaults->stringForKey("KestraluneDeviceId"), deviceId);
    EXPECT_EQ(entry<std::string>(successMap(harness->call("getCapabilities")), "deviceId"),
              deviceId);

    harness->defaults->removeObject("KestraluneDeviceId");
    harness->hostName = std::nullopt;
    harness->accessibility->setMode(FakeAccessibility::Mode::grantedOnPrompt);
    const auto renewed = successMap(harness->call("getCapabilities"));
    EXPECT_NE(entry<std::string>(renewed, "deviceId"), deviceId);
    EXPECT_EQ(entry<std::string>(renewed, "deviceName"), "Mac");
    EXPECT_FALSE(entry<bool>(renewed, "accessibilityTrusted"));
    EXPECT_EQ(harness->accessibility->promptCount(), 0);
}

// The stored map, its keys and what the engine receives must agree; anything that is not a
// string-keyed map counts as the empty map.
TEST_F(BlockingChannelTest, SyncConfigurationStoresTheMapAndAppliesIt) {
    const auto configuration = encodableMap(
        {{"blockedDomains", EncodableList{"example.com"}}, {"allWebsitesBlocked", false}});
    const auto reply = successMap(harness->call("syncConfiguration", configuration));
    EXPECT_EQ(entry<bool>(reply, "stored"), true);
    EXPECT_EQ(entry<EncodableList>(reply, "items"),
              (EncodableList{"allWebsitesBlocked", "blockedDomains"}));
    EXPECT_EQ(harness->window().lastConfiguration, configuration);
    EXPECT_EQ(engine->applied.back(), configuration);

    for (const EncodableValue& notAMap :
         {EncodableValue(), EncodableValue(EncodableList{"a"}), EncodableValue("text"),
          EncodableValue(EncodableMap{{std::int32_t{1}, "numeric key"}, {"k", "v"}})}) {
        const auto emptied = successMap(harness->call("syncConfiguration", notAMap));
        EXPECT_EQ(entry<EncodableList>(emptied, "items"), EncodableList{});
        EXPECT_TRUE(harness->window().lastConfiguration.empty());
        EXPECT_TRUE(engine->applied.back().empty());
    }
}

// The permission prompt is shown only to an untrusted process, and its answer is the reply.
TEST_F(BlockingChannelTest, AccessibilityPromptIsShownOnlyWhenNotTrusted) {
    using Mode = FakeAccessibility::Mode;
    for (const auto& [mode, trusted, prompts] :
         {std::tuple{Mode::trusted, true, 0}, std::tuple{Mode::untrusted, false, 1},
          std::tuple{Mode::grantedOnPrompt, true, 2}}) {
        harness->accessibility->setMode(mode);
        EXPECT_EQ(successMap(harness->call("requestAccessibilityPermission")),
                  encodableMap({{"accessibilityTrusted", trusted}}));
        EXPECT_EQ(harness->accessibility->promptCount(), prompts);
    }
}

// Once the window is gone every row that needs it answers its fallback, without crashing
// and without prompting; rows that do not need it still work.
TEST_F(BlockingChannelTest, RowsAnswerTheirFallbacksOnceTheWindowIsGone) {
    std::weak_ptr<FakeEngine> weakEngine = engine;
    engine.reset();
    harness->host->window.reset();
    ASSERT_TRUE(weakEngine.expired()) << "the window owns the engine";
    harness->accessibility->setMode(FakeAccessibility::Mode::grantedOnPrompt);
    const std::vector<std::pair<const char*, EncodableMap>> rows{
        {"syncConfiguration", encodableMap({{"stored", true}, {"items", EncodableList{}}})},
        {"startSession",
         encodableMap({{"started", false}, {"summary", "macOS blocking engine is unavailable."}})},
        {"requestAccessibilityPermission", encodableMap({{"accessibilityTrusted", false}})},
        {"stopSession", encodableMap({{"stopped", true}})},
        {"getBlockedAttemptCount", encodableMap({{"count", std::int64_t{0}}})},
        {"getBlockingStatus", encodableMap({{"sessionActive", false},
                                            {"serverRunning", false},
                                            {"proxyVerified", false},
                                            {"webBlockingRequired", false}})},
        {"syncMenuBarState", encodableMap({{"synced", true}})}};
    for (const auto& [method, fallback] : rows) {
        EXPECT_EQ(successMap(harness->call(method, encodableMap({{"blockedDomains", 1}}))),
                  fallback)
            << method;
    }
    EXPECT_EQ(harness->accessibility->promptCount(), 0);
    EXPECT_EQ(entry<std::string>(successMap(harness->call("getCapabilities")), "platform"),
              "macos");
}

}  // namespace
}  // namespace kestralune::host_test
