// The built host bundle, started as a real process with a temporary HOME and runtime folder
// and driven only through the built kestralunectl.
#include "platform/plist_value.h"
#include "platform/text.h"
#include "tests/platform/temp_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

extern char** environ;

namespace kestralune {
namespace {

namespace fs = std::filesystem;

// Polls `done` until it holds or a generous deadline passes.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

// A child process with its standard output and error in files; killed and reaped on
// destruction when still running.
class Child {
  public:
    Child(std::vector<std::string> argv, std::vector<std::string> environment, fs::path output)
        : outPath(output.string() + ".out"), errPath(output.string() + ".err") {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0600);
        const int error = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr,
                                        pointers(argv).data(), pointers(environment).data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(error, 0) << argv[0];
    }
    ~Child() {
        if (!poll()) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void signal(int number) const { ::kill(pid, number); }
    // The exit status once the child has exited; -1 for a death by signal.
    std::optional<int> poll() {
        int status = 0;
        if (!exitStatus && ::waitpid(pid, &status, WNOHANG) == pid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exitStatus;
    }
    std::optional<int> waitForExit() {
        eventually([this] { return poll().has_value(); });
        return poll();
    }
    std::string out() const { return TempDirectory::read(outPath); }
    std::string err() const { return TempDirectory::read(errPath); }

  private:
    pid_t pid = -1;
    std::optional<int> exitStatus;
    std::string outPath;
    std::string errPath;
};

class HostEndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (char** entry = environ; *entry; ++entry) {
            const std::string text = *entry;
            if (text.rfind("HOME=", 0) != 0 && text.rfind("XDG_", 0) != 0) {
                environment.push_back(text);
            }
        }
        fs::create_directories(root.path() / "home");
        fs::create_directory(root.path() / "run");
        fs::permissions(root.path() / "run", fs::perms::owner_all, fs::perm_options::replace);
        environment.push_back("HOME=" + (root.path() / "home").string());
        environment.push_back("XDG_RUNTIME_DIR=" + (root.path() / "run").string());
    }

    Child& spawn(const std::string& program, std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), program);
        const auto output = root.path() / ("child-" + std::to_string(children.size()));
        return *children.emplace_back(std::make_unique<Child>(arguments, environment, output));
    }
    Child& startHost(const std::vector<std::string>& arguments = {}) {
        auto& host = spawn(KESTRALUNE_HOST_PATH, arguments);
        EXPECT_TRUE(eventually([this] {
            return ctl({"--timeout", "2", "menu"}).exitCode == 0;
        })) << "the host never answered";
        return host;
    }
    Child& listen(int count) {
        auto& listener = spawn(KESTRALUNECTL_PATH, {"listen", "--count", std::to_string(count)});
        EXPECT_TRUE(eventually([&listener] {
            return listener.err().find("listening on orrindale/blocking") != std::string::npos;
        }));
        return listener;
    }

    struct CtlResult {
        int exitCode;
        std::string out;
        std::string err;
    };
    CtlResult ctl(const std::vector<std::string>& arguments) {
        auto& child = spawn(KESTRALUNECTL_PATH, arguments);
        return CtlResult{child.waitForExit().value_or(-2), child.out(), child.err()};
    }

    TempDirectory root;
    std::vector<std::string> environment;
    // Last, so that the children are ended before their folder goes.
    std::vector<std::unique_ptr<Child>> children;
};

