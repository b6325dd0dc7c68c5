#include "host/menu_bar_controller.h"

#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

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

std::vector<std::string> titles(const std::vector<MenuItem>& menu) {
    std::vector<std::string> result;
    for (const auto& item : menu) {
        if (item.kind == MenuItem::Kind::item) {
            result.push_back(item.title);
        }
    }
    return result;
}

class MenuBarControllerTest : public FakeEngineHostTest {
  protected:
    KestraluneMenuBarController& controller() { return *harness->host->menuBarController; }
    const std::vector<MenuItem>& menu() { return controller().statusItem()->menu; }
    void sync(const EncodableMap& state) { controller().sync(state); }
};

// The status item and the menu as the window set-up leaves them.
TEST_F(MenuBarControllerTest, InstalledMenuMatchesTheTableWithDefaultTexts) {
    const auto& item = controller().statusItem();
    ASSERT_TRUE(item);
    EXPECT_EQ(item->image.width, 18);
    EXPECT_EQ(item->image.height, 18);
    EXPECT_FALSE(item->image.isTemplate);
    EXPECT_EQ(item->imagePosition, StatusItem::ImagePosition::imageOnly);
    EXPECT_EQ(item->accessibilityLabel, "Kestralune");
    EXPECT_EQ(menu(), (std::vector<MenuItem>{
                          inert("Kestralune"),
                          separator(),
                          action("Block now", "toggleBlock"),
                          separator(),
                          action("App blocking", "apps"),
                          action("Website blocking", "websites"),
                          action("Settings", "settings"),
                          separator(),
                          action("Open Kestralune", "open"),
                          action("Quit Kestralune", "quit"),
                      }));
}

struct StateLineRow {
    EncodableMap state;
    std::optional<std::string> line;
};

// At most one state line, and the pause line wins over the blocking line.
TEST_F(MenuBarControllerTest, StateLineFollowsThePauseAndSessionFlags) {
    const std::vector<StateLineRow> rows{
        {encodableMap({{"sessionActive", true}, {"sessionPaused", true}}), "Break is active"},
        {encodableMap({{"sessionActive", true}, {"sessionPaused", false}}), "Blocking is active"},
        {encodableMap({{"sessionActive", false}, {"sessionPaused", true}}), "Break is active"},
        {encodableMap({{"sessionActive", false}, {"sessionPaused", false}}), std::nullopt},
    };
    for (const auto& row : rows) {
        sync(row.state);
        const auto& line = menu()[3];
        if (row.line) {
            EXPECT_EQ(line, inert(*row.line));
        } else {
            EXPECT_EQ(line, separator());
        }
    }
}

// A sync carrying only the title must not reset the flags or the labels.
TEST_F(MenuBarControllerTest, SyncWithOnlyTheTitleKeepsFlagsAndLabels) {
    sync(encodableMap({{"sessionActive", true},
                       {"unlockRequestPending", true},
                       {"localizedLabels", encodableMap({{"websites", "Sites web"}})}}));
    sync(encodableMap({{"blockActionTitle", "Stop blocking"}}));
    EXPECT_EQ(menu()[2], action("Stop blocking", "toggleBlock", false));
    EXPECT_EQ(menu()[3], inert("Blocking is active"));
    EXPECT_EQ(menu()[6], action("Sites web", "websites"));
}

// Keys of the wrong type keep the current values.
TEST_F(MenuBarControllerTest, MistypedKeysKeepTheirCurrentValues) {
    sync(encodableMap({{"sessionActive", true}, {"blockActionTitle", "Stop"}}));
    sync(encodableMap({{"sessionActive", std::int32_t{0}},
                       {"sessionPaused", "yes"},
                       {"blockActionTitle", std::int32_t{3}},
                       {"localizedLabels", "labels"}}));
    EXPECT_TRUE(controller().sessionActive());
    EXPECT_FALSE(controller().sessionPaused());
    EXPECT_EQ(controller().blockActionTitle(), "Stop");
}

// One non-string value spoils the whole table: partial replacement would mix languages.
TEST_F(MenuBarControllerTest, LabelsWithANumberLeaveTheTableUnchanged) {
    sync(encodableMap({{"localizedLabels", encodableMap({{"settings", "Réglages"}})}}));
    sync(encodableMap({{"localizedLabels", encodableMap({{"settings", "Einstellungen"},
                                                         {"menuQuit", std::int32_t{1}}})}}));
    EXPECT_EQ(localizedLabels(), (std::map<std::string, std::string>{{"settings", "Réglages"}}));
    EXPECT_EQ(menu()[6], action("Réglages", "settings"));
}

// The table is replaced as a whole: keys absent from the new table fall back to defaults.
TEST_F(MenuBarControllerTest, LabelTableIsReplacedAsAWholeAndAnEmptyMapClearsIt) {
    sync(encodableMap(
        {{"localizedLabels", encodableMap({{"websites", "Sites"}, {"menuOpen", "Ouvrir"}})}}));
    sync(encodableMap({{"localizedLabels", encodableMap({{"menuOpen", "Öffnen"}})}}));
    EXPECT_EQ(menu()[5], action("Website blocking", "websites"));
    EXPECT_EQ(menu()[8], action("Öffnen", "open"));

    sync(encodableMap({{"localizedLabels", EncodableMap{}}}));
    EXPECT_TRUE(localizedLabels().empty());
    EXPECT_EQ(titles(menu()), (std::vector<std::string>{"Kestralune", "Block now", "App blocking",
                                                        "Website blocking", "Settings",
                                                        "Open Kestralune", "Quit Kestralune"}));
}

