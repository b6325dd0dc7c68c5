// The built agent as launchd runs it: a real process inside a copy of the built bundle in a
// temporary HOME, with its standard error (and that of the host it opens) in a file. The
// programs it opens are nobody's child here, so they are found by their executable.
#include "platform/linux/application_launcher_linux.h"
#include "platform/linux/pidfd.h"
#include "platform/testing/fixture_applications.h"
#include "platform/unique_fd.h"
#include "tests/platform/temp_directory.h"
#include "tests/support/text_lines.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <ctime>

namespace kestralune {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAlwaysOpen =
    R"({"enabled":true,"start":"00:00","end":"00:00","weekdays":[1,2,3,4,5,6,7]})";

// A link under /proc/PID (exe, fd/0), or nothing once the process has gone.
std::optional<std::string> procLink(pid_t pid, const std::string& entry) {
    std::error_code error;
    auto link = fs::read_symlink("/proc/" + std::to_string(pid) + "/" + entry, error);
    return error ? std::nullopt : std::optional(link.string());
}

// The processes running `executable`, without their own children caught between fork and
// exec (a host starting a tool).
std::vector<pid_t> processesRunning(const std::string& executable) {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        if (pid <= 0 || procLink(pid, "exe") != executable) {
            continue;
        }
        const std::string stat = TempDirectory::read(entry.path() / "stat");
        const auto afterName = stat.rfind(')');
        const pid_t parent =
            afterName == std::string::npos ? 0 : std::atoi(stat.c_str() + afterName + 4);
        if (procLink(parent, "exe") != executable) {
            found.push_back(pid);
        }
    }
    return found;
}

// SIGTERM, then SIGKILL after 10 s; the pidfd is taken before the executable is checked
// again, so a pid passed on meanwhile is never signalled.
void endProcessesOf(const std::string& executable) {
    for (const pid_t pid : processesRunning(executable)) {
        const UniqueFd process(pidfdOpen(pid));
        if (process.valid() && procLink(pid, "exe") == executable) {
            pidfdSendSignal(process.get(), SIGTERM);
            if (!eventually([&] { return procLink(pid, "exe") != executable; }, 10)) {
                pidfdSendSignal(process.get(), SIGKILL);
            }
        }
    }
}

class SchedulerAgentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::unsetenv("XDG_DATA_HOME");
        ::unsetenv("XDG_CONFIG_HOME");
        // Hosts in ~/Applications register the agent at start-up: never with the session's
        // own service manager.
        ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
        ::setenv("GSETTINGS_BACKEND", "keyfile", 1);
        ::setenv("HOME", home.c_str(), 1);
        useRuntimeFolder("run");
        fs::create_directories(app.parent_path());
        fs::copy(KESTRALUNE_APP_PATH, app, fs::copy_options::recursive);
        // An identifier of the copy's own: a Kestralune the user runs meanwhile is not this
        // application, so the agent does not take it for a running host.
        const auto info = app / "Contents/Info.plist";
        std::string text = TempDirectory::read(info);
        for (auto at = text.find(">com.orrindale.app<"); at != std::string::npos;
             at = text.find(">com.orrindale.app<", at)) {
            text.replace(at + 1, 17, identifier);
        }
        root.write("home/Applications/Kestralune.app/Contents/Info.plist", text);
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
    int runAgent(const fs::path& path) {
        return processes.waitForExit(processes.start(path.string(), {}, log.c_str()));
    }
    std::string logText() const { return TempDirectory::read(log); }
    // The run fails and writes exactly `line` (after the log's own prefix).
    void expectFailureLogging(const fs::path& path, const std::string& line) {
        fs::remove(log);
        EXPECT_EQ(runAgent(path), 1) << line;
        const auto lines = linesOf(logText());
        EXPECT_TRUE(lines.size() == 2 && lines[0].ends_with("] " + line)) << logText();
    }

    TempDirectory root;
    const fs::path home = root.path() / "home";
    const fs::path app = home / "Applications/Kestralune.app";
    const fs::path agent = app / "Contents/MacOS/KestraluneScheduler";
    const std::string hostPath = (app / "Contents/MacOS/Kestralune").string();
    const std::string log = (root.path() / "agent.log").string();
    const std::string identifier = "com.orrindale.app.test" + std::to_string(::getpid());
    FixtureProcesses processes;
};

