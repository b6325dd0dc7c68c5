#include "platform/agent_service.h"

#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace kestralune {
namespace {

constexpr const char* kLabel = "com.orrindale.app.scheduler";

// Logs its arguments; fails a command with the text of "<self>.fails-<command>" when that
// file exists; answers is-enabled with "<self>.state" (exit 1 for "disabled").
constexpr const char* kFakeSystemctl = R"(#!/bin/sh
echo "$*" >> "$0.log"
if [ -f "$0.fails-$2" ]; then cat "$0.fails-$2"; exit 1; fi
[ "$2" = is-enabled ] || exit 0
state=$(cat "$0.state" 2>/dev/null || echo disabled)
echo "$state"
[ "$state" != disabled ]
)";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    if (const auto at = text.find(from); at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The property list the build puts into the bundle.
std::string launchAgentPlist() {
    return replaced(TempDirectory::read(KESTRALUNE_LAUNCH_AGENT_TEMPLATE),
                    "@KESTRALUNE_BUNDLE_IDENTIFIER@", "com.orrindale.app");
}

constexpr const char* kApp = "Applications/Kestralune.app";

// A temporary home with a bundle in ~/Applications and a fake systemctl first on PATH.
struct Sandbox {
    Sandbox() {
        dir.write("bin/systemctl", kFakeSystemctl, 0755);
        ::setenv("XDG_CONFIG_HOME", (dir.path() / "config").c_str(), 1);
        ::setenv("PATH", ((dir.path() / "bin").string() + ":" + originalPath).c_str(), 1);
    }
    ~Sandbox() {
        ::unsetenv("XDG_CONFIG_HOME");
        ::setenv("PATH", originalPath.c_str(), 1);
    }

    std::filesystem::path writeBundle(const std::string& folder,
                                      const std::string& plist = launchAgentPlist()) {
        dir.write(folder + "/Contents/Library/LaunchAgents/" + kLabel + ".plist", plist);
        return dir.path() / folder;
    }
    std::shared_ptr<AgentService> service(const std::filesystem::path& at) {
        return makeAgentService(makeToolRunner(), at, std::string(kLabel) + ".plist");
    }
    std::string calls() const { return TempDirectory::read(dir.path() / "bin/systemctl.log"); }

    const std::string originalPath = std::getenv("PATH");
    TempDirectory dir;
    std::filesystem::path bundle = writeBundle(kApp);
};

TEST(AgentServiceTest, StatusFollowsTheFilesAndTheTimer) {
    // Fails if the status trusts systemctl over missing or stale units (a moved application
    // would read "enabled" while the timer runs another copy) or takes any answer for enabled.
    const struct {
        const char* registeredFrom;  // a bundle folder, or nothing
        const char* answer;          // what is-enabled prints
        std::string removed;         // a path under the sandbox removed afterwards
        AgentServiceStatus expected;
    } rows[] = {
        {kApp, "enabled", std::string(kApp) + "/Contents/Library", AgentServiceStatus::notFound},
        {nullptr, "enabled", "", AgentServiceStatus::notRegistered},
        {kApp, "enabled", "", AgentServiceStatus::enabled},
        {kApp, "disabled", "", AgentServiceStatus::notRegistered},
        {kApp, "static", "", AgentServiceStatus::notRegistered},
        {kApp, "enabled", std::string("config/systemd/user/") + kLabel + ".timer",
         AgentServiceStatus::notRegistered},
        {"Downloads/Kestralune.app", "enabled", "", AgentServiceStatus::notRegistered},
    };
    for (const auto& row : rows) {
        Sandbox box;
        if (row.registeredFrom) {
            const auto from = box.writeBundle(row.registeredFrom);
            ASSERT_EQ(box.service(from)->registerAgent(), std::nullopt);
        }
        box.dir.write("bin/systemctl.state", row.answer);
        if (!row.removed.empty()) {
            std::filesystem::remove_all(box.dir.path() / row.removed);
        }
        EXPECT_EQ(box.service(box.bundle)->status(), row.expected) << "row " << &row - rows;
    }
}

TEST(AgentServiceTest, RegistersByReloadingThenEnablingAndReportsSystemctlsOwnWords) {
    // Fails if the timer is enabled before systemd reads the units, is not started, enabling
    // follows a failed reload, or systemctl's message is lost or padded.
    const std::string reload = "--user daemon-reload\n";
    const std::string enable = "--user enable --now " + std::string(kLabel) + ".timer\n";
    const struct {
        const char* failing;  // the command that fails, with `output`
        const char* output;
        std::optional<std::string> error;
        std::string calls;
    } rows[] = {
        {"", "", std::nullopt, reload + enable},
        {"daemon-reload", "Failed to connect to bus: No medium found\n",
         "Failed to connect to bus: No medium found", reload},
        {"enable", "", "systemctl --user enable failed with status 1.", reload + enable},
    };
    for (const auto& row : rows) {
        Sandbox box;
        if (*row.failing) {
            box.dir.write(std::string("bin/systemctl.fails-") + row.failing, row.output);
        }
        EXPECT_EQ(box.service(box.bundle)->registerAgent(), row.error) << row.failing;
        EXPECT_EQ(box.calls(), row.calls) << row.failing;
    }
}

