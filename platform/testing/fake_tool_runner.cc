#include "platform/testing/fake_tool_runner.h"

namespace kestralune {

ToolResult FakeToolRunner::runTool(const std::string& path,
                                   const std::vector<std::string>& arguments) {
    recorded.push_back({path, arguments});
    const auto found = table.find({path, arguments});
    return found == table.end() ? defaultResult : found->second;
}

void FakeToolRunner::setResult(const std::string& path, const std::vector<std::string>& arguments,
                               ToolResult result) {
    table[{path, arguments}] = std::move(result);
}

}  // namespace kestralune
