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

// Fault: a quit during a session is allowed, or noticed inside the decision, other than once
// per request or unlogged; one outside is refused or noticed; the texts are looked up when
// queued rather than shown, or a key the label table lacks loses its default.
TEST(QuitProtectionTest, QuitDuringASessionIsRefusedWithOneNoticePerRequest) {
    ManualRunLoop loop;
    HeadlessAlertPresenter presenter;
    LogCapture log;
    const auto allowsQuit = [&] {
        return OrrindaleQuitProtection::allowsTermination(loop, presenter);
    };
    OrrindaleQuitProtection::blockingActive = true;
    EXPECT_FALSE(allowsQuit());
    EXPECT_FALSE(allowsQuit());
    EXPECT_TRUE(presenter.shownAlerts().empty());
    replaceLocalizedLabels({{"ok", "Gut"}});
    loop.runUntilIdle();
    OrrindaleQuitProtection::blockingActive = false;
    EXPECT_TRUE(allowsQuit());
    loop.runUntilIdle();
    replaceLocalizedLabels({});

    ASSERT_EQ(presenter.shownAlerts().size(), 2u);
    EXPECT_EQ(presenter.shownAlerts()[0].style, Alert::Style::informational);
    EXPECT_EQ(log.lines,
              std::vector<std::string>(
                  2,
                  "Kestralune alert: You can\xE2\x80\x99t quit Kestralune while a blocking "
                  "session is active | Kestralune needs to keep running to block distracting "
                  "apps and websites. | [Gut]"));
    EXPECT_FALSE(defaultLabel("unknownKey").has_value());
}

}  // namespace
}  // namespace kestralune
