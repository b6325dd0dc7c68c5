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

// Fault: the window set-up leaves another status item or menu than the table's, with other
// default texts; more than one state line shows, or the blocking line wins over the pause.
TEST_F(MenuBarControllerTest, InstalledMenuMatchesTheTableAndShowsOneStateLine) {
    ASSERT_TRUE(controller().statusItem());
    EXPECT_EQ(controller().statusItem()->accessibilityLabel, "Kestralune");
    EXPECT_EQ(menu(),
              (std::vector<MenuItem>{
                  inert("Kestralune"), separator(), action("Block now", "toggleBlock"), separator(),
                  action("App blocking", "apps"), action("Website blocking", "websites"),
                  action("Settings", "settings"), separator(), action("Open Kestralune", "open"),
                  action("Quit Kestralune", "quit")}));
    for (const auto& [active, paused, line] :
         {std::tuple{true, true, "Break is active"}, std::tuple{true, false, "Blocking is active"},
          std::tuple{false, true, "Break is active"}, std::tuple{false, false, ""}}) {
        sync(encodableMap({{"sessionActive", active}, {"sessionPaused", paused}}));
        EXPECT_EQ(menu()[3], *line ? inert(line) : separator());
    }
}

// Fault: a missing or mistyped key changes its value; the label table is merged instead of
// replaced whole, or taken in part when one text is not a string (mixing languages).
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
}

// Fault: the quit item shows during a session, or does not return with the next rebuild after
// it; the menu's quit bypasses quit protection.
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
    sync(encodableMap({{"sessionActive", false}}));
    ASSERT_TRUE(controller().chooseMenuItem("quit"));
    harness->loop.runUntilIdle();
    EXPECT_TRUE(harness->application().isTerminated());
}

// Fault: "open" tells the UI; a UI-bound identifier is sent before the window came forward or
// not 0.08 s after it; "updates" or an item without an identifier sends something.
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

// Fault: queued menu work keeps the controller or the channel alive, or sends once either
// is gone.
TEST(MenuBarControllerStandaloneTest, NothingIsSentOnceTheControllerOrTheChannelIsGone) {
    ManualRunLoop loop;
    auto application = std::make_shared<Application>();
    InProcessMessenger messenger;
    auto channel = std::make_shared<MethodChannel>(messenger, kBlockingChannelName);
    auto controller = std::make_shared<KestraluneMenuBarController>(loop, application);
    controller->install(channel);
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
