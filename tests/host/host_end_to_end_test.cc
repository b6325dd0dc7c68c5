// The built host bundle, started as a real process with a temporary HOME and runtime folder
// and driven only through the built kestralunectl.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kestralune {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(15);
constexpr auto kPollInterval = std::chrono::milliseconds(20);

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Polls `done` until it holds or the deadline passes.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = SteadyClock::now() + kDeadline;
    while (SteadyClock::now() < deadline) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return done();
}

// A child process with its standard output and error in files. Killed and reaped on
// destruction when still running.
class Child {
  public:
    Child(const std::string& program, const std::vector<std::string>& arguments,
          const std::vector<std::string>& environment, const fs::path& outPath,
          const fs::path& errPath)
        : outPath(outPath), errPath(errPath) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> rawArgv;
        for (auto& argument : argv) {
            rawArgv.push_back(argument.data());
        }
        rawArgv.push_back(nullptr);
        std::vector<std::string> env = environment;
        std::vector<char*> rawEnv;
        for (auto& entry : env) {
            rawEnv.push_back(entry.data());
        }
        rawEnv.push_back(nullptr);
        const int error =
            ::posix_spawn(&pid, program.c_str(), &actions, nullptr, rawArgv.data(), rawEnv.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(error, 0) << program << ": " << std::strerror(error);
        if (error != 0) {
            pid = -1;
        }
    }
    ~Child() {
        if (pid > 0 && !exitStatus) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void signal(int number) const { ::kill(pid, number); }

    // The exit status once the child has exited normally; -1 for a death by signal.
    std::optional<int> poll() {
        if (exitStatus || pid <= 0) {
            return exitStatus;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exitStatus;
    }
    std::optional<int> waitForExit() {
        eventually([this] { return poll().has_value(); });
        return poll();
    }

    std::string out() const { return readFile(outPath); }
    std::string err() const { return readFile(errPath); }

  private:
    pid_t pid = -1;
    std::optional<int> exitStatus;
    fs::path outPath;
    fs::path errPath;
};

class HostEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Short: the socket path inside it must fit a socket address.
        static int counter = 0;
        root = fs::temp_directory_path() /
               ("kle2e-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        fs::remove_all(root);
        fs::create_directories(root / "home");
        fs::create_directories(root / "run");
        fs::permissions(root / "run", fs::perms::owner_all, fs::perm_options::replace);
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (text.rfind("HOME=", 0) == 0 || text.rfind("XDG_", 0) == 0) {
                continue;
            }
            environment.push_back(text);
        }
        environment.push_back("HOME=" + (root / "home").string());
        environment.push_back("XDG_RUNTIME_DIR=" + (root / "run").string());
    }
    void TearDown() override {
        children.clear();
        fs::remove_all(root);
    }

    Child& spawn(const std::string& program, const std::vector<std::string>& arguments) {
        const auto name = "child-" + std::to_string(children.size());
        children.push_back(std::make_unique<Child>(program, arguments, environment,
                                                   root / (name + ".out"), root / (name + ".err")));
        return *children.back();
    }
    Child& startHost(const std::vector<std::string>& arguments = {}) {
        return spawn(KESTRALUNE_HOST_PATH, arguments);
    }

    struct CtlResult {
        int exitCode;
        std::string out;
        std::string err;
    };
    CtlResult ctl(const std::vector<std::string>& arguments) {
        auto& child = spawn(KESTRALUNECTL_PATH, arguments);
        const auto status = child.waitForExit();
        return CtlResult{status.value_or(-2), child.out(), child.err()};
    }
    // Waits until the host answers on its socket.
    void waitUntilServing() {
        ASSERT_TRUE(eventually([this] {
            auto& child = spawn(KESTRALUNECTL_PATH, {"--timeout", "2", "menu"});
            return child.waitForExit() == 0;
        })) << "the host never answered";
    }
    fs::path socketPath() const { return root / "run" / "kestralune" / "com.orrindale.app.sock"; }

    fs::path root;
    std::vector<std::string> environment;
    std::vector<std::unique_ptr<Child>> children;
};

