#include "platform/testing/fixture_applications.h"
#include "platform/testing/log_capture.h"
#include "platform/url_opener.h"
#include "platform/url_scheme_registration.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kestralune {
namespace {

namespace fs = std::filesystem;

class DesktopLinksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CURRENT_DESKTOP"}) {
            ::unsetenv(name);
        }
        ::setenv("HOME", (root.path() / "home").c_str(), 1);
    }
    void TearDown() override { ::setenv("PATH", path.c_str(), 1); }

    TempDirectory root;
    const std::string path = std::getenv("PATH");
};

// Fault: the executable's path is not quoted as desktop entries require, a declared scheme
// is missed or a bad one kept, xdg-mime is not run (GIO then finds no handler), or the entry
// is rewritten and the user's own default handler overridden on every start.
TEST_F(DesktopLinksTest, TheEntryStartsTheProgramAndIsRewrittenOnlyWhenItDiffers) {
    const auto opened = root.path() / "opened";
    const Bundle bundle{
        .path = "",
        .identifier = "com.orrindale.app",
        .infoDictionary = {{"CFBundleURLTypes",
                            PlistValue::Array{PlistValue::Dictionary{
                                {"CFBundleURLSchemes",
                                 PlistValue::Array{"Kestralune", "a b", 5, "x-other+app"}}}}}},
        .executablePath = root.write("Kes tra$lune/run",
                                     "#!/bin/sh\necho \"$@\" >> " + opened.string() + "\n", 0755),
    };
    const auto entry = root.path() / "home/.local/share/applications/com.orrindale.app.desktop";
    const auto defaults = root.path() / "home/.config/mimeapps.list";
    const auto runner = makeToolRunner();
    registerUrlSchemeHandler(bundle, *runner);
    const auto written = TempDirectory::read(entry);
    EXPECT_EQ(written, "[Desktop Entry]\nType=Application\nName=Kestralune\nExec=\"" +
                           root.path().string() +
                           "/Kes tra\\\\$lune/run\" %u\nMimeType=x-scheme-handler/kestralune;"
                           "x-scheme-handler/x-other+app;\nNoDisplay=true\n");
    EXPECT_EQ(std::system("gio open 'x-other+app:invite?code=1'"), 0);
    EXPECT_TRUE(
        eventually([&] { return TempDirectory::read(opened) == "x-other+app:invite?code=1\n"; }));

    fs::remove(defaults);
    registerUrlSchemeHandler(bundle, *runner);
    EXPECT_FALSE(fs::exists(defaults)) << "xdg-mime ran for an unchanged entry";
    root.write("home/.local/share/applications/com.orrindale.app.desktop", "[Desktop Entry]\n");
    registerUrlSchemeHandler(bundle, *runner);
    EXPECT_EQ(TempDirectory::read(entry), written);
    EXPECT_TRUE(fs::exists(defaults));

    LogCapture log;  // a failure is one line, and start-up goes on
    ::setenv("XDG_DATA_HOME", root.write("data", "").c_str(), 1);
    registerUrlSchemeHandler(bundle, *runner);
    EXPECT_EQ(log.lines,
              std::vector<std::string>{
                  "Kestralune could not register its links: Could not create the folder " +
                  root.path().string() + "/data/applications: Not a directory"});
}

// Fault: the settings URL goes to xdg-open, another desktop's settings win over the current
// one's, the installed one is not the fallback, or other URLs no longer reach xdg-open.
TEST_F(DesktopLinksTest, TheNotificationSettingsURLOpensTheDesktopsSettings) {
    const struct {
        const char* desktop;
        std::string programs;  // on PATH, each recording its start
        std::string ran;       // empty: refused
        std::string url =
            "x-apple.systempreferences:com.apple.Notifications-Settings.extension?id=a";
    } rows[] = {
        {"KDE", "gnome-control-center systemsettings xdg-open", "systemsettings kcm_notifications"},
        {"ubuntu:GNOME", "systemsettings gnome-control-center",
         "gnome-control-center notifications"},
        {nullptr, "systemsettings5", "systemsettings5 kcm_notifications"},
        {"GNOME", "xdg-open", ""},
        {"GNOME", "gnome-control-center xdg-open", "xdg-open https://a.example/",
         "https://a.example/"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& row = rows[i];
        const auto bin = root.path() / ("bin" + std::to_string(i));
        std::istringstream programs(row.programs);
        for (std::string program; programs >> program;) {
            root.write(bin / program,
                       "#!/bin/sh\necho \"${0##*/} $*\" >> " + (bin / "ran").string() + "\n", 0755);
        }
        ::setenv("PATH", bin.c_str(), 1);
        row.desktop ? ::setenv("XDG_CURRENT_DESKTOP", row.desktop, 1)
                    : ::unsetenv("XDG_CURRENT_DESKTOP");
        EXPECT_EQ(makeUrlOpener()->openURL(row.url), !row.ran.empty()) << i;
        const std::string ran = row.ran.empty() ? "" : row.ran + "\n";
        EXPECT_TRUE(eventually([&] { return TempDirectory::read(bin / "ran") == ran; })) << i;
    }
}

}  // namespace
}  // namespace kestralune
