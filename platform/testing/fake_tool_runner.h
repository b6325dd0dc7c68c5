#pragma once

#include "platform/tool_runner.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {

// A tool runner for tests: answers each exact command line (path and arguments) from a
// table of canned results and records every call in order. A command line without a row
// gets the default result (status -1, as if the tool could not be started).
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
    void setDefaultResult(ToolResult result) { defaultResult = std::move(result); }

    const std::vector<Call>& calls() const { return recorded; }
    void clearCalls() { recorded.clear(); }

  private:
    std::map<std::pair<std::string, std::vector<std::string>>, ToolResult> table;
    ToolResult defaultResult{-1, "No canned result for this command line."};
    std::vector<Call> recorded;
};

}  // namespace kestralune
