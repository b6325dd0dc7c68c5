// kestralunectl as a program against an in-process host. The host's end-to-end tests drive it
// against the real host: the socket found from the bundle identifier, menu, quit and listen.
#include "channel/json_mapping.h"
#include "tests/channel/channel_server_fixture.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/wait.h>

#include <cstdio>

namespace kestralune {
namespace {

using V = EncodableValue;

class KestraluneCtlTest : public ChannelServerFixture {
  protected:
    void SetUp() override {
        ChannelServerFixture::SetUp();
        const V menu = encodableFromJsonText(R"([
            {"kind":"item","title":"Start Blocking","enabled":true,"action":"toggleBlock"},
            {"kind":"separator","title":"","enabled":false,"action":null},
            {"kind":"item","title":"Status: idle","enabled":false,"action":null}])")
                           .value();
        onServer([&] {
            MethodChannel(*server, "kestralune/control")
                .setMethodCallHandler([menu](const MethodCall& call, MethodResult result) {
                    if (call.method == "getMenu") {
                        result.success(menu);
                    } else {
                        result.error("schedule_storage_failed", "The disk is full.",
                                     V(EncodableList{V(1)}));
                    }
                });
        });
    }
    // Runs kestralunectl on the test socket (shell words), standard error joined to the output.
    std::pair<int, std::string> run(const std::string& arguments) {
        const std::string command =
            std::string(KESTRALUNECTL_PATH) + " --socket " + path.string() + " " + arguments;
        FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
        std::string out;
        for (int c = 0; (c = std::fgetc(pipe)) != EOF;) {
            out += static_cast<char>(c);
        }
        const int status = ::pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
    }
};

// Each row: arguments, exit status and output. The status tells success (0), an error reply or
// not implemented (1), misuse (2, before any contact) and no host (3).
TEST_F(KestraluneCtlTest, CommandsPrintRepliesAndExitWithTheirStatus) {
    const std::string absent = (folder / "absent.sock").string();
    const std::string input = (folder / "arguments.json").string();
    std::ofstream(input) << "[7, \"from standard input\"]";
    const std::vector<std::tuple<std::string, int, std::string>> rows = {
        {R"(--channel test/echo call ping '{"a":[1,2.5,"x",null]}')", 0,
         R"(["ping",{"a":[1,2.5,"x",null]}])"
         "\n"},
        {"--channel=test/echo call n -5", 0, "[\"n\",-5]\n"},
        {"--channel=test/echo call n - < " + input, 0, "[\"n\",[7,\"from standard input\"]]\n"},
        {"--channel kestralune/control call sync '{}'", 1,
         "schedule_storage_failed: The disk is full.\ndetails: [1]\n"},
        {"call SetAppearance", 1, "not implemented\n"},
        {"menu", 0, "toggleBlock  Start Blocking\n---\n-            Status: idle  (disabled)\n"},
        {"--socket " + absent + " call x", 3,
         "kestralunectl: Cannot connect to " + absent + ": No such file or directory\n"},
    };
    for (const auto& [arguments, exitCode, out] : rows) {
        EXPECT_EQ(run(arguments), std::pair(exitCode, out)) << arguments;
    }
    for (const char* misuse : {"", "frobnicate", "call", "call m '{not json'", "call m 1 2",
                               "--timeout 0 call m", "--unknown call m", "menu pick x"}) {
        EXPECT_EQ(run(misuse).first, 2) << misuse;
    }
}

}  // namespace
}  // namespace kestralune