// A quit request during a session is refused (the host keeps serving, the menu offers no
// quit); after stopSession the same request ends the process cleanly.
TEST_F(HostEndToEndTest, SigtermIsRefusedDuringASessionAndExitsCleanlyAfterIt) {
    auto& host = startHost();
    auto synced = ctl({"call", "syncConfiguration", R"({"allWebsitesBlocked":false})"});
    EXPECT_EQ(synced.out, "{\"items\":[\"allWebsitesBlocked\"],\"stored\":true}\n") << synced.err;
    auto started = ctl({"call", "startSession"});
    EXPECT_NE(started.out.find("\"started\":true"), std::string::npos) << started.err;

    host.signal(SIGTERM);
    ASSERT_TRUE(eventually([&host] {
        return host.err().find(
                   "Kestralune alert: You can\u2019t quit Kestralune while a "
                   "blocking session is active") != std::string::npos;
    })) << host.err();
    EXPECT_NE(ctl({"call", "getBlockingStatus"}).out.find("\"sessionActive\":true"),
              std::string::npos);
    ASSERT_EQ(ctl({"call", "syncMenuBarState", R"({"sessionActive":true})"}).exitCode, 0);
    auto menu = ctl({"menu"});
    EXPECT_NE(menu.out.find("Blocking is active"), std::string::npos) << menu.out;
    EXPECT_EQ(menu.out.find("quit"), std::string::npos) << menu.out;
    EXPECT_EQ(ctl({"quit"}).out, "{\"terminated\":false}\n");

    EXPECT_EQ(ctl({"call", "stopSession"}).out, "{\"stopped\":true}\n");
    EXPECT_EQ(ctl({"call", "getBlockedAttemptCount"}).out, "{\"count\":0}\n");
    host.signal(SIGTERM);
    EXPECT_EQ(host.waitForExit(), 0) << host.err();
    EXPECT_FALSE(fs::exists(root.path() / "run" / "kestralune" / "com.orrindale.app.sock"));
}

// Links from the command line reach the UI as URL text, whether the host opens them itself
// or a second start hands them over; the invitation outlives a restart in a preferences
// file that stays well-formed. A menu choice reaches the UI too.
TEST_F(HostEndToEndTest, LinksAndMenuChoicesReachTheUIAsText) {
    auto& host = startHost({"kestralune://invite?name=\xFF x"});
    EXPECT_EQ(ctl({"call", "getInitialInviteLink"}).out, "\"kestralune://invite?name=%FF%20x\"\n");

    auto& listener = listen(2);
    auto& second = spawn(KESTRALUNE_HOST_PATH, {"kestralune://invite?code=\xC3\xA9 2%zz"});
    EXPECT_EQ(second.waitForExit(), 0) << second.err();
    EXPECT_EQ(ctl({"menu", "choose", "websites"}).exitCode, 0);
    EXPECT_NE(ctl({"menu", "choose", "updates"}).err.find("unknown_item"), std::string::npos);
    EXPECT_EQ(listener.waitForExit(), 0);
    EXPECT_EQ(listener.out(),
              "{\"method\":\"inviteLinkReceived\",\"arguments\":\"kestralune://"
              "invite?code=%C3%A9%202%25zz\"}\n"
              "{\"method\":\"menuBarAction\",\"arguments\":\"websites\"}\n");
    EXPECT_EQ(spawn(KESTRALUNE_HOST_PATH, {}).waitForExit(), 0) << "a plain start re-opens";
    EXPECT_EQ(ctl({"quit"}).out, "{\"terminated\":true}\n");
    EXPECT_EQ(host.waitForExit(), 0);

    auto& restarted = startHost();
    EXPECT_EQ(ctl({"call", "getInitialInviteLink"}).out,
              "\"kestralune://invite?code=%C3%A9%202%25zz\"\n");
    EXPECT_EQ(ctl({"call", "getInitialAuthLink"}).out, "null\n");
    restarted.signal(SIGINT);
    EXPECT_EQ(restarted.waitForExit(), 0);
    const auto file = TempDirectory::read(
        root.path() / "home/.config/Kestralune/Preferences/com.orrindale.app.plist");
    EXPECT_TRUE(isValidUtf8(file));
    const auto stored = parsePropertyList(file);
    ASSERT_TRUE(stored && stored->is<PlistValue::Dictionary>());
    EXPECT_EQ(stored->get<PlistValue::Dictionary>()->at("kestralune.pendingInviteLink"),
              PlistValue("kestralune://invite?code=%C3%A9%202%25zz"));
}

}  // namespace
}  // namespace kestralune
