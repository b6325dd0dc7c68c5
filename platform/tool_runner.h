#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestralune {

struct ToolResult {
    std::int32_t status = -1;  // the exit status (the signal's number when a signal ended
                               // it); -1 when the tool could not start or the runner
                               // stopped it (too long, too much output, no longer watched)
    std::string output;        // standard output and error, interleaved as written; empty
                               // when the bytes are not UTF-8; a description when status is -1
};

// Runs a system tool synchronously (NSTask with one pipe). Main thread; blocks the caller.
class ToolRunner {
  public:
    virtual ~ToolRunner() = default;
    virtual ToolResult runTool(const std::string& path,
                               const std::vector<std::string>& arguments) = 0;
};

// The real runner. A tool still running after `limitSeconds`, or writing more than
// 16 MiB, is killed and the run fails with status -1, so a hung or runaway tool can
// neither freeze the main thread nor fill the host's memory.
std::shared_ptr<ToolRunner> makeToolRunner(double limitSeconds = 20.0);

}  // namespace kestralune