TEST_F(SchedulerAgentTest, NothingToDoEndsQuietlyWithoutOpeningTheHost) {
    // Fails if a missing or unreadable snapshot, a disabled schedule or a closed window is
    // logged, fails the run or opens the host, or if a link to the agent is not resolved
    // before the bundle is looked for.
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    const int dayAfterTomorrow = (local.tm_wday + 1) % 7 + 1;  // 1 = Monday ... 7 = Sunday
    const std::pair<const char*, std::string> rows[] = {
        {"no file", ""},
        {"not a snapshot", R"({"enabled":true})"},
        {"disabled", R"({"enabled":false,"start":"0:0","end":"0:0","weekdays":[1,2,3,4,5,6,7]})"},
        {"another day", R"({"enabled":true,"start":"0:0","end":"0:0","weekdays":[)" +
                            std::to_string(dayAfterTomorrow) + "]}"},
    };
    fs::create_directory_symlink(app / "Contents/MacOS", root.path() / "link");
    for (const auto& [name, snapshot] : rows) {
        fs::remove(home / ".local/share/com.orrindale.app/background-schedule.json");
        if (!snapshot.empty()) {
            writeSnapshot(snapshot);
        }
        EXPECT_EQ(runAgent(agent), 0) << name;
        EXPECT_EQ(runAgent(root.path() / "link/KestraluneScheduler"), 0) << name;
        EXPECT_EQ(logText(), "") << name;
    }
    EXPECT_EQ(processesRunning(hostPath), std::vector<pid_t>{});
}

TEST_F(SchedulerAgentTest, OpenWindowOpensTheHostDetachedWithTheFlagOnlyOnce) {
    // Fails if the agent counts itself as the running application, passes other arguments,
    // leaves the host in its session, hands it its input or its ignored signals, reports
    // success before the host runs, or opens a second host beside the running one.
    writeSnapshot(kAlwaysOpen);
    const auto previous = std::signal(SIGPIPE, SIG_IGN);  // as a systemd service has it
    const UniqueFd savedInput(::dup(STDIN_FILENO));
    ::dup2(UniqueFd(::open(log.c_str(), O_RDONLY | O_CREAT, 0600)).get(), STDIN_FILENO);
    EXPECT_EQ(runAgent(agent), 0) << logText();
    ::dup2(savedInput.get(), STDIN_FILENO);
    std::signal(SIGPIPE, previous);

    const auto started = processesRunning(hostPath);
    ASSERT_EQ(started.size(), 1u) << logText();
    const std::string proc = "/proc/" + std::to_string(started[0]);
    EXPECT_EQ(TempDirectory::read(proc + "/cmdline"),
              hostPath + '\0' + "--kestralune-scheduled-launch" + '\0');
    EXPECT_EQ(::getsid(started[0]), started[0]);
    EXPECT_EQ(procLink(started[0], "fd/0"), "/dev/null");
    const auto status = TempDirectory::read(proc + "/status");
    const auto ignored = std::stoull(status.substr(status.find("SigIgn:") + 7), nullptr, 16);
    EXPECT_EQ(ignored & (1u << (SIGPIPE - 1)), 0u) << status;
    EXPECT_TRUE(eventually([this] {
        return logText().find("Kestralune window is key and in front") != std::string::npos;
    })) << logText();
    EXPECT_EQ(logText().find("Kestralune scheduler:"), std::string::npos) << logText();

    // A second host would serve this other runtime folder rather than hand over and vanish.
    useRuntimeFolder("other-run");
    EXPECT_EQ(runAgent(agent), 0);
    EXPECT_EQ(processesRunning(hostPath), started);
}

