// The host's tool runner on real tools. Waits about 20 seconds, so it has a binary of its
// own that runs beside the other tests.
#include "host/host_program.h"

#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <future>

namespace kestralune {
namespace {

// Fault: the host runs tools without a limit, so a hung networksetup freezes the main
// thread, or with a limit other than 20 seconds.
TEST(HostToolLimitTest, StopsAToolThatOutlivesTwentySecondsAndNoOther) {
    TempDirectory directory;
    // Ignores the polite signal, so only a forced stop ends it before its 30 seconds.
    const auto hung =
        directory.write("hung-tool", "#!/bin/sh\ntrap '' TERM\nexec sleep 30\n", 0755);
    const auto slow = directory.write("slow-tool", "#!/bin/sh\nsleep 18\necho done\n", 0755);
    const auto runner = makeHostToolRunner();

    // Runs share no state, so both run at once and the test waits for the limit only once.
    auto finished = std::async(std::launch::async, [&] { return runner->runTool(slow, {}); });
    const auto stopped = runner->runTool(hung, {});
    EXPECT_EQ(stopped.status, -1);
    EXPECT_EQ(stopped.output,
              "The tool \u201Chung-tool\u201D was stopped after running for 20 seconds.");
    const auto result = finished.get();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "done\n");
}

}  // namespace
}  // namespace kestralune
