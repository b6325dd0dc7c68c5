#include "host/updater.h"

#include "tests/host/host_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace kestralune::host_test {
namespace {

const Bundle kReleaseBundle{"/nowhere/Kestralune.app", "com.orrindale.app", {}, "/nowhere/k"};

MethodError errorOf(const MethodReply& reply) {
    const auto* error = std::get_if<MethodError>(&reply);
    EXPECT_TRUE(error) << "the reply is not an error";
    return error ? *error : MethodError{};
}

// A host whose bundle may have an updater, started as at launch.
class UpdaterTest : public ::testing::Test {
  protected:
    void launch(Bundle bundle = kReleaseBundle) {
        harness = std::make_unique<HostHarness>(std::vector<std::string>{"Kestralune"},
                                                std::move(bundle));
        harness->host->finishLaunching({});
        harness->loop.runUntilIdle();
    }
    MethodReply updater(const std::string& method, EncodableValue arguments = {}) {
        return harness->call(method, std::move(arguments), KestraluneUpdater::kChannelName);
    }
    std::vector<std::string> applicationMenuTitles() {
        std::vector<std::string> titles;
        for (const auto& item : *harness->application().applicationMenu()) {
            titles.push_back(item.title);
        }
        return titles;
    }
    bool statusBarOffersUpdates() {
        for (const auto& item : harness->host->menuBarController->statusItem()->menu) {
            if (item.representedObject == "updates") {
                return item.title == "Check for updates";
            }
        }
        return false;
    }
    std::size_t notices() { return harness->alerts.shownAlerts().size(); }
    int statusChangesSent() {
        int count = 0;
        for (const auto& sent : harness->messenger.sentCalls()) {
            count += sent.channel == KestraluneUpdater::kChannelName &&
                     sent.call.method == "statusChanged" && sent.call.arguments.isNull();
        }
        return count;
    }
    std::function<void()> countingInstall(int& runs) {
        return [&runs] { ++runs; };
    }
    KestraluneUpdater& bridge() { return *harness->host->updater; }

