#pragma once

#include "platform/tool_runner.h"

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {

// A tool runner for tests: answers each exact command line (path and arguments) from a
// table of canned results and records every call in order. A command line without a row
// gets status -1, as if the tool could not be started. `onRun`, when set, is called before
// each answer, so a test can see the state that a tool run meets.
class FakeToolRunner final : public ToolRunner {
  public:
    struct Call {
        std::string path;
        std::vector<std::string> arguments;
        friend bool operator==(const Call&, const Call&) = default;
    };

    ToolResult runTool(const std::string& path, const std::vector<std::string>& arguments) override;

    // Sets (or replaces) the answer for one command line.
    void setResult(const std::string& path, const std::vector<std::string>& arguments,
                   ToolResult result);

    const std::vector<Call>& calls() const { return recorded; }
    void clearCalls() { recorded.clear(); }

    std::function<void()> onRun;

  private:
    std::map<std::pair<std::string, std::vector<std::string>>, ToolResult> table;
    std::vector<Call> recorded;
};

}  // namespace kestralune
