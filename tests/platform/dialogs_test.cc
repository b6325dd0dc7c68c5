#include "platform/desktop_dialogs.h"
#include "platform/linux/headless_alert_presenter.h"
#include "platform/linux/terminal_dialogs.h"
#include "platform/linux/zenity_dialogs.h"
#include "platform/testing/fixture_applications.h"
#include "tests/platform/temp_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <tuple>

namespace kestralune {
namespace {

using Arguments = std::vector<std::string>;

const Alert kReplace{Alert::Style::warning, "Replace Kestralune?", "Sure?", {"Replace", "Cancel"}};
const Alert kNotice{Alert::Style::informational, "Kestralune Installer", "A \\n <b> & c", {"OK"}};
const Alert kThree{Alert::Style::critical, "Save?", "", {"Save", "Cancel", "Don’t Save"}};

// Fault: a number, a title in another case or the lone button's empty line is not taken; an
// empty line picks a button when there are two; end of input or endless garbage never returns.
TEST(TerminalAlertPresenterTest, AnswersFromTheTypedLine) {
    const std::tuple<const Alert&, std::string, std::optional<std::size_t>> rows[] = {
        {kReplace, "2\n", 1},
        {kReplace, " rePLACE \n", 0},
        {kNotice, "\n", 0},
        {kReplace, "maybe\n3\ncancel\n", 1},
        {kReplace, "\n\n\n1\n", std::nullopt},
        {kReplace, "", std::nullopt},
        {kNotice, "0\n1", 0},
    };
    std::vector<std::string> shown;
    for (const auto& [alert, typed, answer] : rows) {
        std::istringstream input(typed);
        std::ostringstream output;
        EXPECT_EQ(TerminalAlertPresenter(input, output).runModal(alert), answer) << typed;
        shown.push_back(output.str());
    }
    EXPECT_EQ(shown[0], "\nReplace Kestralune?\nSure?\n1) Replace  2) Cancel\n> ");
}

// A fake zenity that records its arguments and pid beside itself, prints zenity.output and
// exits with zenity.status (or, as zenity does, with $ZENITY_OK for OK when it is set); as a
// progress window it stays until it is killed.
class ZenityTest : public ::testing::Test {
  protected:
    ZenityTest() {
        dir.write("bin/zenity",
                  "#!/bin/sh\nprintf '%s\\0' \"$@\" > \"$0.args\"\necho $$ > \"$0.pid\"\n"
                  "cat \"$0.output\" 2>/dev/null\n[ \"$1\" = --progress ] && exec sleep 30\n"
                  "s=$(cat \"$0.status\")\n[ \"$s\" = 0 ] && s=${ZENITY_OK:-0}\nexit $s\n",
                  0755);
        ::setenv("ZENITY_OK", "3", 1);  // a user's remapping must not reach our zenity
    }
    ~ZenityTest() override { ::unsetenv("ZENITY_OK"); }

    std::optional<std::size_t> answer(const Alert& alert, int status, std::string printed = "") {
        dir.write("bin/zenity.status", std::to_string(status));
        dir.write("bin/zenity.output", printed);
        return ZenityAlertPresenter(zenity).runModal(alert);
    }
    Arguments arguments() const {
        Arguments list;
        std::istringstream recorded(TempDirectory::read(dir.path() / "bin/zenity.args"));
        for (std::string argument; std::getline(recorded, argument, '\0');) {
            list.push_back(argument);
        }
        return list;
    }