    std::unique_ptr<HostHarness> harness;
};

// Fault: a copy from the App Store, or with another identifier, gets an updater, a menu item,
// or a "check" that does anything but answer "unavailable".
TEST_F(UpdaterTest, OnlyTheDirectReleaseHasAnUpdater) {
    const auto folder = std::filesystem::temp_directory_path() / "kestralune-receipt-test";
    std::filesystem::create_directories(folder / "Contents" / "_MASReceipt");
    std::ofstream(folder / "Contents" / "_MASReceipt" / "receipt") << "receipt";
    const Bundle storeCopy{folder.string(), "com.orrindale.app", {}, "/nowhere/k"};
    const Bundle otherIdentifier{"/nowhere", "com.orrindale.app.beta", {}, "/nowhere/k"};
    for (const auto& bundle : {storeCopy, otherIdentifier}) {
        launch(bundle);
        EXPECT_EQ(successMap(updater("status")), (EncodableMap{{"available", false},
                                                               {"updateAvailable", false},
                                                               {"automaticChecks", false},
                                                               {"canCheck", false}}));
        EXPECT_EQ(errorOf(updater("check")).code, "unavailable");
        EXPECT_EQ(errorOf(updater("check")).message, "Update checking is unavailable.");
        EXPECT_EQ(applicationMenuTitles(),
                  (std::vector<std::string>{"About Kestralune", "", "Hide Kestralune", "",
                                            "Quit Kestralune"}));
        EXPECT_FALSE(statusBarOffersUpdates());
        EXPECT_EQ(harness->updaterController->checks, 0);
    }
    std::filesystem::remove_all(folder);

    launch();
    EXPECT_EQ(applicationMenuTitles(),
              (std::vector<std::string>{"About Kestralune", "", "Check for Updates…",
                                        "Hide Kestralune", "", "Quit Kestralune"}));
    EXPECT_EQ((*harness->application().applicationMenu())[2].action, "checkForUpdates:");
    EXPECT_TRUE(statusBarOffersUpdates());
    EXPECT_EQ(successMap(updater("status"))[EncodableValue("available")], EncodableValue(true));
}

// Fault: a check runs during a session or an open schedule window, or the menu checks instead
// of showing the notice; a check the updater cannot make is started anyway.
TEST_F(UpdaterTest, ChecksWaitForTheEndOfBlockingTime) {
    launch();
    auto& controller = *harness->updaterController;
    controller.canCheck = false;
    EXPECT_EQ(errorOf(updater("check")).code, "unavailable");
    controller.canCheck = true;

    harness->call("startSession", EncodableMap{});
    const auto refused = errorOf(updater("check"));
    EXPECT_EQ(refused.code, "blocking");
    EXPECT_EQ(refused.message, "Check for updates after your block ends.");
    EXPECT_TRUE(refused.details.isNull());
    EXPECT_EQ(successValue(harness->control("chooseApplicationMenuItem", "Check for Updates…")),
              EncodableValue());
    harness->call("stopSession");
    harness->scheduleOpen = true;
    EXPECT_EQ(errorOf(updater("check")).code, "blocking");
    ASSERT_TRUE(harness->host->menuBarController->chooseMenuItem("updates"));
    harness->loop.runUntilIdle();
    EXPECT_EQ(controller.checks, 0);
    ASSERT_EQ(notices(), 2u);
    EXPECT_EQ(harness->alerts.shownAlerts()[1].messageText,
              "You can’t quit Kestralune while a blocking session is active");

    harness->scheduleOpen = false;
    EXPECT_EQ(successValue(updater("check")), EncodableValue());
    harness->control("chooseApplicationMenuItem", "Check for Updates…");
    EXPECT_EQ(controller.checks, 2);
}

// Fault: a non-Boolean changes the setting, the reply is not the status map, results are not
// kept or not announced, or an unknown method is answered.
TEST_F(UpdaterTest, StatusFollowsTheSettingAndTheLastCheck) {
    launch();
    for (const auto& argument : {EncodableValue("false"), EncodableValue(0), EncodableValue()}) {
        EXPECT_EQ(
            successMap(updater("setAutomaticChecks", argument))[EncodableValue("automaticChecks")],
            EncodableValue(true));
    }
    EXPECT_EQ(successMap(updater("setAutomaticChecks", false)),
              (EncodableMap{{"available", true},
                            {"updateAvailable", false},
                            {"automaticChecks", false},
                            {"canCheck", true}}));

    bridge().updaterDidFindValidUpdate(AppcastItem{});
    EXPECT_EQ(successMap(updater("status"))[EncodableValue("updateAvailable")],
              EncodableValue(true));
    bridge().updaterDidNotFindUpdate();
    EXPECT_EQ(successMap(updater("status"))[EncodableValue("updateAvailable")],
              EncodableValue(false));
    EXPECT_EQ(statusChangesSent(), 2);
    EXPECT_TRUE(isNotImplemented(updater("install")));
}

// Fault: a relaunch interrupts a session, is lost, runs twice, runs late, or an earlier
// postponed block survives a later one.
TEST_F(UpdaterTest, PostponedRelaunchRunsWithin15SecondsOfTheBlockEnding) {
    launch();
    int first = 0;
    int second = 0;
    int immediate = 0;
    EXPECT_FALSE(bridge().updaterShouldPostponeRelaunchForUpdate({}, countingInstall(immediate)));
    EXPECT_EQ(immediate, 0);

    harness->call("startSession", EncodableMap{});
    EXPECT_TRUE(bridge().updaterShouldPostponeRelaunchForUpdate({}, countingInstall(first)));
    harness->loop.advance(10);
    EXPECT_TRUE(bridge().updaterShouldPostponeRelaunchForUpdate({}, countingInstall(second)));
    harness->call("stopSession");
    harness->scheduleOpen = true;
    harness->loop.advance(15);
    EXPECT_EQ(second, 0);
    harness->scheduleOpen = false;
    harness->loop.advance(14.9);
    EXPECT_EQ(second, 0);
    harness->loop.advance(0.1);
    EXPECT_EQ(second, 1);
    EXPECT_FALSE(bridge().relaunchPostponed());
    harness->loop.advance(60);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

}  // namespace
}  // namespace kestralune::host_test
