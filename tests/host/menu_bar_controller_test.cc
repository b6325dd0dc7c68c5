#include "host/menu_bar_controller.h"

#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace kestralune::host_test {
namespace {

MenuItem separator() {
    return MenuItem{MenuItem::Kind::separator, "", false, std::nullopt};
}
MenuItem inert(std::string title) {
    return MenuItem{MenuItem::Kind::item, std::move(title), false, std::nullopt};
}
MenuItem action(std::string title, std::string id, bool enabled = true) {
    return MenuItem{MenuItem::Kind::item, std::move(title), enabled, std::move(id)};
}

class MenuBarControllerTest : public FakeEngineHostTest {
  protected:
    KestraluneMenuBarController& controller() { return *harness->host->menuBarController; }
    const std::vector<MenuItem>& menu() { return controller().statusItem()->menu; }
    void sync(const EncodableMap& state) { controller().sync(state); }
    MenuItem itemFor(const std::string& id) {
        const auto found = std::find_if(menu().begin(), menu().end(), [&id](const MenuItem& item) {
            return item.representedObject == id;
        });
        return found == menu().end() ? inert("(missing " + id + ")") : *found;
    }
};

// The status item and the menu as the window set-up leaves them.
TEST_F(MenuBarControllerTest, InstalledMenuMatchesTheTableWithDefaultTexts) {
    const auto& item = controller().statusItem();
    ASSERT_TRUE(item);
    EXPECT_EQ(std::tuple(item->image.width, item->image.height, item->image.isTemplate),
              std::tuple(18, 18, false));
    EXPECT_EQ(item->imagePosition, StatusItem::ImagePosition::imageOnly);
    EXPECT_EQ(item->accessibilityLabel, "Kestralune");
    EXPECT_EQ(menu(),
              (std::vector<MenuItem>{
                  inert("Kestralune"), separator(), action("Block now", "toggleBlock"), separator(),
                  action("App blocking", "apps"), action("Website blocking", "websites"),
                  action("Settings", "settings"), separator(), action("Open Kestralune", "open"),
                  action("Quit Kestralune", "quit")}));
}

// At most one state line, and the pause line wins over the blocking line.
TEST_F(MenuBarControllerTest, StateLineFollowsThePauseAndSessionFlags) {
    for (const auto& [active, paused, line] :
         {std::tuple{true, true, "Break is active"}, std::tuple{true, false, "Blocking is active"},
          std::tuple{false, true, "Break is active"}, std::tuple{false, false, ""}}) {
        sync(encodableMap({{"sessionActive", active}, {"sessionPaused", paused}}));
        EXPECT_EQ(menu()[3], *line ? inert(line) : separator());
    }
}

// Missing or mistyped keys keep their values; the label table is replaced as a whole, except
// that one non-string text leaves it unchanged (a partial table would mix languages).
TEST_F(MenuBarControllerTest, SyncKeepsWhatItDoesNotCarryAndReplacesLabelsWhole) {
    sync(encodableMap(
        {{"sessionActive", true},
         {"unlockRequestPending", true},
         {"localizedLabels", encodableMap({{"websites", "Sites"}, {"settings", "R"}})}}));
    sync(encodableMap({{"blockActionTitle", "Stop blocking"}}));
    sync(encodableMap(
        {{"sessionActive", std::int32_t{0}},
         {"sessionPaused", "yes"},
         {"localizedLabels", encodableMap({{"settings", "E"}, {"ok", std::int32_t{1}}})}}));
    EXPECT_EQ(itemFor("toggleBlock"), action("Stop blocking", "toggleBlock", false));
    EXPECT_EQ(menu()[3], inert("Blocking is active"));
    EXPECT_EQ(itemFor("websites"), action("Sites", "websites"));
    EXPECT_EQ(itemFor("settings"), action("R", "settings"));

    sync(encodableMap({{"localizedLabels", encodableMap({{"menuOpen", "Ouvrir"}})}}));
    EXPECT_EQ(itemFor("websites"), action("Website blocking", "websites"));
    EXPECT_EQ(itemFor("open"), action("Ouvrir", "open"));
    sync(encodableMap({{"blockActionTitle", std::int32_t{3}}, {"unlockRequestPending", false}}));
    EXPECT_EQ(itemFor("toggleBlock"), action("Stop blocking", "toggleBlock"));
    sync(encodableMap({{"localizedLabels", EncodableMap{}}}));
    EXPECT_EQ(itemFor("open"), action("Open Kestralune", "open"));
}

// The quit item is hidden during a session and returns with the next rebuild after it; the
// menu's quit goes through quit protection like any other quit request.
TEST_F(MenuBarControllerTest, QuitItemIsAbsentDuringASessionAndProtectedAnyway) {
    harness->call("startSession");
    sync(encodableMap({{"sessionActive", true}}));
    EXPECT_EQ(menu().back(), action("Open Kestralune", "open"));
    EXPECT_FALSE(controller().chooseMenuItem("quit"));
    controller().handleMenuItem(action("Quit Kestralune", "quit"));
    harness->loop.runUntilIdle();
    EXPECT_FALSE(harness->application().isTerminated());
    EXPECT_EQ(harness->alerts.shownAlerts().size(), 1u);

    harness->call("stopSession");
    EXPECT_EQ(menu().back(), action("Open Kestralune", "open")) << "no rebuild without a sync";
    sync(encodableMap({{"sessionActive", false}}));
    ASSERT_TRUE(controller().chooseMenuItem("quit"));
    harness->loop.runUntilIdle();
    EXPECT_TRUE(harness->application().isTerminated());
}

// "open" only brings the window forward; UI-bound identifiers are sent exactly 0.08 s after
// the window came forward; "updates" and items without an identifier send nothing.
TEST_F(MenuBarControllerTest, ChosenItemsBringTheWindowForwardAndTellTheUILater) {
    harness->window().close();
    ASSERT_TRUE(controller().chooseMenuItem("open"));
    EXPECT_TRUE(harness->application().forwardRequests().empty()) << "hops through the queue";
    harness->loop.advance(5);
    EXPECT_TRUE(harness->window().isVisible());
    EXPECT_EQ(harness->window().lastForwardVariant(), ForwardVariant::menuAction);
    EXPECT_TRUE(harness->sentToUI().empty());

    controller().handleMenuItem(action("Check for updates", "updates"));
    controller().handleMenuItem(inert("Kestralune"));
    EXPECT_FALSE(controller().chooseMenuItem("updates")) << "the updater is not supported";
    ASSERT_TRUE(controller().chooseMenuItem("websites"));
    harness->loop.runUntilIdle();
    EXPECT_EQ(harness->application().forwardRequests().size(), 3u);
    harness->loop.advance(0.079);
    EXPECT_TRUE(harness->sentToUI().empty());
    harness->loop.advance(0.001);
    EXPECT_EQ(harness->sentToUI(), (std::vector<MethodCall>{{"menuBarAction", "websites"}}));
}

// A sync before install keeps state but builds no menu; queued work holds the controller
// and the channel weakly, so nothing is sent once either is gone.
TEST(MenuBarControllerStandaloneTest, StateBeforeInstallAndNothingSentOnceGone) {
    ManualRunLoop loop;
    auto application = std::make_shared<Application>();
    auto controller = std::make_shared<KestraluneMenuBarController>(loop, application);
    controller->sync(encodableMap({{"sessionActive", true}, {"blockActionTitle", "Stop"}}));
    EXPECT_FALSE(controller->statusItem());
    InProcessMessenger messenger;
    auto channel = std::make_shared<MethodChannel>(messenger, kBlockingChannelName);
    controller->install(channel);
    EXPECT_EQ(controller->statusItem()->menu[2], action("Stop", "toggleBlock"));

    ASSERT_TRUE(controller->chooseMenuItem("settings"));
    loop.runUntilIdle();
    controller.reset();
    loop.advance(1);
    auto second = std::make_shared<KestraluneMenuBarController>(loop, application);
    second->install(channel);
    channel.reset();
    ASSERT_TRUE(second->chooseMenuItem("apps"));
    loop.advance(1);
    EXPECT_TRUE(messenger.sentCalls().empty());
    EXPECT_EQ(application->forwardRequests().size(), 2u);
}

}  // namespace
}  // namespace kestralune::host_test
