#include "platform/tool_runner.h"

#include "platform/linux/pidfd.h"
#include "tests/platform/temp_directory.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <vector>

namespace kestralune {
namespace {

struct ToolRow {
    const char* name;
    std::string script;  // empty: no such file
    int status;
    std::string output;
    std::vector<std::string> arguments = {};
    mode_t mode = 0755;
};

TEST(ToolRunnerTest, ReportsEachOutcomeAndLeavesNoProcessBehind) {
    // Fails if a status is mangled, an output is lost or its writes reordered, arguments
    // are split or joined, output beyond a pipe's buffer stalls the tool, host descriptors
    // leak into tools, a launch failure looks like an exit status, or a tool that hangs,
    // floods its output or can no longer be watched is not ended with its children (the host
    // would freeze, spin or run out of memory).
    TempDirectory directory;
    const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    const std::string denied = "couldn\u2019t be opened because you don\u2019t have permission";
    const auto named = [](const char* kind, const char* name) {
        return std::string("The ") + kind + " \u201C" + name + "\u201D ";
    };
    const ToolRow rows[] = {
        {"status", "echo failed; exit 255", 255, "failed\n"},
        {"interleaved", "printf 1; printf 2 >&2; printf 3; printf 4 >&2", 0, "1234"},
        {"arguments", "printf '%s|' \"$@\"", 0, "Wi-Fi|USB 10/100||", {"Wi-Fi", "USB 10/100", ""}},
        {"stdin is empty", "cat; echo done", 0, "done\n"},
        {"not UTF-8", "printf 'caf\\351'", 0, ""},
        {"UTF-8", "printf 'caf\\303\\251'", 0, "caf\xC3\xA9"},
        {"signal death", "kill -TERM $$", SIGTERM, ""},
        {"large", "head -c 1000000 /dev/zero | tr '\\000' x", 0, std::string(1000000, 'x')},
        {"descriptors", "[ -e /proc/$$/fd/" + std::to_string(leaked) + " ] && echo leaked", 1, ""},
        {"networksetup", "", -1, named("file", "networksetup") + "doesn\u2019t exist."},
        {"plain", "echo hi", -1, named("file", "plain") + denied + " to view it.", {}, 0644},
        {"hung", "sleep 300 & echo $! > \"$0.pid\"; wait", -1,
         named("tool", "hung") + "was stopped after running for 2 seconds."},
        {"flood", "exec head -c 20M /dev/urandom", -1,
         named("tool", "flood") + "was stopped after writing more than 16 MiB of output."},
        // Lowers the runner's own open-file limit below poll's two descriptors, then writes
        // so that the runner polls again. The pause lets the runner open the tool's pidfd
        // first, even on a loaded machine: that open would fail on the limit too.
        {"unwatchable", "sleep 0.5; prlimit --pid $PPID --nofile=1: && echo lowered && sleep 300",
         -1, named("tool", "unwatchable") + "could not be watched. (Invalid argument)"},
    };
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    const auto runner = makeToolRunner(2.0);
    for (const auto& row : rows) {
        if (!row.script.empty()) {
            directory.write(row.name, "#!/bin/sh\n" + row.script + "\n", row.mode);
        }
        const auto result = runner->runTool((directory.path() / row.name).string(), row.arguments);
        ::setrlimit(RLIMIT_NOFILE, &files);
        EXPECT_EQ(result.status, row.status) << row.name;
        EXPECT_EQ(result.output, row.output) << row.name;
    }
    ::close(leaked);

    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // every tool was reaped, finished or not
    pid_t hungChild = 0;  // and the hung tool's own child is gone or dies soon after
    std::ifstream(directory.path() / "hung.pid") >> hungChild;
    pollfd exited{pidfdOpen(hungChild), POLLIN, 0};
    EXPECT_TRUE(hungChild > 0 && (exited.fd < 0 || ::poll(&exited, 1, 10'000) == 1));
    ::close(exited.fd);
}

}  // namespace
}  // namespace kestralune
