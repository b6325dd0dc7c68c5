#include "host/app_delegate.h"
#include "host/application_startup.h"
#include "host/control_channel_handler.h"
#include "platform/testing/log_capture.h"
#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

namespace kestralune::host_test {
namespace {

class LifecycleTest : public FakeEngineHostTest {};

// A host through its launch (set-up, queued work, the delegate's finish), window miniaturised.
std::unique_ptr<HostHarness> launch(std::vector<std::string> arguments) {
    auto launched = std::make_unique<HostHarness>(std::move(arguments));
    EXPECT_FALSE(launched->host->startup->started());
    launched->window().miniaturize();
    launched->host->finishLaunching({});
    launched->loop.runUntilIdle();
    launched->host->delegate->applicationDidFinishLaunching();
    return launched;
}

// Fault: the start-up runs in the window set-up, or twice (the delegate asks again); a flag but
// the exact one brings the window forward, or that one leaves it miniaturised or inactive.
TEST_F(LifecycleTest, StartUpRunsOnceAndOnlyTheExactFlagBringsTheWindowForward) {
    LogCapture log;
    auto scheduled = launch({"Kestralune", "kestralune://x", "--kestralune-scheduled-launch"});
    EXPECT_EQ(log.count("Kestralune background startup status: {\\n    status = "
                        "installRequired;\\n}"),
              1);
    EXPECT_EQ(scheduled->application().forwardRequests(),
              std::vector{ForwardVariant::scheduledLaunch});
    EXPECT_TRUE(scheduled->window().isVisible() && !scheduled->window().isMiniaturized());
    EXPECT_TRUE(scheduled->window().isKeyWindow() && scheduled->application().isActive());
    for (const char* near : {"--kestralune-scheduled-launch=1", "--kestralune-scheduled-launchX",
                             "-kestralune-scheduled-launch", "--Kestralune-Scheduled-Launch",
                             " --kestralune-scheduled-launch"}) {
        EXPECT_FALSE(isScheduledLaunch({"Kestralune", near})) << near;
    }
    auto plain = launch({"Kestralune", "--kestralune-scheduled-launchX"});
    EXPECT_TRUE(plain->application().forwardRequests().empty());
    EXPECT_TRUE(plain->window().isMiniaturized());
}

// Fault: a way of bringing the window forward leaves some state as it was, or orders it front
// regardless where only the menu action and re-opening may; without a window none activates.
TEST_F(LifecycleTest, EachForwardVariantRestoresTheWindowAndActivates) {
    auto& app = harness->application();
    auto& window = harness->window();
    for (const auto& [variant, frontRegardless] :
         {std::pair{ForwardVariant::scheduledLaunch, 0}, std::pair{ForwardVariant::deepLink, 0},
          std::pair{ForwardVariant::menuAction, 1}, std::pair{ForwardVariant::reopen, 1}}) {
        app.setActivationPolicy(ActivationPolicy::accessory);
        app.hide();
        app.deactivate();
        window.miniaturize();
        const int before = window.orderFrontRegardlessCount();
        app.bringMainWindowForward(variant);
        EXPECT_EQ(app.activationPolicy(), ActivationPolicy::regular);
        EXPECT_TRUE(!app.isHidden() && app.isActive());
        EXPECT_TRUE(!window.isMiniaturized() && window.isKeyWindow());
        EXPECT_EQ(window.orderFrontRegardlessCount() - before, frontRegardless);
        EXPECT_EQ(window.lastForwardVariant(), variant);
    }
    Application windowless;
    windowless.bringMainWindowForward(ForwardVariant::reopen);
    EXPECT_EQ(windowless.activationCount(), 1);
}

// Fault: closing the window quits or stops the session; re-opening shows another window, or
// lets the system bring one forward a second time.
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

// Fault: a notification that is not an unlock-request resolution with a non-empty string id
// is taken for one, or one is passed on.
TEST_F(LifecycleTest, UnlockRequestResolutionsAreRecognisedAndOthersPassedOn) {
    using Route = RemoteNotificationRoute;
    const auto resolved = encodableMap({{"type", "unlock_request_resolved"}, {"requestId", "r-1"}});
    const std::vector<std::pair<EncodableMap, Route>> rows{
        {resolved, Route::unlockRequestResolved},
        {encodableMap({{"type", "unlock_request_resolved"}, {"requestId", ""}}), Route::passedOn},
        {encodableMap({{"type", "unlock_request_resolved"}, {"requestId", std::int32_t{7}}}),
         Route::passedOn},
        {encodableMap({{"type", "message"}, {"requestId", "r-1"}}), Route::passedOn},
    };
    for (const auto& [payload, route] : rows) {
        EXPECT_EQ(harness->host->delegate->applicationDidReceiveRemoteNotification(payload), route);
    }
    EXPECT_EQ(unlockRequestResolution(resolved), "r-1");
}

// Fault: the control channel chooses what a click could not (a hidden, disabled, unknown or
// mistyped item), or answers names it does not serve.
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