    TempDirectory dir;
    const std::string zenity = (dir.path() / "bin/zenity").string();
};

// Fault: a dialog kind, a label or the escaping of the text (markup, then C escapes) is wrong,
// a button is left out, a closed one-button notice or a failed zenity counts as a choice,
// Cancel is not the second button, or an extra button's printed title is not recognised.
TEST_F(ZenityTest, RunsTheDialogAndAnswersFromItsExit) {
    EXPECT_EQ(answer(kNotice, 0), 0u);
    EXPECT_EQ(arguments(), (Arguments{"--info", "--title", "Kestralune Installer", "--text",
                                      "<b>Kestralune Installer</b>\n\nA \\\\n &lt;b&gt; &amp; c",
                                      "--ok-label", "OK"}));
    EXPECT_EQ(answer(kReplace, 0), 0u);
    EXPECT_EQ(arguments(), (Arguments{"--question", "--title", "Replace Kestralune?", "--text",
                                      "<b>Replace Kestralune?</b>\n\nSure?", "--ok-label",
                                      "Replace", "--cancel-label", "Cancel"}));
    EXPECT_EQ(answer(kThree, 1, "Don’t Save\n"), 2u);
    EXPECT_EQ(arguments(),
              (Arguments{"--question", "--title", "Save?", "--text", "<b>Save?</b>", "--ok-label",
                         "Save", "--cancel-label", "Cancel", "--extra-button", "Don’t Save"}));
    EXPECT_EQ(answer(kNotice, 1), std::nullopt);
    EXPECT_EQ(answer(kReplace, 1), 1u);
    EXPECT_EQ(answer(kReplace, 5), std::nullopt);
    EXPECT_EQ(ZenityAlertPresenter(zenity + ".missing").runModal(kReplace), std::nullopt);
}

// Fault: the window's process outlives hide() or the window, or is left a zombie.
TEST_F(ZenityTest, TheProgressWindowsProcessEndsAndIsReapedWhenHidden) {
    auto window = std::make_unique<ZenityProgressWindow>(zenity);
    const auto pidFile = dir.path() / "bin/zenity.pid";
    for (int round = 0; round < 2; ++round) {
        window->show("Kestralune Installer", "Installing Kestralune…");
        ASSERT_TRUE(eventually([&] { return !TempDirectory::read(pidFile).empty(); }));
        const pid_t child = std::stoi(TempDirectory::read(pidFile));
        EXPECT_EQ(arguments(),
                  (Arguments{"--progress", "--pulsate", "--no-cancel", "--auto-close", "--title",
                             "Kestralune Installer", "--text", "Installing Kestralune…"}));
        EXPECT_EQ(::kill(child, 0), 0);
        round == 0 ? window->hide() : window.reset();
        EXPECT_TRUE(::kill(child, 0) == -1 && errno == ESRCH);
        std::filesystem::remove(pidFile);
    }
}

// Fault: zenity is chosen without a display or when it is not installed, an empty variable
// counts as a display, or a terminal is ignored.
TEST_F(ZenityTest, TheDialogsFollowTheDisplayZenityAndTheTerminal) {
    const std::string path = std::getenv("PATH");
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
    const int terminalInput = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
    const int nullInput = ::open("/dev/null", O_RDONLY);
    const int savedInput = ::dup(STDIN_FILENO);
    // DISPLAY, WAYLAND_DISPLAY, PATH, standard input, the alerts chosen
    const std::tuple<const char*, const char*, const char*, int, const std::type_info&> rows[] = {
        {":0", nullptr, "bin", nullInput, typeid(ZenityAlertPresenter)},
        {nullptr, "wayland-0", "bin", terminalInput, typeid(ZenityAlertPresenter)},
        {"", "", "bin", terminalInput, typeid(TerminalAlertPresenter)},
        {":0", nullptr, "none", nullInput, typeid(HeadlessAlertPresenter)},
        {nullptr, nullptr, "bin", nullInput, typeid(HeadlessAlertPresenter)},
    };
    for (const auto& [display, wayland, folder, input, chosen] : rows) {
        display ? ::setenv("DISPLAY", display, 1) : ::unsetenv("DISPLAY");
        wayland ? ::setenv("WAYLAND_DISPLAY", wayland, 1) : ::unsetenv("WAYLAND_DISPLAY");
        ::setenv("PATH", (dir.path() / folder).c_str(), 1);
        ::dup2(input, STDIN_FILENO);
        const auto dialogs = makeDesktopDialogs();
        EXPECT_TRUE(typeid(*dialogs.alerts) == chosen) << chosen.name() << " " << folder;
    }
    ::dup2(savedInput, STDIN_FILENO);
    ::setenv("PATH", path.c_str(), 1);
    for (const int fd : {terminal, terminalInput, nullInput, savedInput}) {
        ::close(fd);
    }
}

}  // namespace
}  // namespace kestralune
