// Open panels through a mock file chooser portal (mock_file_chooser_portal.py) on a private
// session bus: what the portal is asked, and how its answers come back on the main loop.
#include "platform/open_panel.h"

#include "platform/linux/asio_run_loop.h"
#include "platform/testing/log_capture.h"
#include "platform/testing/private_session_bus.h"
#include "tests/platform/temp_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {
namespace {

using Paths = std::vector<std::string>;
using Content = OpenPanelOptions::AllowedContent;

constexpr const char* kUnavailable = "Kestralune open panel unavailable: ";

class OpenPanelTest : public ::testing::Test {
  protected:
    // A new bus, with a portal that answers as `answer` (JSON members) says when there is one.
    void startBus(const char* answer) {
        bus.reset();  // puts the previous address back before the next bus names its own
        bus = std::make_unique<PrivateSessionBus>();
        if (answer != nullptr) {
            const std::string parameters = R"({"asked": ")" + asked + "\", " + answer + "}";
            bus->startService(KESTRALUNE_MOCK_PORTAL, parameters.c_str(),
                              "org.freedesktop.portal.Desktop");
        }
    }
    void show(const OpenPanelOptions& options) {
        panel->runOpenPanel(options, [this](Paths paths) { answered = std::move(paths); });
    }
    // Runs the main loop until the panel answers, and takes the answer.
    Paths answer() {
        EXPECT_TRUE(loop.runUntil([&] { return answered.has_value(); }, 20));
        const Paths paths = answered.value_or(Paths{"(no answer)"});
        answered.reset();
        return paths;
    }

    TempDirectory dir;
    // The portal's last call: title | accept_label | multiple | directory | filters | folder.
    const std::string asked = dir.path() / "asked";
    AsioRunLoop loop;
    std::unique_ptr<PrivateSessionBus> bus;
    std::optional<Paths> answered;
    std::shared_ptr<OpenPanel> panel = makeOpenPanel(loop);
};

TEST_F(OpenPanelTest, ChosenFilesComeBackAsPathsAndThePortalIsAskedAsTheOptionsSay) {
    const struct {
        OpenPanelOptions options;
        std::string asked;
    } rows[] = {
        // Application bundles are folders here, so the portal is asked for folders.
        {{.title = "Select apps",
          .message = "Choose applications to add to Kestralune.",
          .prompt = "Choose",
          .allowsMultipleSelection = true,
          .canChooseDirectories = true,
          .allowedContent = Content::applicationBundles,
          .directory = dir.path()},
         "'Select apps' | 'Choose' | True | True | [('Applications', [(0, '*.app')])] | b'" +
             dir.path().string() + "\\x00'"},
        // A start folder that does not exist is left to the portal.
        {{.title = "Choose profile photo",
          .prompt = "Choose",
          .allowedContent = Content::images,
          .directory = "/nonexistent"},
         "'Choose profile photo' | 'Choose' | False | False | [('Images', [(1, 'image/png'), "
         "(1, 'image/jpeg'), (1, 'image/heic'), (1, 'image/gif'), (1, 'image/tiff'), "
         "(1, 'image/webp')])] | -"},
        // Text that is not UTF-8 cannot go on the bus as it stands.
        {{.title = "Folders \xff", .canChooseFiles = false, .canChooseDirectories = true},
         "'Folders \ufffd' | - | False | True | - | -"},
        // Files and folders of any kind: files, the more common choice.
        {{.title = "Any", .prompt = "Open", .canChooseDirectories = true},
         "'Any' | 'Open' | False | False | - | -"},
    };
    // Two files with a space and non-ASCII names, percent-encoded as the portal sends them.
    startBus(R"("response": 0, "uris": ["file:///tmp/My%20Photo.png",
                                        "file:///tmp/%C3%A9t%C3%A9/%E5%86%99%E7%9C%9F.jpg"])");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options.title);
        show(row.options);
        EXPECT_EQ(answer(), (Paths{"/tmp/My Photo.png", "/tmp/\u00e9t\u00e9/\u5199\u771f.jpg"}));
        EXPECT_EQ(TempDirectory::read(asked), row.asked);
    }
}

TEST_F(OpenPanelTest, OnlyAnAcceptedAnswerChoosesAndEveryFailureLogsOneLine) {
    const struct {
        const char* answer;  // none: no portal on the bus
        bool busGone;
        Paths chosen;
        const char* logged;
    } rows[] = {
        {R"("response": 1, "uris": ["file:///tmp/a"])", false, {}, nullptr},  // cancelled
        {R"("response": 2)", false, {}, nullptr},                             // ended otherwise
        {R"("response": 0, "uris": ["https://example.com/a", "file:///tmp/a"])",
         false,
         {"/tmp/a"},
         "Kestralune open panel skipped a non-local item: https://example.com/a"},
        {nullptr, false, {}, kUnavailable},
        {nullptr, true, {}, kUnavailable},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer ? row.answer : row.busGone ? "no bus" : "no portal");
        startBus(row.answer);
        if (row.busGone) {
            bus->stopDaemon();
        }
        const LogCapture log;
        show({.title = "T"});
        EXPECT_EQ(answer(), row.chosen);
        ASSERT_EQ(log.lines.size(), row.logged ? 1u : 0u);
        if (row.logged) {
            EXPECT_THAT(log.lines[0], ::testing::StartsWith(row.logged));
        }
    }
}

// A panel the user keeps looking at never answers, and the main loop runs on meanwhile. It
// closes as cancelled only when the portal or the bus goes away.
TEST_F(OpenPanelTest, UnansweredPanelLeavesTheMainLoopRunningUntilThePortalGoes) {
    for (const bool busGoes : {false, true}) {
        SCOPED_TRACE(busGoes);
        std::filesystem::remove(asked);
        startBus("\"never\": true");
        const LogCapture log;
        int ticks = 0;
        const auto timer = loop.scheduleTimer(0.01, true, [&] { ++ticks; });
        show({.title = "T"});
        EXPECT_TRUE(loop.runUntil([&] { return std::filesystem::exists(asked); }, 20));
        const int seen = ticks;
        EXPECT_TRUE(loop.runUntil([&] { return ticks >= seen + 20; }, 20));
        EXPECT_FALSE(answered);

        busGoes ? bus->stopDaemon() : bus->stopService();
        EXPECT_EQ(answer(), Paths{});
        EXPECT_THAT(log.lines,
                    ::testing::ElementsAre(
                        std::string(kUnavailable) +
                        (busGoes ? "the session bus closed" : "the portal left the session bus")));
        timer->invalidate();
    }
}

}  // namespace
}  // namespace kestralune
