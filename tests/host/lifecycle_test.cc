#include "host/app_delegate.h"
#include "host/application_startup.h"
#include "host/control_channel_handler.h"
#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

namespace kestralune::host_test {
namespace {

using Variants = std::vector<ForwardVariant>;

class LifecycleTest : public FakeEngineHostTest {
  protected:
    std::unique_ptr<HostHarness> launch(std::vector<std::string> arguments) {
        auto launched = HostHarness::withFakeEngine(engine, std::move(arguments));
        launched->window().miniaturize();
        EXPECT_FALSE(launched->host->startup->started()) << "the set-up only queues it";
        launched->host->finishLaunching({});
        launched->loop.runUntilIdle();
        launched->host->delegate->applicationDidFinishLaunching();
        return launched;
    }
};

// Requested by the window set-up and by the delegate, the start-up runs once; only the exact
// flag brings the window forward, deminiaturised and active.
TEST_F(LifecycleTest, StartUpRunsOnceAndOnlyTheExactFlagBringsTheWindowForward) {
    auto scheduled = launch({"Kestralune", "kestralune://x", "--kestralune-scheduled-launch"});
    EXPECT_EQ(scheduled->application().forwardRequests(),
              Variants{ForwardVariant::scheduledLaunch});
    EXPECT_TRUE(scheduled->window().isVisible() && scheduled->window().isKeyWindow());
    EXPECT_TRUE(scheduled->application().isActive());
    EXPECT_EQ(scheduled->window().minSize(), (MainFlutterWindow::Size{760, 680}));

    for (const char* near : {"--kestralune-scheduled-launch=1", "--kestralune-scheduled-launchX",
                             "-kestralune-scheduled-launch", "--Kestralune-Scheduled-Launch",
                             " --kestralune-scheduled-launch"}) {
        EXPECT_FALSE(isScheduledLaunch({"Kestralune", near})) << near;
    }
    auto plain = launch({"Kestralune", "--kestralune-scheduled-launchX"});
    EXPECT_TRUE(plain->application().forwardRequests().empty());
    EXPECT_TRUE(plain->window().isMiniaturized());
}

// Every variant: policy regular, unhidden, deminiaturised, key, activated; only the menu
// action and re-open order the window front regardless. Without a window it still activates.
TEST_F(LifecycleTest, EachForwardVariantRestoresTheWindowAndActivates) {
    for (const auto& [variant, frontRegardless] :
         {std::pair{ForwardVariant::scheduledLaunch, 0}, std::pair{ForwardVariant::deepLink, 0},
          std::pair{ForwardVariant::menuAction, 1}, std::pair{ForwardVariant::reopen, 1}}) {
        auto launched = launch({"Kestralune"});
        auto& app = launched->application();
        app.setActivationPolicy(ActivationPolicy::accessory);
        app.hide();
        app.deactivate();
        app.bringMainWindowForward(variant);
        EXPECT_EQ(app.activationPolicy(), ActivationPolicy::regular);
        EXPECT_TRUE(!app.isHidden() && app.isActive());
        EXPECT_TRUE(!launched->window().isMiniaturized() && launched->window().isKeyWindow());
        EXPECT_EQ(launched->window().orderFrontRegardlessCount(), frontRegardless);
        EXPECT_EQ(launched->window().lastForwardVariant(), variant);
    }
    Application windowless;
    windowless.bringMainWindowForward(ForwardVariant::reopen);
    EXPECT_EQ(windowless.activationCount(), 1);
}

// Closing hides; re-opening shows the same window with the engine untouched.
TEST_F(LifecycleTest, ClosedWindowComesBackOnReopenWithItsEngine) {
    harness->call("startSession");
    harness->window().close();
    EXPECT_FALSE(harness->window().isVisible());
    EXPECT_FALSE(harness->host->delegate->applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_TRUE(successValue(harness->control("reopen")).isNull());
    EXPECT_TRUE(harness->window().isVisible());
    EXPECT_EQ(harness->window().lastForwardVariant(), ForwardVariant::reopen);
    EXPECT_FALSE(harness->host->delegate->applicationShouldHandleReopen(true));
    EXPECT_EQ(engine->stops, 0);
}

TEST_F(LifecycleTest, UnlockRequestResolutionsAreRecognisedAndOthersPassedOn) {
    using Route = RemoteNotificationRoute;
    const auto resolved = encodableMap({{"type", "unlock_request_resolved"}, {"requestId", "r-1"}});
    const std::vector<std::pair<EncodableMap, Route>> rows{
        {resolved, Route::unlockRequestResolved},
        {encodableMap({{"type", "unlock_request_resolved"}, {"requestId", ""}}), Route::passedOn},
        {encodableMap({{"type", "unlock_request_resolved"}}), Route::passedOn},
        {encodableMap({{"type", "unlock_request_resolved"}, {"requestId", std::int32_t{7}}}),
         Route::passedOn},
        {encodableMap({{"type", "message"}, {"requestId", "r-1"}}), Route::passedOn},
        {encodableMap({{"requestId", "r-1"}}), Route::passedOn},
    };
    for (const auto& [payload, route] : rows) {
        EXPECT_EQ(harness->host->delegate->applicationDidReceiveRemoteNotification(payload), route);
    }
    EXPECT_EQ(unlockRequestResolution(resolved), "r-1");
}

// Choosing on the control channel refuses what a click could not do: hidden, disabled,
// unknown or mistyped actions.
TEST_F(LifecycleTest, ControlChannelChoosesOnlyWhatAClickCould) {
    harness->call("syncMenuBarState", encodableMap({{"unlockRequestPending", true}}));
    for (const EncodableValue& argument :
         {EncodableValue("toggleBlock"), EncodableValue("updates"), EncodableValue("Websites"),
          EncodableValue(), EncodableValue(EncodableList{"websites"})}) {
        const auto reply = harness->control("chooseMenuItem", argument);
        const auto* error = std::get_if<MethodError>(&reply);
        EXPECT_TRUE(error && error->code == "unknown_item");
    }
    EXPECT_TRUE(successValue(harness->control("chooseMenuItem", "websites")).isNull());
    EXPECT_TRUE(isNotImplemented(harness->control("Quit")));
    EXPECT_TRUE(isNotImplemented(harness->control("getBlockingStatus")));
}

}  // namespace
}  // namespace kestralune::host_test
