#include "platform/tool_runner.h"
#include "platform/url_opener.h"

#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>

namespace kestralune {

namespace {

// A handler that hangs must not freeze the main thread for long.
constexpr double kOpenLimitSeconds = 10.0;

std::optional<std::string> findOnPath(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!folders.empty()) {
        const auto colon = folders.find(':');
        const auto folder = folders.substr(0, colon);
        folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
        if (folder.empty() || folder.front() != '/') {
            continue;
        }
        std::string candidate = std::string(folder) + "/" + std::string(name);
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

class XdgUrlOpener final : public UrlOpener {
  public:
    XdgUrlOpener(std::optional<std::string> xdgOpenPath, std::shared_ptr<ToolRunner> runner)
        : xdgOpenPath(std::move(xdgOpenPath)), runner(std::move(runner)) {}

    bool openURL(const std::string& url) override {
        if (!xdgOpenPath) {
            return false;
        }
        return runner->runTool(*xdgOpenPath, {url}).status == 0;
    }

  private:
    const std::optional<std::string> xdgOpenPath;
    const std::shared_ptr<ToolRunner> runner;
};

}  // namespace

std::shared_ptr<UrlOpener> makeUrlOpener() {
    return std::make_shared<XdgUrlOpener>(findOnPath("xdg-open"),
                                          makeToolRunner(kOpenLimitSeconds));
}

}  // namespace kestralune
