#include "host/blocking_channel_handler.h"

#include "host/main_flutter_window.h"
#include "platform/base64.h"
#include "tests/host/host_test_support.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <regex>

namespace kestralune::host_test {
namespace {

class BlockingChannelTest : public FakeEngineHostTest {};

// Fault: a name that differs only in case or spacing reaches the engine or answers anything
// but not-implemented.
TEST_F(BlockingChannelTest, NearMissNamesAreNotImplemented) {
    for (const char* method :
         {"getblockingstatus", "STOPSESSION", "stopSession ", " startSession", ""}) {
        EXPECT_TRUE(isNotImplemented(harness->call(method, EncodableMap{}))) << method;
    }
    EXPECT_TRUE(engine->applied.empty() && engine->started.empty() && engine->stops == 0);
}

// Fault: a scheduler row still unbuilt, the settings opened when nothing waits for approval,
// or a failed store answered as success.
TEST_F(BlockingChannelTest, BackgroundSchedulerRowsReachTheScheduler) {
    TempDirectory root;
    ::setenv("HOME", root.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", root.write("file", "").c_str(), 1);
    std::filesystem::create_directories(root.path() / "Applications/Kestralune.app");
    HostHarness installed(
        {"Kestralune"},
        Bundle{
            (root.path() / "Applications/Kestralune.app").string(), "com.orrindale.app", {}, ""});
    installed.agentService->currentStatus = AgentServiceStatus::requiresApproval;
    const EncodableMap waiting{{"status", "requiresApproval"}};
    EXPECT_EQ(successMap(installed.call("enableBackgroundScheduler")), waiting);
    EXPECT_EQ(successMap(installed.call("getBackgroundSchedulerStatus")), waiting);
    EXPECT_TRUE(successValue(installed.call("openBackgroundSchedulerSettings")).isNull());
    EXPECT_EQ(installed.agentService->settingsOpened, 2);
    EXPECT_EQ(installed.agentService->registrations, 0);

    const auto failed = installed.call("syncBackgroundSchedule", EncodableMap{{"enabled", true}});
    const auto* error = std::get_if<MethodError>(&failed);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, "schedule_storage_failed");
    EXPECT_NE(error->message.find("Not a directory"), std::string::npos) << error->message;
    EXPECT_TRUE(error->details.isNull());
    EXPECT_EQ(successMap(installed.call("getBackgroundSchedulerStatus")),
              (EncodableMap{{"status", "storageError"}}));
    ::setenv("XDG_DATA_HOME", (root.path() / "data").c_str(), 1);
    EXPECT_TRUE(successValue(installed.call("syncBackgroundSchedule")).isNull());
    EXPECT_EQ(successMap(installed.call("getBackgroundSchedulerStatus")), waiting);
    ::unsetenv("XDG_DATA_HOME");
}

// Fault: a wrong default, or a case-insensitive match, stores or applies the wrong appearance.
TEST_F(BlockingChannelTest, SetAppearanceStoresTheStringAndSetsOnlyExactLightOrDark) {
    const std::vector<std::tuple<EncodableValue, std::string, std::optional<AppearanceName>>> rows{
        {EncodableValue(), "system", std::nullopt},
        {std::int32_t{2}, "system", std::nullopt},
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

// Fault: the review prompt is requested without an active application or without a receipt
// inside a real bundle.
TEST_F(BlockingChannelTest, RequestAppReviewNeedsAnActiveApplicationAndAReceipt) {
    TempDirectory root;
    HostHarness bundled({"Kestralune"}, Bundle{(root.path() / "Kestralune.app").string(),
                                               "com.orrindale.app",
                                               {{"CFBundleIdentifier", "x"}},
                                               ""});
    const auto attempted = [](HostHarness& host) {
        return entry<bool>(successMap(host.call("requestAppReview")), "attempted");
    };
    bundled.application().activateIgnoringOtherApps();
    EXPECT_FALSE(attempted(bundled)) << "active, no receipt";
    root.write("Kestralune.app/Contents/_MASReceipt/receipt", "receipt");
    EXPECT_TRUE(attempted(bundled));
    EXPECT_EQ(bundled.application().reviewRequestCount(), 1);
    bundled.application().deactivate();
    EXPECT_FALSE(attempted(bundled)) << "inactive, with receipt";
    harness->application().activateIgnoringOtherApps();
    EXPECT_FALSE(attempted(*harness)) << "a loose program has no receipt";
}

// Fault: the settings URL names another bundle (or no fallback identifier), or the reply is
// not the opener's.
TEST_F(BlockingChannelTest, OpenNotificationSettingsOpensTheBundlesSettingsURL) {
    HostHarness named({"Kestralune"},
                      Bundle{"/b.app", "com.example.focus", {{"CFBundleIdentifier", "x"}}, ""});
    named.urlOpener->setAccepts(false);
    for (const auto& [host, accepted, id] : {std::tuple{harness.get(), true, "com.orrindale.app"},
                                             std::tuple{&named, false, "com.example.focus"}}) {
        EXPECT_EQ(successValue(host->call("openNotificationSettings")), EncodableValue(accepted));
        EXPECT_EQ(host->urlOpener->openedURLs(),
                  std::vector<std::string>{"x-apple.systempreferences:com.apple.Notifications-"
                                           "Settings.extension?id=" +
                                           std::string(id)});
    }
}

// Fault: the device id is no upper-case UUID, changes between calls or outlives its key; the
// host name lacks its "Mac" fallback; the trust is read with a prompt; the summary deviates.
TEST_F(BlockingChannelTest, GetCapabilitiesKeepsOneDeviceIdUntilTheKeyIsRemoved) {
    const auto first = successMap(harness->call("getCapabilities"));
    const auto deviceId = entry<std::string>(first, "deviceId");
    EXPECT_EQ(first, encodableMap({{"platform", "macos"},
                                   {"deviceName", "studio-mac"},
                                   {"accessibilityTrusted", true},
                                   {"deviceId", deviceId},
                                   {"summary",
                                    "macOS blocker ready: selected apps are closed while a "
                                    "session is active. Browser-independent web blocking uses "
                                    "Network Filter signing; PAC proxy remains as a local "
                                    "fallback."}}));
    EXPECT_TRUE(std::regex_match(
        deviceId,
        std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << deviceId;
    EXPECT_EQ(entry<std::string>(successMap(harness->call("getCapabilities")), "deviceId"),
              deviceId);

    harness->defaults->removeObject("KestraluneDeviceId");
    harness->hostName = std::nullopt;
    harness->accessibility->setMode(FakeAccessibility::Mode::grantedOnPrompt);
    const auto renewed = successMap(harness->call("getCapabilities"));
    EXPECT_NE(entry<std::string>(renewed, "deviceId"), deviceId);
    EXPECT_EQ(entry<std::string>(renewed, "deviceName"), "Mac");
    EXPECT_FALSE(entry<bool>(renewed, "accessibilityTrusted"));
}

// Fault: the stored map, its keys and what the engine receives disagree, or something that
// is not a string-keyed map is taken for one.
TEST_F(BlockingChannelTest, SyncConfigurationStoresTheMapAndAppliesIt) {
    const auto configuration = encodableMap(
        {{"blockedDomains", EncodableList{"example.com"}}, {"allWebsitesBlocked", false}});
    EXPECT_EQ(successMap(harness->call("syncConfiguration", configuration)),
              encodableMap({{"stored", true},
                            {"items", EncodableList{"allWebsitesBlocked", "blockedDomains"}}}));
    EXPECT_EQ(harness->window().lastConfiguration, configuration);
    EXPECT_EQ(engine->applied.back(), configuration);

    for (const EncodableValue& notAMap :
         {EncodableValue(), EncodableValue(EncodableList{"a"}), EncodableValue("text"),
          EncodableValue(EncodableMap{{std::int32_t{1}, "numeric key"}, {"k", "v"}})}) {
        const auto emptied = successMap(harness->call("syncConfiguration", notAMap));
        EXPECT_EQ(entry<EncodableList>(emptied, "items"), EncodableList{});
        EXPECT_TRUE(engine->applied.back().empty());
    }
}

// Fault: the permission prompt is shown to a trusted process, or its answer is not the reply.
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

// Fault: once the window is gone (it owns the engine) a row that needs it crashes, prompts or
// answers other than its fallback.
TEST_F(BlockingChannelTest, RowsAnswerTheirFallbacksOnceTheWindowIsGone) {
    std::weak_ptr<FakeEngine> weakEngine = engine;
    engine.reset();
    harness->host->window.reset();
    ASSERT_TRUE(weakEngine.expired());
    harness->accessibility->setMode(FakeAccessibility::Mode::grantedOnPrompt);
    const std::vector<std::pair<const char*, EncodableMap>> rows{
        {"syncConfiguration", encodableMap({{"stored", true}, {"items", EncodableList{}}})},
        {"startSession",
         encodableMap({{"started", false}, {"summary", "macOS blocking engine is unavailable."}})},
        {"requestAccessibilityPermission", encodableMap({{"accessibilityTrusted", false}})},
        {"getBlockedAttemptCount", encodableMap({{"count", std::int64_t{0}}})},
        {"getBlockingStatus", encodableMap({{"sessionActive", false},
                                            {"serverRunning", false},
                                            {"proxyVerified", false},
                                            {"webBlockingRequired", false}})}};
    for (const auto& [method, fallback] : rows) {
        EXPECT_EQ(successMap(harness->call(method, encodableMap({{"blockedDomains", 1}}))),
                  fallback)
            << method;
    }
    EXPECT_EQ(harness->accessibility->promptCount(), 0);
}

// Fault: a row still unbuilt, a photo answered before (or without) its normalisation, a
// permission answered before the center's answer, a resolved unlock request's notifications
// left behind, or the network filter's answer lost.
TEST_F(BlockingChannelTest, DesktopRowsReachTheirServices) {
    // A 1x1 PNG, as the UI sends a photo.
    constexpr const char* kPixel =
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5Erk"
        "Jggg==";
    const auto later = [this](const char* method, EncodableValue arguments = {}) {
        std::optional<MethodReply> reply;
        harness->messenger.callMethod(kBlockingChannelName,
                                      MethodCall{method, std::move(arguments)},
                                      [&reply](MethodReply answer) { reply = std::move(answer); });
        harness->loop.runUntilIdle();
        return reply.value_or(MethodError{"pending", method, {}});
    };
    const auto jpeg = base64Decoded(std::get<std::string>(
        successValue(later("normalizeProfilePhoto", encodableMap({{"base64", kPixel}})))
            .variant()));
    EXPECT_TRUE(jpeg && jpeg->starts_with("\xFF\xD8\xFF"));
    for (const char* text : {"not base64!", "iVBORw0KGgo=", ""}) {
        EXPECT_EQ(later("normalizeProfilePhoto", encodableMap({{"base64", text}})),
                  MethodReply(MethodError{
                      "profile_photo_unavailable", "Could not normalize profile photo.", {}}))
            << text;
    }

    auto& center = *harness->notifications;
    const double future =
        std::chrono::duration<double>(harness->loop.clock().now().time_since_epoch()).count() + 60;
    EXPECT_TRUE(
        successValue(
            later("syncPushAlertSchedule",
                  encodableMap(
                      {{"alerts", EncodableList{encodableMap(
                                      {{"at", future}, {"title", "Focus"}, {"body", "Soon"}})}}})))
            .isNull());
    ASSERT_EQ(center.pending.size(), 1u);
    EXPECT_EQ(center.pending[0].identifier, "kestralune.preference.0");

    harness->application().activateIgnoringOtherApps();
    EXPECT_EQ(successMap(later("requestNotificationPermission")),
              encodableMap({{"granted", true}, {"summary", "Notification permission enabled."}}));
    center.add({"unlock", "Unlock?", "", 0, "request-7"});
    EXPECT_EQ(successMap(later("cancelUnlockRequestNotification",
                               encodableMap({{"requestId", "request-7"}}))),
              encodableMap({{"removed", true}}));
    center.add({"unlock", "Unlock?", "", 0, "request-8"});
    EXPECT_EQ(harness->host->delegate->applicationDidReceiveRemoteNotification(
                  encodableMap({{"type", "unlock_request_resolved"}, {"requestId", "request-8"}})),
              RemoteNotificationRoute::unlockRequestResolved);
    harness->loop.runUntilIdle();
    EXPECT_EQ(center.pending.size(), 1u) << "only the alert is left";

    // Panels answer when the user closes them: cancelled, a file that is no image, a bundle.
    const auto pick = [&](const char* method, std::vector<std::string> paths) {
        std::optional<MethodReply> reply;
        harness->messenger.callMethod(kBlockingChannelName, MethodCall{method, {}},
                                      [&reply](MethodReply answer) { reply = std::move(answer); });
        EXPECT_FALSE(reply) << method << " answered before its panel closed";
        harness->panels->answer(std::move(paths));
        harness->loop.runUntilIdle();
        return reply.value_or(MethodError{"pending", method, {}});
    };
    EXPECT_EQ(successValue(pick("pickProfilePhoto", {})), EncodableValue(std::string()));
    EXPECT_EQ(pick("pickProfilePhoto", {"/proc/self/status"}),
              MethodReply(
                  MethodError{"profile_photo_unavailable", "Could not read selected image.", {}}));
    const auto apps = successValue(pick("pickApplications", {"/nowhere/Tool.app"}));
    ASSERT_TRUE(apps.is<EncodableList>());
    EXPECT_EQ(apps.getIf<EncodableList>()->at(0).getIf<EncodableMap>()->at(EncodableValue("name")),
              EncodableValue("Tool"));
    const auto& shown = harness->panels->shownPanels().back();
    EXPECT_TRUE(shown.title == "Select apps" && shown.directory == "/Applications" &&
                shown.allowsMultipleSelection && shown.canChooseDirectories);

    EXPECT_EQ(successMap(later("requestNetworkFilterPermission")),
              encodableMap({{"enabled", false},
                            {"summary",
                             "This build does not contain a network filter extension. Website "
                             "blocking uses the macOS automatic proxy."}}));
}

}  // namespace
}  // namespace kestralune::host_test
