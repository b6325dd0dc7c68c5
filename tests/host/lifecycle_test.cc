#include "host/app_delegate.h"
#include "host/application_startup.h"
#include "host/control_channel_handler.h"
#include "host/host_program.h"
#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

namespace kestralune::host_test {
namespace {

class LifecycleTest : public HostTest {
  protected:
    std::unique_ptr<HostHarness> launch(std::vector<std::string> arguments) {
        auto harness = HostHarness::withFakeEngine(engine, std::move(arguments));
        harness->host->finishLaunching({});
        harness->loop.runUntilIdle();
        return harness;
    }

    std::shared_ptr<FakeEngine> engine;
};

// The argument must match exactly; a prefix match would bring the window forward on
// unrelated starts.
TEST(ScheduledLaunchArgumentTest, OnlyTheExactArgumentCounts) {
    EXPECT_TRUE(isScheduledLaunch({"Kestralune", "--kestralune-scheduled-launch"}));
    EXPECT_TRUE(
        isScheduledLaunch({"Kestralune", "kestralune://x", "--kestralune-scheduled-launch"}));
    for (const char* near : {"--kestralune-scheduled-launch=1", "--kestralune-scheduled-launchX",
                             "-kestralune-scheduled-launch", "--Kestralune-Scheduled-Launch",
                             " --kestralune-scheduled-launch"}) {
        EXPECT_FALSE(isScheduledLaunch({"Kestralune", near})) << near;
    }
    EXPECT_FALSE(isScheduledLaunch({}));
}

// Requested by the window set-up and by the delegate, the sequence still runs once.
TEST_F(LifecycleTest, StartUpRunsOnceThoughRequestedTwice) {
    auto harness =
        HostHarness::withFakeEngine(engine, {"Kestralune", "--kestralune-scheduled-launch"});
    harness->window().miniaturize();
    EXPECT_FALSE(harness->host->startup->started()) << "the set-up only queues it";
    harness->host->finishLaunching({});
    EXPECT_TRUE(harness->host->startup->started());
    harness->loop.runUntilIdle();
    harness->host->delegate->applicationDidFinishLaunching();
    EXPECT_EQ(harness->application().forwardRequests(),
              std::vector<ForwardVariant>{ForwardVariant::scheduledLaunch});

    auto& window = harness->window();
    EXPECT_FALSE(window.isMiniaturized());
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.isKeyWindow());
    EXPECT_EQ(harness->application().activationPolicy(), ActivationPolicy::regular);
    EXPECT_TRUE(harness->application().isActive());
}

TEST_F(LifecycleTest, LaunchWithoutTheFlagLeavesTheWindowAsItWas) {
    auto harness = launch({"Kestralune", "--kestralune-scheduled-launchX"});
    EXPECT_TRUE(harness->application().forwardRequests().empty());
    EXPECT_TRUE(harness->window().isVisible());
    EXPECT_FALSE(harness->window().isKeyWindow());
    EXPECT_EQ(harness->window().minSize(), (MainFlutterWindow::Size{760, 680}));
}

struct VariantRow {
    ForwardVariant variant;
    int frontRegardless;
};

// Every variant: policy regular, unhidden, deminiaturised, key, activated; only the menu
// action and re-open order the window front regardless.
TEST_F(LifecycleTest, EachForwardVariantRestoresTheWindowAndActivates) {
    const std::vector<VariantRow> rows{{ForwardVariant::scheduledLaunch, 0},
                                       {ForwardVariant::deepLink, 0},
                                       {ForwardVariant::menuAction, 1},
                                       {ForwardVariant::reopen, 1}};
    for (const auto& row : rows) {
        auto harness = launch({"Kestralune"});
        auto& app = harness->application();
        app.setActivationPolicy(ActivationPolicy::accessory);
        app.hide();
        app.deactivate();
        harness->window().miniaturize();
        app.bringMainWindowForward(row.variant);
        EXPECT_EQ(app.activationPolicy(), ActivationPolicy::regular);
        EXPECT_FALSE(app.isHidden());
        EXPECT_TRUE(app.isActive());
        EXPECT_FALSE(harness->window().isMiniaturized());
        EXPECT_TRUE(harness->window().isKeyWindow());
        EXPECT_EQ(harness->window().orderFrontRegardlessCount(), row.frontRegardless);
        EXPECT_EQ(harness->window().lastForwardVariant(), row.variant);
    }
}

TEST_F(LifecycleTest, ForwardWithoutAWindowStillActivates) {
    Application app;
    app.bringMainWindowForward(ForwardVariant::reopen);
    EXPECT_TRUE(app.isActive());
    EXPECT_EQ(app.activationCount(), 1);
}

// Closing hides; re-opening shows the same window with the engine untouched.
TEST_F(LifecycleTest, ClosedWindowComesBackOnReopenWithItsEngine) {
    auto harness = launch({"Kestralune"});
    harness->call("startSession");
    harness->window().close();
    EXPECT_FALSE(harness->window().isVisible());
    EXPECT_FALSE(harness->host->delegate->applicationShouldTerminateAfterLastWindowClosed());

    EXPECT_TRUE(successValue(harness->control("reopen")).isNull());
    EXPECT_TRUE(harness->window().isVisible());
    EXPECT_EQ(harness->window().lastForwardVariant(), ForwardVariant::reopen);
    EXPECT_FALSE(harness->host->delegate->applicationShouldHandleReopen(true));
    EXPECT_EQ(engine->stops, 0);
    EXPECT_EQ(engine->started.size(), 1u);
}

// Quit protection: refused with a notice per request during a session, at once otherwise.
TEST_F(LifecycleTest, QuitIsRefusedWithANoticeDuringASession) {
    auto harness = launch({"Kestralune"});
    bool handlerRan = false;
    harness->application().setTerminationHandler([&handlerRan] { handlerRan = true; });
    harness->call("syncMenuBarState",
                  encodableMap({{"localizedLabels",
                                 encodableMap({{"quitBlockedTitle", "Nope"}, {"ok", "Fine"}})}}));
    harness->call("startSession");

    EXPECT_EQ(successMap(harness->control("quit")), encodableMap({{"terminated", false}}));
    EXPECT_FALSE(harness->application().terminate());
    EXPECT_TRUE(harness->alerts.shownAlerts().empty()) << "the notice is queued";
    harness->loop.runUntilIdle();
    ASSERT_EQ(harness->alerts.shownAlerts().size(), 2u);
    const auto& notice = harness->alerts.shownAlerts()[0];
    EXPECT_EQ(notice.style, Alert::Style::informational);
    EXPECT_EQ(notice.messageText, "Nope");
    EXPECT_EQ(notice.informativeText,
              "Kestralune needs to keep running to block distracting apps and websites.");
    EXPECT_EQ(notice.buttons, std::vector<std::string>{"Fine"});
    EXPECT_FALSE(handlerRan);

    harness->call("stopSession");
    EXPECT_EQ(successMap(harness->control("quit")), encodableMap({{"terminated", true}}));
    EXPECT_TRUE(handlerRan);
    harness->loop.runUntilIdle();
    EXPECT_EQ(harness->alerts.shownAlerts().size(), 2u);
}

TEST_F(LifecycleTest, UnlockRequestResolutionsAreRecognisedAndOthersPassedOn) {
    struct Row {
        EncodableMap payload;
        RemoteNotificationRoute route;
    };
    const std::vector<Row> rows{
        {encodableMap({{"type", "unlock_request_resolved"}, {"requestId", "r-1"}}),
         RemoteNotificationRoute::unlockRequestResolved},
        {encodableMap({{"type", "unlock_request_resolved"}, {"requestId", ""}}),
         RemoteNotificationRoute::passedOn},
        {encodableMap({{"type", "unlock_request_resolved"}}), RemoteNotificationRoute::passedOn},
        {encodableMap({{"type", "unlock_request_resolved"}, {"requestId", std::int32_t{7}}}),
         RemoteNotificationRoute::passedOn},
        {encodableMap({{"type", "message"}, {"requestId", "r-1"}}),
         RemoteNotificationRoute::passedOn},
        {encodableMap({{"requestId", "r-1"}}), RemoteNotificationRoute::passedOn},
    };
    auto harness = launch({"Kestralune"});
    for (const auto& row : rows) {
        EXPECT_EQ(harness->host->delegate->applicationDidReceiveRemoteNotification(row.payload),
                  row.route);
    }
    EXPECT_EQ(unlockRequestResolution(rows[0].payload), "r-1");
}

// URL arguments are handed to the router in order after launch.
TEST_F(LifecycleTest, LaunchURLsAreOpenedAfterTheStartUp) {
    auto harness = HostHarness::withFakeEngine(engine);
    harness->host->finishLaunching(
        {"kestralune://invite?code=1", "kestralune://auth-callback?c=2"});
    EXPECT_EQ(methodsOf(harness->sentToUI()),
              (std::vector<std::string>{"inviteLinkReceived", "authLinkReceived"}));
}

TEST(UrlArgumentsTest, ArgumentsContainingSchemeSeparatorAreURLs) {
    EXPECT_EQ(urlArguments({"kestralune://invite?x", "--kestralune-scheduled-launch",
                            "kestralune://invite?a", "https://k.example/invite/b", "plain",
                            "mailto:someone"}),
              (std::vector<std::string>{"kestralune://invite?a", "https://k.example/invite/b"}))
        << "the program name is never a URL";
}

class ControlChannelTest : public FakeEngineHostTest {};

TEST_F(ControlChannelTest, GetMenuDescribesEveryEntry) {
    const auto menu = successValue(harness->control("getMenu"));
    const auto* entries = menu.getIf<EncodableList>();
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 10u);
    EXPECT_EQ((*entries)[0], EncodableValue(encodableMap({{"kind", "item"},
                                                          {"title", "Kestralune"},
                                                          {"enabled", false},
                                                          {"action", EncodableValue()}})));
    EXPECT_EQ((*entries)[1], EncodableValue(encodableMap({{"kind", "separator"},
                                                          {"title", ""},
                                                          {"enabled", false},
                                                          {"action", EncodableValue()}})));
    EXPECT_EQ((*entries)[5], EncodableValue(encodableMap({{"kind", "item"},
                                                          {"title", "Website blocking"},
                                                          {"enabled", true},
                                                          {"action", "websites"}})));
}

