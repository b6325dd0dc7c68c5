// The built agent as launchd runs it: a real process inside a copy of the built bundle in a
// temporary HOME, with its standard error (and that of the host it opens) in a file.
#include "platform/testing/fixture_applications.h"
#include "platform/unique_fd.h"
#include "tests/platform/temp_directory.h"
#include "tests/scheduler/detached_processes.h"
#include "tests/support/text_lines.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <csignal>
#include <ctime>
#include <functional>
#include <optional>
#include <vector>

namespace kestralune {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAlwaysOpen =
    R"({"enabled":true,"start":"00:00","end":"00:00","weekdays":[1,2,3,4,5,6,7]})";

class SchedulerAgentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_CONFIG_HOME");
        fs::create_directories(app.parent_path());
        fs::copy(KESTRALUNE_APP_PATH, app, fs::copy_options::recursive);
        useRuntimeFolder("run");
        ::setenv("HOME", home.c_str(), 1);
    }
    // The hosts the agent opened quit on SIGTERM, since no session runs.
    void TearDown() override { endProcessesOf(hostPath); }

    void useRuntimeFolder(const std::string& name) {
        fs::create_directory(root.path() / name);
        fs::permissions(root.path() / name, fs::perms::owner_all, fs::perm_options::replace);
        ::setenv("XDG_RUNTIME_DIR", (root.path() / name).c_str(), 1);
    }
    void writeSnapshot(const std::string& json) {
        root.write("home/.local/share/com.orrindale.app/background-schedule.json", json);
    }
    void setExecutable(const std::string& entry) {
        auto plist = TempDirectory::read(fs::path(KESTRALUNE_APP_PATH) / "Contents/Info.plist");
        const std::string named = "<key>CFBundleExecutable</key>\n\t<string>Kestralune</string>";
        plist.replace(plist.find(named), named.size(), entry);
        root.write("home/Applications/Kestralune.app/Contents/Info.plist", plist);
    }
    int runAgent(const fs::path& agent) {
        return processes.waitForExit(processes.start(agent.string(), {}, log.c_str()));
    }
    std::string logText() const { return TempDirectory::read(log); }
    std::vector<pid_t> hosts() const { return processesRunning(hostPath); }

    TempDirectory root;
    const fs::path home = root.path() / "home";
    const fs::path app = home / "Applications/Kestralune.app";
    const fs::path agent = app / "Contents/MacOS/KestraluneScheduler";
    const std::string hostPath = (app / "Contents/MacOS/Kestralune").string();
    const std::string log = (root.path() / "agent.log").string();
    FixtureProcesses processes;
};

// A window that opens two hours from now and closes an hour later, every day.
std::string windowClosedNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    const int minute = local.tm_hour * 60 + local.tm_min;
    const auto clock = [](int at) {
        return std::to_string(at / 60 % 24) + ":" + std::to_string(at % 60);
    };
    return R"({"enabled":true,"start":")" + clock(minute + 120) + R"(","end":")" +
           clock(minute + 180) + R"(","weekdays":[1,2,3,4,5,6,7]})";
}

TEST_F(SchedulerAgentTest, NothingToDoEndsQuietlyWithoutOpeningTheHost) {
    // Fails if a missing or unreadable snapshot, a disabled schedule or a closed window is
    // logged, fails the run or opens the host, or if a link to the agent is not resolved
    // before the bundle is looked for.
    const struct {
        const char* name;
        std::optional<std::string> snapshot;
        bool throughLink;
    } rows[] = {
        {"no file", std::nullopt, false},
        {"not a snapshot", R"({"enabled":true})", false},
        {"disabled", R"({"enabled":false,"start":"0:0","end":"0:0","weekdays":[1,2,3,4,5,6,7]})",
         false},
        {"window closed", windowClosedNow(), false},
        {"run through a link", std::nullopt, true},
    };
    fs::create_directory_symlink(app / "Contents/MacOS", root.path() / "bin");
    for (const auto& row : rows) {
        fs::remove(home / ".local/share/com.orrindale.app/background-schedule.json");
        if (row.snapshot) {
            writeSnapshot(*row.snapshot);
        }
        EXPECT_EQ(runAgent(row.throughLink ? root.path() / "bin/KestraluneScheduler" : agent), 0)
            << row.name;
        EXPECT_EQ(logText(), "") << row.name;
    }
    EXPECT_EQ(hosts(), std::vector<pid_t>{});
}

