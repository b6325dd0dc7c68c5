#include "tests/channel/channel_server_fixture.h"

#include "channel/socket_transport.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace kestralune {
namespace {

// kestralunectl run as a child process with its outputs on pipes.
class CtlProcess {
  public:
    explicit CtlProcess(const std::vector<std::string>& arguments) {
        int out[2];
        int err[2];
        EXPECT_EQ(::pipe(out), 0);
        EXPECT_EQ(::pipe(err), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<std::string> argv = {KESTRALUNECTL_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> raw;
        for (auto& argument : argv) {
            raw.push_back(argument.data());
        }
        raw.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        outFd = out[0];
        errFd = err[0];
    }
    ~CtlProcess() {
        ::close(outFd);
        ::close(errFd);
        if (pid > 0 && !waited) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // One line of standard error, without its line break ("" at end of file).
    std::string readErrLine() {
        std::string line;
        char c = 0;
        while (::read(errFd, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }
    struct Finished {
        int exitCode;
        std::string out;
        std::string err;
    };
    // Reads both outputs to their end (they are small) and waits for the exit.
    Finished finish() {
        Finished result{-1, readAll(outFd), readAll(errFd)};
        int status = 0;
        ::waitpid(pid, &status, 0);
        waited = true;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return result;
    }

  private:
    static std::string readAll(int fd) {
        std::string text;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(fd, buffer, sizeof(buffer))) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }

    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
    bool waited = false;
};

class KestraluneCtlTest : public ChannelServerFixture {
  protected:
    CtlProcess::Finished run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--socket", path.string()});
        return CtlProcess(arguments).finish();
    }
};

// The reply is printed as one line of JSON and the arguments arrive mapped from JSON.
TEST_F(KestraluneCtlTest, CallPrintsTheReplyAsJson) {
    auto result = run({"--channel", "test/echo", "call", "ping", R"({"a":[1,2.5,"x",null]})"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "[\"ping\",{\"a\":[1,2.5,\"x\",null]}]\n");

    auto bare = run({"--channel=test/echo", "call", "n", "-5"});
    EXPECT_EQ(bare.out, "[\"n\",-5]\n");
}

// Error replies and not-implemented must fail the command with the code and message on
// standard error, so scripts can tell them from success.
TEST_F(KestraluneCtlTest, ErrorRepliesExitOneWithCodeAndMessage) {
    onServer([this] {
        blocking->setMethodCallHandler([](const MethodCall& call, MethodResult result) {
            if (call.method == "syncBackgroundSchedule") {
                result.error("schedule_storage_failed", "The disk is full.");
            } else {
                result.notImplemented();
            }
        });
        return true;
    });
    auto failed = run({"call", "syncBackgroundSchedule", "{}"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, "schedule_storage_failed: The disk is full.\n");

    auto unknown = run({"call", "SetAppearance"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.err, "not implemented\n");
}

// Each row is a misuse; all must exit 2 without contacting the host.
TEST_F(KestraluneCtlTest, UsageErrorsExitTwo) {
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"frobnicate"},
        {"call"},
        {"call", "m", "{not json"},
        {"call", "m", "1", "2"},
        {"--timeout", "0", "call", "m"},
        {"--unknown", "call", "m"},
        {"menu", "pick", "x"},
    };
    for (const auto& row : rows) {
        auto result = run(row);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(row);
    }
}

// No host listening is its own exit status, distinct from an error reply.
TEST_F(KestraluneCtlTest, MissingHostExitsThree) {
    auto result = CtlProcess({"--socket", (folder / "absent.sock").string(), "call", "x"}).finish();
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_NE(result.err.find("absent.sock"), std::string::npos);
}

// The bundle identifier selects the socket in the private runtime folder.
TEST_F(KestraluneCtlTest, BundleIdentifierSelectsTheSocket) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
    auto socket = channelSocketPath("test.bundle", true);
    ASSERT_TRUE(socket) << socket.error();
    asio::io_context otherIo;
    ChannelServer other(otherIo);
    MethodChannel channel(other, "orrindale/blocking");
    channel.setMethodCallHandler(
        [](const MethodCall&, MethodResult result) { result.success(EncodableValue("found")); });
    ASSERT_EQ(other.start(*socket).outcome, ChannelServer::StartOutcome::listening);
    std::thread serving([&] { otherIo.run_for(kTestTimeout); });

    auto result = CtlProcess({"--bundle-id", "test.bundle", "call", "x"}).finish();
    asio::post(otherIo, [&] {
        other.stop();
        otherIo.stop();
    });
    serving.join();
    if (saved != nullptr) {
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "\"found\"\n");
}

// Each outgoing call must come out as one JSON line as it arrives.
TEST_F(KestraluneCtlTest, ListenPrintsEachOutgoingCallAsAJsonLine) {
    CtlProcess listener({"--socket", path.string(), "listen", "--count", "3"});
    ASSERT_EQ(listener.readErrLine(), "listening on orrindale/blocking");
    onServer([this] {
        blocking->invokeMethod("menuBarAction", EncodableValue("websites"));
        blocking->invokeMethod("authLinkReceived",
                               EncodableValue("kestralune://auth-callback?c=1"));
        blocking->invokeMethod("inviteLinkReceived", EncodableValue("https://x.test/invite/abc"));
        return true;
    });
    auto result = listener.finish();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out,
              "{\"method\":\"menuBarAction\",\"arguments\":\"websites\"}\n"
              "{\"method\":\"authLinkReceived\",\"arguments\":\"kestralune://auth-callback?c=1\"}\n"
              "{\"method\":\"inviteLinkReceived\",\"arguments\":\"https://x.test/invite/abc\"}\n");
}

// menu, menu choose and quit speak the control channel's contract.
TEST_F(KestraluneCtlTest, MenuAndQuitUseTheControlChannel) {
    std::vector<EncodableValue> chosen;
    MethodChannel control(*server, "kestralune/control");
    onServer([&] {
        control.setMethodCallHandler([&chosen](const MethodCall& call, MethodResult result) {
            auto item = [](const char* title, bool enabled, EncodableValue action) {
                return EncodableValue(
                    EncodableMap{{EncodableValue("kind"), EncodableValue("item")},
                                 {EncodableValue("title"), EncodableValue(title)},
                                 {EncodableValue("enabled"), EncodableValue(enabled)},
                                 {EncodableValue("action"), std::move(action)}});
            };
            if (call.method == "getMenu") {
                result.success(EncodableValue(
                    EncodableList{item("Start Blocking", true, EncodableValue("toggleBlock")),
                                  EncodableValue(EncodableMap{
                                      {EncodableValue("kind"), EncodableValue("separator")},
                                      {EncodableValue("title"), EncodableValue("")},
                                      {EncodableValue("enabled"), EncodableValue(false)},
                                      {EncodableValue("action"), EncodableValue()}}),
                                  item("Status: idle", false, EncodableValue())}));
            } else if (call.method == "chooseMenuItem") {
                chosen.push_back(call.arguments);
                if (call.arguments == EncodableValue("websites")) {
                    result.success();
                } else {
                    result.error("unknown_item", "No such item.");
                }
            } else if (call.method == "quit") {
                result.success(EncodableValue(
                    EncodableMap{{EncodableValue("terminated"), EncodableValue(false)}}));
            } else {
                result.notImplemented();
            }
        });
        return true;
    });

    auto menu = run({"menu"});
    EXPECT_EQ(menu.exitCode, 0) << menu.err;
    EXPECT_EQ(menu.out,
              "toggleBlock  Start Blocking\n"
              "---\n"
              "-            Status: idle  (disabled)\n");

    auto choose = run({"menu", "choose", "websites"});
    EXPECT_EQ(choose.exitCode, 0) << choose.err;
    EXPECT_EQ(choose.out, "");
    auto unknown = run({"menu", "choose", "nothing"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_EQ(unknown.err, "unknown_item: No such item.\n");

    auto quit = run({"quit"});
    EXPECT_EQ(quit.exitCode, 0);
    EXPECT_EQ(quit.out, "{\"terminated\":false}\n");

    onServer([&] {
        control.setMethodCallHandler({});
        return true;
    });
    ASSERT_EQ(chosen.size(), 2u);
    EXPECT_EQ(chosen[0], EncodableValue("websites"));
}

}  // namespace
}  // namespace kestralune