TEST_F(ControlChannelTest, ChooseMenuItemRefusesHiddenDisabledAndMistypedActions) {
    harness->call("syncMenuBarState", encodableMap({{"unlockRequestPending", true}}));
    for (const EncodableValue& argument :
         {EncodableValue("toggleBlock"), EncodableValue("updates"), EncodableValue("Websites"),
          EncodableValue(), EncodableValue(EncodableList{"websites"})}) {
        const auto reply = harness->control("chooseMenuItem", argument);
        const auto* error = std::get_if<MethodError>(&reply);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, "unknown_item");
    }
    EXPECT_TRUE(successValue(harness->control("chooseMenuItem", "websites")).isNull());
    harness->loop.advance(0.08);
    EXPECT_EQ(methodsOf(harness->sentToUI()), std::vector<std::string>{"menuBarAction"});
}

TEST_F(ControlChannelTest, OpenURLsSkipsNonStringsAndUnknownNamesAreNotImplemented) {
    EXPECT_TRUE(successValue(harness->control("openURLs", EncodableList{std::int32_t{1},
                                                                        "kestralune://invite?z"}))
                    .isNull());
    EXPECT_EQ(harness->sentToUI(),
              (std::vector<MethodCall>{{"inviteLinkReceived", "kestralune://invite?z"}}));
    EXPECT_TRUE(successValue(harness->control("openURLs", "kestralune://invite?y")).isNull());
    EXPECT_EQ(harness->sentToUI().size(), 1u) << "a bare string is not a list";
    EXPECT_TRUE(isNotImplemented(harness->control("Quit")));
    EXPECT_TRUE(isNotImplemented(harness->control("getBlockingStatus")));
}

}  // namespace
}  // namespace kestralune::host_test
