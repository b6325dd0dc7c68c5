#include "platform/testing/fake_tool_runner.h"

namespace kestralune {

ToolResult FakeToolRunner::runTool(const std::string& path,
                                   const std::vector<std::string>& arguments) {
    recorded.push_back({path, arguments});
    if (onRun) {
        onRun();
    }
    const auto found = table.find({path, arguments});
    return found == table.end() ? ToolResult{-1, "No canned result for this command line."}
                                : found->second;
}

void FakeToolRunner::setResult(const std::string& path, const std::vector<std::string>& arguments,
                               ToolResult result) {
    table[{path, arguments}] = std::move(result);
}

}  // namespace kestralune