TEST_F(SchedulerAgentTest, OpenWindowOpensTheHostDetachedWithTheScheduledLaunchFlag) {
    // Fails if the agent counts itself as the running application, passes other arguments,
    // leaves the host in its session, hands it its input or its ignored signals, or reports
    // success before the host runs.
    writeSnapshot(kAlwaysOpen);
    const auto previous = std::signal(SIGPIPE, SIG_IGN);  // as a systemd service has it
    const UniqueFd savedInput(::dup(STDIN_FILENO));
    ::dup2(UniqueFd(::open(log.c_str(), O_RDONLY | O_CREAT, 0600)).get(), STDIN_FILENO);
    EXPECT_EQ(runAgent(agent), 0) << logText();
    ::dup2(savedInput.get(), STDIN_FILENO);
    std::signal(SIGPIPE, previous);

    const auto started = hosts();
    ASSERT_EQ(started.size(), 1u) << logText();
    const pid_t host = started.front();
    const auto cmdline = TempDirectory::read("/proc/" + std::to_string(host) + "/cmdline");
    EXPECT_EQ(cmdline, hostPath + '\0' + "--kestralune-scheduled-launch" + '\0');
    EXPECT_EQ(::getsid(host), host);
    EXPECT_EQ(procLink(host, "fd/0"), "/dev/null");
    const auto status = TempDirectory::read("/proc/" + std::to_string(host) + "/status");
    const auto ignored = std::stoull(status.substr(status.find("SigIgn:") + 7), nullptr, 16);
    EXPECT_EQ(ignored & (1u << (SIGPIPE - 1)), 0u) << status;
    EXPECT_TRUE(eventually([this] {
        return logText().find("Kestralune window is key and in front") != std::string::npos;
    })) << logText();
    EXPECT_EQ(logText().find("Kestralune scheduler:"), std::string::npos) << logText();
}

TEST_F(SchedulerAgentTest, RunningHostIsLeftAloneAndNotStartedAgain) {
    // Fails if the agent opens a second host. The running one serves another runtime folder,
    // so a second one would not hand over to it and vanish, but stay to be counted.
    useRuntimeFolder("other-run");
    const pid_t running = processes.start(hostPath, {}, log.c_str());
    useRuntimeFolder("run");
    writeSnapshot(kAlwaysOpen);
    EXPECT_EQ(runAgent(agent), 0);
    EXPECT_EQ(hosts(), std::vector<pid_t>{running});
    EXPECT_EQ(logText().find("Kestralune window is key and in front"), std::string::npos);
}

TEST_F(SchedulerAgentTest, BrokenInstallationsLogOneLineAndFail) {
    // Fails if a broken bundle or launch is silent, succeeds, logs more than the one line,
    // or the line does not name the bundle and the reason.
    const std::string cannotOpen =
        "Kestralune scheduler: Scheduled launch failed: The application \u201C" + app.string() +
        "\u201D can\u2019t be opened because ";
    const fs::path loose = root.path() / "loose";
    const struct {
        const char* name;
        std::function<void()> breakIt;
        fs::path agent;
        std::string line;
    } rows[] = {
        {"agent outside a bundle",
         [&] {
             fs::create_directories(loose / "Contents/MacOS");
             fs::copy(agent, loose / "Contents/MacOS");
         },
         loose / "Contents/MacOS/KestraluneScheduler",
         "Kestralune scheduler: Could not resolve containing application at " + loose.string()},
        {"bundle without identifier",
         [&] { root.write("loose/Contents/Info.plist", "<plist><dict/></plist>"); },
         loose / "Contents/MacOS/KestraluneScheduler",
         "Kestralune scheduler: Could not resolve containing application at " + loose.string()},
        {"no executable named", [&] { setExecutable(""); }, agent,
         cannotOpen + "its Info.plist names no executable."},
        {"executable missing",
         [&] { setExecutable("<key>CFBundleExecutable</key><string>Gone</string>"); }, agent,
         cannotOpen + "its executable \u201C" + app.string() +
             "/Contents/MacOS/Gone\u201D could not be started (No such file or directory)."},
        {"executable not executable",
         [&] {
             root.write("home/Applications/Kestralune.app/Contents/MacOS/Plain", "text", 0644);
             setExecutable("<key>CFBundleExecutable</key><string>Plain</string>");
         },
         agent,
         cannotOpen + "its executable \u201C" + app.string() +
             "/Contents/MacOS/Plain\u201D could not be started (Permission denied)."},
    };
    writeSnapshot(kAlwaysOpen);
    for (const auto& row : rows) {
        fs::remove(log);
        row.breakIt();
        EXPECT_EQ(runAgent(row.agent), 1) << row.name;
        const auto lines = linesOf(logText());
        ASSERT_EQ(lines.size(), 2u) << row.name << ": " << logText();
        EXPECT_TRUE(lines[0].ends_with("] " + row.line)) << row.name << ": " << lines[0];
    }
    EXPECT_EQ(hosts(), std::vector<pid_t>{});
}

}  // namespace
}  // namespace kestralune
