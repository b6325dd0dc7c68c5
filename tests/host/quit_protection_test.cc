#include "host/quit_protection.h"

#include "host/localized_labels.h"
#include "platform/linux/headless_alert_presenter.h"
#include "platform/log.h"
#include "platform/testing/manual_run_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestralune {
namespace {

class QuitProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        OrrindaleQuitProtection::blockingActive = false;
        replaceLocalizedLabels({});
    }
    void TearDown() override {
        OrrindaleQuitProtection::blockingActive = false;
        replaceLocalizedLabels({});
    }

    ManualRunLoop loop;
    HeadlessAlertPresenter presenter;
};

TEST_F(QuitProtectionTest, WithoutSessionQuitTerminatesAndShowsNothing) {
    // Fails if quitting is refused, or a notice appears, outside a session.
    EXPECT_TRUE(OrrindaleQuitProtection::allowsTermination(loop, presenter));
    loop.runUntilIdle();
    EXPECT_TRUE(presenter.shownAlerts().empty());
}

TEST_F(QuitProtectionTest, DuringSessionQuitIsRefusedAndNoticeComesOnLaterTurn) {
    // Fails if the decision lets the quit through, or shows the notice inside the decision.
    OrrindaleQuitProtection::blockingActive = true;
    EXPECT_FALSE(OrrindaleQuitProtection::allowsTermination(loop, presenter));
    EXPECT_TRUE(presenter.shownAlerts().empty());
    loop.runUntilIdle();
    ASSERT_EQ(presenter.shownAlerts().size(), 1u);
    const Alert& alert = presenter.shownAlerts()[0];
    EXPECT_EQ(alert.style, Alert::Style::informational);
    EXPECT_EQ(alert.messageText,
              "You can\xE2\x80\x99t quit Kestralune while a blocking session is active");
    EXPECT_EQ(alert.informativeText,
              "Kestralune needs to keep running to block distracting apps and websites.");
    EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
}

TEST_F(QuitProtectionTest, EachRefusedQuitShowsItsOwnNoticeAndEndOfSessionAllowsQuit) {
    // Fails if notices are coalesced or the flag is latched after the session.
    OrrindaleQuitProtection::blockingActive = true;
    EXPECT_FALSE(OrrindaleQuitProtection::allowsTermination(loop, presenter));
    EXPECT_FALSE(OrrindaleQuitProtection::allowsTermination(loop, presenter));
    loop.runUntilIdle();
    EXPECT_EQ(presenter.shownAlerts().size(), 2u);
    OrrindaleQuitProtection::blockingActive = false;
    EXPECT_TRUE(OrrindaleQuitProtection::allowsTermination(loop, presenter));
    loop.runUntilIdle();
    EXPECT_EQ(presenter.shownAlerts().size(), 2u);
}

TEST_F(QuitProtectionTest, NoticeUsesLabelsSyncedAfterItWasRequested) {
    // Fails if the texts are looked up when queued instead of when shown.
    OrrindaleQuitProtection::showQuitRefusedNotice(loop, presenter);
    replaceLocalizedLabels({{"quitBlockedTitle", "Beenden nicht m\xC3\xB6glich"},
                            {"quitBlockedDetail", "Kestralune blockiert gerade."},
                            {"ok", "Verstanden"}});
    loop.runUntilIdle();
    ASSERT_EQ(presenter.shownAlerts().size(), 1u);
    const Alert& alert = presenter.shownAlerts()[0];
    EXPECT_EQ(alert.messageText, "Beenden nicht m\xC3\xB6glich");
    EXPECT_EQ(alert.informativeText, "Kestralune blockiert gerade.");
    EXPECT_EQ(alert.buttons, std::vector<std::string>{"Verstanden"});
}

TEST_F(QuitProtectionTest, LabelTableWithoutNoticeKeysKeepsTheDefaults) {
    // Fails if an unrelated label sync blanks the notice.
    replaceLocalizedLabels({{"menuQuit", "Beenden"}, {"ok", "Okay"}});
    OrrindaleQuitProtection::showQuitRefusedNotice(loop, presenter);
    loop.runUntilIdle();
    ASSERT_EQ(presenter.shownAlerts().size(), 1u);
    EXPECT_EQ(presenter.shownAlerts()[0].informativeText,
              "Kestralune needs to keep running to block distracting apps and websites.");
    EXPECT_EQ(presenter.shownAlerts()[0].buttons, std::vector<std::string>{"Okay"});
}

TEST_F(QuitProtectionTest, ShownNoticeIsLoggedWithItsThreeTexts) {
    // Fails if the headless notice leaves no trace a user or operator could read.
    std::vector<std::string> lines;
    const LogSink previous = setLogSink([&](std::string_view line) { lines.emplace_back(line); });
    replaceLocalizedLabels({{"quitBlockedTitle", "Title"}, {"quitBlockedDetail", "Detail"}});
    OrrindaleQuitProtection::showQuitRefusedNotice(loop, presenter);
    loop.runUntilIdle();
    setLogSink(previous);
    EXPECT_EQ(lines, std::vector<std::string>{"Kestralune alert: Title | Detail | [OK]"});
}

}  // namespace
}  // namespace kestralune
