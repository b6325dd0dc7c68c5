#include "platform/linux/executable_search.h"
#include "platform/tool_runner.h"
#include "platform/url_opener.h"

#include <optional>
#include <utility>

namespace kestralune {

namespace {

// A handler that hangs must not freeze the main thread for long.
constexpr double kOpenLimitSeconds = 10.0;

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