// A quit request during a session is refused (the host keeps serving); after stopSession
// the same request ends the process cleanly.
TEST_F(HostEndToEndTest, SigtermIsRefusedDuringASessionAndExitsCleanlyAfterIt) {
    auto& host = startHost();
    waitUntilServing();

    auto synced = ctl({"call", "syncConfiguration",
                       R"({"allWebsitesBlocked":false,"blockedDomains":[],"blockedApps":[]})"});
    ASSERT_EQ(synced.exitCode, 0) << synced.err;
    EXPECT_NE(synced.out.find("\"stored\":true"), std::string::npos) << synced.out;

    auto started = ctl({"call", "startSession"});
    ASSERT_EQ(started.exitCode, 0) << started.err;
    EXPECT_NE(started.out.find("\"started\":true"), std::string::npos) << started.out;

    host.signal(SIGTERM);
    ASSERT_TRUE(eventually([&host] {
        return host.err().find(
                   "Kestralune alert: You can\u2019t quit Kestralune while a "
                   "blocking session is active") != std::string::npos;
    })) << host.err();
    EXPECT_FALSE(host.poll());
    auto status = ctl({"call", "getBlockingStatus"});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_NE(status.out.find("\"sessionActive\":true"), std::string::npos) << status.out;
    // The menu is rebuilt when the UI syncs its state; from then on it offers no quit item.
    ASSERT_EQ(ctl({"call", "syncMenuBarState", R"({"sessionActive":true})"}).exitCode, 0);
    auto menu = ctl({"menu"});
    EXPECT_NE(menu.out.find("Blocking is active"), std::string::npos) << menu.out;
    EXPECT_EQ(menu.out.find("quit"), std::string::npos) << menu.out;
    auto refused = ctl({"quit"});
    EXPECT_NE(refused.out.find("\"terminated\":false"), std::string::npos) << refused.out;

    auto stopped = ctl({"call", "stopSession"});
    ASSERT_EQ(stopped.exitCode, 0) << stopped.err;
    EXPECT_NE(stopped.out.find("\"stopped\":true"), std::string::npos);
    auto count = ctl({"call", "getBlockedAttemptCount"});
    EXPECT_EQ(count.out, "{\"count\":0}\n");

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), 0) << host.err();
    EXPECT_FALSE(fs::exists(socketPath()));
}

// A second start hands its link to the running host, which tells the UI; the invitation
// is still there after a restart.
TEST_F(HostEndToEndTest, SecondInstanceForwardsItsDeepLinkToTheRunningHost) {
    auto& host = startHost();
    waitUntilServing();
    auto& listener = spawn(KESTRALUNECTL_PATH, {"listen", "--count", "1"});
    ASSERT_TRUE(eventually([&listener] {
        return listener.err().find("listening on orrindale/blocking") != std::string::npos;
    }));

    auto& second = startHost({"kestralune://invite?code=e2e"});
    EXPECT_EQ(second.waitForExit(), 0) << second.err();
    EXPECT_EQ(listener.waitForExit(), 0);
    EXPECT_EQ(
        listener.out(),
        "{\"method\":\"inviteLinkReceived\",\"arguments\":\"kestralune://invite?code=e2e\"}\n");

    auto& third = startHost();
    EXPECT_EQ(third.waitForExit(), 0) << "a start without links asks for a re-open";
    EXPECT_FALSE(host.poll());

    auto quit = ctl({"quit"});
    EXPECT_EQ(quit.out, "{\"terminated\":true}\n") << quit.err;
    EXPECT_EQ(host.waitForExit(), 0);

    auto& restarted = startHost();
    waitUntilServing();
    auto link = ctl({"call", "getInitialInviteLink"});
    EXPECT_EQ(link.out, "\"kestralune://invite?code=e2e\"\n") << link.err;
    auto auth = ctl({"call", "getInitialAuthLink"});
    EXPECT_EQ(auth.out, "null\n");
    restarted.signal(SIGINT);
    EXPECT_EQ(restarted.waitForExit(), 0);
}

TEST_F(HostEndToEndTest, ChoosingWebsitesInTheMenuReachesAListener) {
    auto& host = startHost();
    waitUntilServing();
    auto& listener = spawn(KESTRALUNECTL_PATH, {"listen", "--count", "1"});
    ASSERT_TRUE(eventually([&listener] {
        return listener.err().find("listening on orrindale/blocking") != std::string::npos;
    }));

    auto chosen = ctl({"menu", "choose", "websites"});
    EXPECT_EQ(chosen.exitCode, 0) << chosen.err;
    EXPECT_EQ(listener.waitForExit(), 0);
    EXPECT_EQ(listener.out(), "{\"method\":\"menuBarAction\",\"arguments\":\"websites\"}\n");

    auto unknown = ctl({"menu", "choose", "updates"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("unknown_item"), std::string::npos) << unknown.err;

    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), 0);
}

}  // namespace
}  // namespace kestralune