TEST_F(SchedulerAgentTest, AScheduleStoredThroughTheChannelOpensTheHost) {
    // Fails if the host stores the schedule where, or in a form that, the agent does not read.
    const auto ctl = [this](const std::string& arguments) {
        FILE* pipe = ::popen(
            (KESTRALUNECTL_PATH " --bundle-id " + identifier + " " + arguments + " 2>&1").c_str(),
            "r");
        std::string text;
        for (int c; (c = std::fgetc(pipe)) != EOF;) {
            text.push_back(static_cast<char>(c));
        }
        ::pclose(pipe);
        return text;
    };
    const pid_t host = processes.start(hostPath, {}, log.c_str());
    EXPECT_TRUE(eventually([&] {
        return ctl("call syncBackgroundSchedule '" + std::string(kAlwaysOpen) + "'") == "null\n";
    }));
    EXPECT_EQ(ctl("quit"), "{\"terminated\":true}\n");
    EXPECT_EQ(processes.waitForExit(host), 0);
    EXPECT_EQ(runAgent(agent), 0);
    EXPECT_EQ(processesRunning(hostPath).size(), 1u) << logText();
}

TEST_F(SchedulerAgentTest, BrokenInstallationsLogOneLineAndFail) {
    // Fails if a broken bundle or launch is silent, succeeds, logs more than the one line, or
    // the line does not name the bundle and the reason.
    const fs::path loose = root.path() / "loose";
    fs::create_directories(loose / "Contents/MacOS");
    fs::copy(agent, loose / "Contents/MacOS");
    expectFailureLogging(
        loose / "Contents/MacOS/KestraluneScheduler",
        "Kestralune scheduler: Could not resolve containing application at " + loose.string());

    writeSnapshot(kAlwaysOpen);
    root.write("home/Applications/Kestralune.app/Contents/MacOS/Plain", "text", 0644);
    const std::string info = TempDirectory::read(app / "Contents/Info.plist");
    const std::string named = "<string>Kestralune</string>";  // CFBundleExecutable comes first
    const std::string failed =
        "Kestralune scheduler: Scheduled launch failed: The application \u201C" + app.string() +
        "\u201D can\u2019t be opened because its executable \u201C" + app.string() +
        "/Contents/MacOS/";
    for (const auto& [executable, reason] : {std::pair("Gone", "No such file or directory"),
                                             std::pair("Plain", "Permission denied")}) {
        root.write("home/Applications/Kestralune.app/Contents/Info.plist",
                   std::string(info).replace(info.find(named), named.size(),
                                             std::string("<string>") + executable + "</string>"));
        expectFailureLogging(agent,
                             failed + executable + "\u201D could not be started (" + reason + ").");
    }
}

// The launcher on its own, for what the agent's runs cannot show, since the agent ends at once.
TEST(ApplicationLauncherTest, LeavesTheCallerNoChildNorZombie) {
    // Fails if the program stays the caller's child, or the child between them is unreaped.
    TempDirectory directory;
    directory.write("Sleep.app/Contents/Info.plist",
                    "<plist><dict><key>CFBundleExecutable</key><string>s</string></dict></plist>");
    const auto program = makeFixtureBundle(directory.path(), "Sleep.app/Contents/MacOS/s", nullptr);
    AsioRunLoop loop;
    std::vector<std::optional<std::string>> outcomes;
    makeApplicationLauncher(loop)->openApplication((directory.path() / "Sleep.app").string(),
                                                   {"60"},
                                                   [&](auto error) { outcomes.push_back(error); });
    loop.runUntil([&] { return !outcomes.empty(); }, 15);
    EXPECT_EQ(outcomes, std::vector<std::optional<std::string>>{std::nullopt});
    EXPECT_EQ(processesRunning(program).size(), 1u);
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    endProcessesOf(program);
}

}  // namespace
}  // namespace kestralune
