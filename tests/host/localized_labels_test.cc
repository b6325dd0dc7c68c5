#include "host/localized_labels.h"

#include <gtest/gtest.h>

#include <string>

namespace kestralune {
namespace {

class LocalizedLabelsTest : public ::testing::Test {
  protected:
    void SetUp() override { replaceLocalizedLabels({}); }
    void TearDown() override { replaceLocalizedLabels({}); }
};

struct DefaultRow {
    const char* key;
    const char* text;
};

TEST_F(LocalizedLabelsTest, EveryHostKeyHasItsExactEnglishDefault) {
    // Fails if a default text drifts by a byte (the apostrophe is U+2019).
    const DefaultRow rows[] = {
        {"menuBreak", "Break is active"},
        {"menuBlocking", "Blocking is active"},
        {"selectedApps", "App blocking"},
        {"websites", "Website blocking"},
        {"settings", "Settings"},
        {"checkForUpdates", "Check for updates"},
        {"menuOpen", "Open Kestralune"},
        {"menuQuit", "Quit Kestralune"},
        {"quitBlockedTitle",
         "You can\xE2\x80\x99t quit Kestralune while a blocking session is active"},
        {"quitBlockedDetail",
         "Kestralune needs to keep running to block distracting apps and websites."},
        {"ok", "OK"},
        {"chooseApplications", "Select apps"},
        {"chooseApplicationsDetail", "Choose applications to add to Kestralune."},
        {"chooseProfilePhoto", "Choose profile photo"},
        {"chooseAction", "Choose"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(localizedLabel(row.key), row.text) << row.key;
        EXPECT_EQ(defaultLabel(row.key), std::string_view(row.text)) << row.key;
    }
    EXPECT_FALSE(defaultLabel("unknownKey").has_value());
}

TEST_F(LocalizedLabelsTest, TableTextWinsAndMissingKeysFallBack) {
    // Fails if a synced label is ignored or a partial table blanks the other texts.
    replaceLocalizedLabels({{"menuQuit", "Beenden"}, {"ok", "Gut"}});
    EXPECT_EQ(localizedLabel("menuQuit"), "Beenden");
    EXPECT_EQ(localizedLabel("ok"), "Gut");
    EXPECT_EQ(localizedLabel("menuOpen"), "Open Kestralune");
}

TEST_F(LocalizedLabelsTest, ReplacingDropsEveryEarlierLabel) {
    // Fails if a sync merges into the table instead of replacing it.
    replaceLocalizedLabels({{"menuQuit", "Beenden"}, {"settings", "Einstellungen"}});
    replaceLocalizedLabels({{"settings", "R\xC3\xA9glages"}});
    EXPECT_EQ(localizedLabel("menuQuit"), "Quit Kestralune");
    EXPECT_EQ(localizedLabel("settings"), "R\xC3\xA9glages");
    EXPECT_EQ(localizedLabels().size(), 1u);
    replaceLocalizedLabels({});
    EXPECT_EQ(localizedLabel("settings"), "Settings");
}

TEST_F(LocalizedLabelsTest, EmptyTextInTheTableIsUsedAsGiven) {
    // Fails if an empty synced text is mistaken for a missing key.
    replaceLocalizedLabels({{"menuBreak", ""}});
    EXPECT_EQ(localizedLabel("menuBreak"), "");
}

}  // namespace
}  // namespace kestralune
