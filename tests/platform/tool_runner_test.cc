#include "platform/tool_runner.h"

#include "platform/linux/pidfd.h"
#include "tests/platform/temp_directory.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <string>
#include <vector>

namespace kestralune {
namespace {

class ToolRunnerTest : public ::testing::Test {
  protected:
    std::string script(const std::string& name, const std::string& body) {
        return directory.write(name, "#!/bin/sh\n" + body + "\n", 0755);
    }

    // No child of this process may be left behind, finished or not.
    static void expectNoChildren() {
        errno = 0;
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
    }

    TempDirectory directory;
    std::shared_ptr<ToolRunner> runner = makeToolRunner();
};

struct ScriptRow {
    const char* name;
    const char* body;
    std::vector<std::string> arguments;
    int status;
    std::string output;
};

TEST_F(ToolRunnerTest, ReportsExitStatusAndBothOutputsAsWritten) {
    // Fails if a status is mangled, one of the outputs is lost, the order of writes between
    // them is not kept, or arguments are split or joined.
    const ScriptRow rows[] = {
        {"success", "echo hello", {}, 0, "hello\n"},
        {"status", "echo failed; exit 3", {}, 3, "failed\n"},
        {"high status", "exit 255", {}, 255, ""},
        {"interleaved", "printf 1; printf 2 >&2; printf 3; printf 4 >&2", {}, 0, "1234"},
        {"arguments",
         "printf '%s|' \"$@\"",
         {"Wi-Fi", "USB 10/100 LAN", ""},
         0,
         "Wi-Fi|USB 10/100 LAN||"},
        {"stdin is empty", "cat; echo done", {}, 0, "done\n"},
        {"not UTF-8", "printf 'caf\\351'", {}, 0, ""},
        {"UTF-8", "printf 'caf\\303\\251'", {}, 0, "caf\xC3\xA9"},
        {"signal death", "kill -TERM $$", {}, SIGTERM, ""},
    };
    for (const auto& row : rows) {
        const auto result = runner->runTool(script(row.name, row.body), row.arguments);
        EXPECT_EQ(result.status, row.status) << row.name;
        EXPECT_EQ(result.output, row.output) << row.name;
    }
    expectNoChildren();
}

TEST_F(ToolRunnerTest, OutputLargerThanThePipeBufferIsReadCompletely) {
    // Fails if the runner waits for exit before reading (the tool would block forever).
    const auto result = runner->runTool(
        script("large", "head -c 1000000 /dev/zero | tr '\\000' x; echo; echo end >&2"), {});
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.output.size(), 1000000u + 5u);
    EXPECT_EQ(result.output.find_first_not_of('x'), 1000000u);
    EXPECT_EQ(result.output.substr(1000000), "\nend\n");
}

TEST_F(ToolRunnerTest, ToolThatCannotStartFailsWithMinusOneAndADescription) {
    // Fails if a launch failure looks like a tool's own exit status or has no explanation.
    const auto missing = runner->runTool((directory.path() / "networksetup").string(), {});
    EXPECT_EQ(missing.status, -1);
    EXPECT_EQ(missing.output,
              "The file \xE2\x80\x9Cnetworksetup\xE2\x80\x9D doesn\xE2\x80\x99t exist.");

    const auto notExecutable =
        runner->runTool(directory.write("plain", "#!/bin/sh\necho hi\n", 0644), {});
    EXPECT_EQ(notExecutable.status, -1);
    EXPECT_NE(notExecutable.output.find("\xE2\x80\x9Cplain\xE2\x80\x9D"), std::string::npos);
    expectNoChildren();
}

TEST_F(ToolRunnerTest, ToolThatNeverExitsIsKilledWithItsChildrenAfterTheLimit) {
    // Fails if a hung tool can block the caller forever, is left running or unreaped, or
    // leaves a child of its own running with our pipe.
    const auto pidFile = directory.path() / "child.pid";
    const auto hung =
        script("hung", "sleep 300 & echo $! > '" + pidFile.string() + "'; echo started; wait");
    const auto result = makeToolRunner(0.5)->runTool(hung, {});
    EXPECT_EQ(result.status, -1);
    EXPECT_EQ(result.output,
              "The tool \xE2\x80\x9Chung\xE2\x80\x9D was stopped after running for 0.5 seconds.");
    expectNoChildren();

    pid_t child = 0;
    std::ifstream(pidFile) >> child;
    ASSERT_GT(child, 0);
    // SIGKILL lands asynchronously: the tool's own child must be gone or die soon after.
    const int process = pidfdOpen(child);
    if (process >= 0) {
        pollfd exited{process, POLLIN, 0};
        EXPECT_EQ(::poll(&exited, 1, 10'000), 1);
        ::close(process);
    }
}

TEST_F(ToolRunnerTest, OnlyTheStandardDescriptorsReachTheTool) {
    // Fails if the host's open files (sockets, defaults) leak into every tool it runs.
    const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 3);
    const auto result = runner->runTool(
        script("descriptors", "ls /proc/$$/fd | tr '\\n' ' '; if [ -e /proc/$$/fd/" +
                                  std::to_string(leaked) + " ]; then echo LEAKED; fi"),
        {});
    ::close(leaked);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output.find("LEAKED"), std::string::npos) << result.output;
}

}  // namespace
}  // namespace kestralune