TEST(AgentServiceTest, RefusesAnAgentItCannotNameSafely) {
    // Fails if a label could write outside the unit folder, a program lie outside the bundle,
    // a path inject lines into a unit, or an interval give a timer that never fires.
    const std::string plist = launchAgentPlist();
    const struct {
        std::string plist;
        std::string error;
        std::string folder = kApp;
    } rows[] = {
        {"", "could not be read"},
        {"not a property list", "is not a property list"},
        {replaced(plist, std::string(kLabel) + "<", "../../evil<"), "no usable Label"},
        {replaced(plist, "Contents/MacOS/KestraluneScheduler", "../../../bin/sh"),
         "no usable BundleProgram"},
        {replaced(plist, "Contents/MacOS/KestraluneScheduler", "/bin/sh"),
         "no usable BundleProgram"},
        {replaced(plist, "<integer>60</integer>", "<integer>0</integer>"),
         "no usable StartInterval"},
        {plist, "control character", "Apps\nExecStartPre=/tmp/evil/Kestralune.app"},
    };
    for (const auto& row : rows) {
        Sandbox box;
        std::filesystem::remove_all(box.bundle);
        const auto bundle = row.plist.empty() ? box.bundle : box.writeBundle(row.folder, row.plist);
        const auto error = box.service(bundle)->registerAgent();
        EXPECT_NE(error.value_or("").find(row.error), std::string::npos) << error.value_or("");
        EXPECT_EQ(box.service(bundle)->status(), AgentServiceStatus::notFound) << row.error;
        EXPECT_FALSE(std::filesystem::exists(box.dir.path() / "config")) << row.error;
        EXPECT_EQ(box.calls(), "") << row.error;
    }
}

TEST(AgentServiceTest, UnsupportedWithoutSystemctlOnPath) {
    Sandbox box;
    EXPECT_TRUE(box.service(box.bundle)->isSupported());
    ::setenv("PATH", (box.dir.path() / "Applications").c_str(), 1);
    EXPECT_FALSE(box.service(box.bundle)->isSupported());
    EXPECT_NE(box.service(box.bundle)->registerAgent(), std::nullopt);
}

TEST(AgentServiceTest, SystemdAcceptsTheUnitsAndRunsTheAgentFromAnAwkwardPath) {
    // Fails if a space splits the path, "%" is read as a specifier, "$" as a variable, or a
    // quote or backslash is mangled or makes systemd reject the unit.
    constexpr const char* kAnalyze = "/usr/bin/systemd-analyze";
    if (!std::filesystem::exists(kAnalyze)) {
        GTEST_SKIP() << "no systemd-analyze";
    }
    for (const char* folder : {"Apps %h $HOME", "Bob's \"Apps\" \\ %n"}) {
        Sandbox box;
        const auto bundle = box.writeBundle(std::string(folder) + "/Kestralune.app");
        box.dir.write(std::string(folder) + "/Kestralune.app/Contents/MacOS/KestraluneScheduler",
                      "#!/bin/sh\necho agent ran\n", 0755);
        ASSERT_EQ(box.service(bundle)->registerAgent(), std::nullopt) << folder;
        const auto runner = makeToolRunner();
        const auto units = (box.dir.path() / "config/systemd/user" / kLabel).string();
        // Without a user manager, --user needs a private runtime folder: the sandbox's own.
        const auto verify = [&](const char* logLevel) {
            return runner->runTool(
                "/usr/bin/env", {"XDG_RUNTIME_DIR=" + box.dir.path().string(),
                                 std::string("SYSTEMD_LOG_LEVEL=") + logLevel, kAnalyze, "verify",
                                 "--user", units + ".service", units + ".timer"});
        };
        const auto plain = verify("notice");
        EXPECT_EQ(plain.status, 0) << folder << "\n" << plain.output;
        EXPECT_EQ(plain.output, "") << folder;

        // At debug level systemd prints the command line it parsed, quoted for a shell.
        const std::string dump = verify("debug").output, marker = "Command Line: ";
        const auto at = dump.find(marker);
        ASSERT_NE(at, std::string::npos) << folder;
        const auto line = dump.substr(at + marker.size(), dump.find('\n', at) - at - marker.size());
        EXPECT_EQ(runner->runTool("/bin/sh", {"-c", line}).output, "agent ran\n") << line;
    }
}

}  // namespace
}  // namespace kestralune
