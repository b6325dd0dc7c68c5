#include "host/quit_protection.h"

#include "host/localized_labels.h"
#include "platform/linux/headless_alert_presenter.h"
#include "platform/testing/log_capture.h"
#include "platform/testing/manual_run_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestralune {
namespace {

// The quit flag and the label table are process-wide: every test starts and ends clean.
class QuitProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        OrrindaleQuitProtection::blockingActive = false;
        replaceLocalizedLabels({});
    }
    bool allowsQuit() { return OrrindaleQuitProtection::allowsTermination(loop, presenter); }

    ManualRunLoop loop;
    HeadlessAlertPresenter presenter;
};

// Refused during a session, with one notice per request on a later turn (never inside the
// decision); allowed at once, silently, outside one. The notice is logged headless.
TEST_F(QuitProtectionTest, QuitDuringASessionIsRefusedWithOneNoticePerRequest) {
    LogCapture log;
    OrrindaleQuitProtection::blockingActive = true;
    EXPECT_FALSE(allowsQuit());
    EXPECT_FALSE(allowsQuit());
    EXPECT_TRUE(presenter.shownAlerts().empty());
    loop.runUntilIdle();
    OrrindaleQuitProtection::blockingActive = false;
    EXPECT_TRUE(allowsQuit());
    loop.runUntilIdle();

    ASSERT_EQ(presenter.shownAlerts().size(), 2u);
    const Alert& alert = presenter.shownAlerts()[0];
    EXPECT_EQ(alert.style, Alert::Style::informational);
    EXPECT_EQ(alert.messageText,
              "You can\xE2\x80\x99t quit Kestralune while a blocking session is active");
    EXPECT_EQ(alert.informativeText,
              "Kestralune needs to keep running to block distracting apps and websites.");
    EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
    EXPECT_EQ(log.count("Kestralune alert: " + alert.messageText + " | " + alert.informativeText +
                        " | [OK]"),
              2);
}

// Texts are looked up when the notice is shown, not when it is queued; keys the table lacks
// keep their defaults, and a key with no default has none.
TEST_F(QuitProtectionTest, NoticeUsesTheLabelsSyncedBeforeItIsShown) {
    OrrindaleQuitProtection::showQuitRefusedNotice(loop, presenter);
    replaceLocalizedLabels({{"quitBlockedTitle", "Beenden nicht m\xC3\xB6glich"}, {"ok", "Gut"}});
    loop.runUntilIdle();
    ASSERT_EQ(presenter.shownAlerts().size(), 1u);
    EXPECT_EQ(presenter.shownAlerts()[0].messageText, "Beenden nicht m\xC3\xB6glich");
    EXPECT_EQ(presenter.shownAlerts()[0].informativeText,
              "Kestralune needs to keep running to block distracting apps and websites.");
    EXPECT_EQ(presenter.shownAlerts()[0].buttons, std::vector<std::string>{"Gut"});
    EXPECT_FALSE(defaultLabel("unknownKey").has_value());
}

}  // namespace
}  // namespace kestralune