// The quit item is hidden during a session and returns with the next rebuild after it.
TEST_F(MenuBarControllerTest, QuitItemIsAbsentWhileASessionRuns) {
    harness->call("startSession");
    sync(encodableMap({{"sessionActive", true}}));
    EXPECT_EQ(menu().back(), action("Open Kestralune", "open"));
    EXPECT_FALSE(controller().chooseMenuItem("quit"));

    harness->call("stopSession");
    EXPECT_EQ(menu().back(), action("Open Kestralune", "open")) << "no rebuild without a sync";
    sync(encodableMap({{"sessionActive", false}}));
    EXPECT_EQ(menu().back(), action("Quit Kestralune", "quit"));
}

TEST_F(MenuBarControllerTest, PendingUnlockRequestDisablesTheBlockAction) {
    sync(encodableMap({{"unlockRequestPending", true}}));
    EXPECT_FALSE(menu()[2].enabled);
    EXPECT_FALSE(controller().chooseMenuItem("toggleBlock"));
    sync(encodableMap({{"unlockRequestPending", false}}));
    EXPECT_TRUE(controller().chooseMenuItem("toggleBlock"));
}

// "open" only brings the window forward; nothing reaches the UI, even much later.
TEST_F(MenuBarControllerTest, ChoosingOpenBringsTheWindowForwardAndSendsNothing) {
    harness->window().close();
    ASSERT_TRUE(controller().chooseMenuItem("open"));
    EXPECT_TRUE(harness->application().forwardRequests().empty()) << "hops through the queue";
    harness->loop.runUntilIdle();
    EXPECT_EQ(harness->application().forwardRequests(),
              std::vector<ForwardVariant>{ForwardVariant::menuAction});
    EXPECT_TRUE(harness->window().isVisible());
    EXPECT_EQ(harness->window().orderFrontRegardlessCount(), 1);
    harness->loop.advance(5);
    EXPECT_TRUE(harness->sentToUI().empty());
}

// UI-bound identifiers are sent exactly 0.08 s after the window came forward.
TEST_F(MenuBarControllerTest, ChoosingWebsitesSendsMenuBarActionAfterTheDelay) {
    ASSERT_TRUE(controller().chooseMenuItem("websites"));
    harness->loop.runUntilIdle();
    EXPECT_EQ(harness->application().forwardRequests().size(), 1u);
    harness->loop.advance(0.079);
    EXPECT_TRUE(harness->sentToUI().empty());
    harness->loop.advance(0.001);
    const auto sent = harness->sentToUI();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (MethodCall{"menuBarAction", "websites"}));
}

TEST_F(MenuBarControllerTest, UpdatesAndItemsWithoutAnIdentifierDoNotCrash) {
    controller().handleMenuItem(action("Check for updates", "updates"));
    controller().handleMenuItem(inert("Kestralune"));
    harness->loop.advance(1);
    EXPECT_EQ(harness->application().forwardRequests().size(), 1u) << "only the updates item";
    EXPECT_TRUE(harness->sentToUI().empty());
    EXPECT_FALSE(controller().chooseMenuItem("updates")) << "the updater is not supported";
}

// The menu's quit goes through quit protection like any other quit request.
TEST_F(MenuBarControllerTest, QuitItemTerminatesOnlyOutsideASession) {
    harness->call("startSession");
    controller().handleMenuItem(action("Quit Kestralune", "quit"));
    harness->loop.runUntilIdle();
    EXPECT_FALSE(harness->application().isTerminated());
    EXPECT_EQ(harness->alerts.shownAlerts().size(), 1u);

    harness->call("stopSession");
    sync({});
    ASSERT_TRUE(controller().chooseMenuItem("quit"));
    harness->loop.runUntilIdle();
    EXPECT_TRUE(harness->application().isTerminated());
    EXPECT_EQ(harness->alerts.shownAlerts().size(), 1u);
}

TEST(MenuBarControllerStandaloneTest, SyncBeforeInstallKeepsStateButBuildsNoMenu) {
    ManualRunLoop loop;
    auto application = std::make_shared<Application>();
    auto controller = std::make_shared<KestraluneMenuBarController>(loop, application);
    controller->sync(encodableMap({{"sessionActive", true}, {"blockActionTitle", "Stop"}}));
    EXPECT_FALSE(controller->statusItem());
    EXPECT_TRUE(controller->sessionActive());

    InProcessMessenger messenger;
    auto channel = std::make_shared<MethodChannel>(messenger, kBlockingChannelName);
    controller->install(channel);
    ASSERT_TRUE(controller->statusItem());
    EXPECT_EQ(controller->statusItem()->menu[2], action("Stop", "toggleBlock"));

    // A UI whose channel is gone: the identifier is dropped after the window step.
    channel.reset();
    ASSERT_TRUE(controller->chooseMenuItem("apps"));
    loop.advance(1);
    EXPECT_TRUE(messenger.sentCalls().empty());
    EXPECT_EQ(application->forwardRequests().size(), 1u);
}

// Queued work holds the controller weakly: a controller gone before the delay sends nothing.
TEST(MenuBarControllerStandaloneTest, NothingIsSentWhenTheControllerIsGoneBeforeTheDelay) {
    ManualRunLoop loop;
    auto application = std::make_shared<Application>();
    auto controller = std::make_shared<KestraluneMenuBarController>(loop, application);
    InProcessMessenger messenger;
    auto channel = std::make_shared<MethodChannel>(messenger, kBlockingChannelName);
    controller->install(channel);

    ASSERT_TRUE(controller->chooseMenuItem("settings"));
    loop.runUntilIdle();
    controller.reset();
    loop.advance(1);
    EXPECT_TRUE(messenger.sentCalls().empty());
}

}  // namespace
}  // namespace kestralune::host_test
