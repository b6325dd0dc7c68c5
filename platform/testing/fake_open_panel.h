#pragma once

#include "platform/open_panel.h"

#include <cassert>
#include <utility>
#include <vector>

namespace kestralune {

// Open panels for tests: records the options of every panel shown and keeps it open until
// the test closes it with answer(), as the user would. Panels close in the order shown.
class FakeOpenPanel final : public OpenPanel {
  public:
    void runOpenPanel(const OpenPanelOptions& options, OpenPanelCompletion completion) override {
        shown.push_back(options);
        open.push_back(std::move(completion));
    }

    // Closes the oldest open panel with `paths`; empty means cancelled.
    void answer(std::vector<std::string> paths) {
        assert(!open.empty());
        auto completion = std::move(open.front());
        open.erase(open.begin());
        completion(std::move(paths));
    }

    std::size_t openCount() const { return open.size(); }
    const std::vector<OpenPanelOptions>& shownPanels() const { return shown; }

  private:
    std::vector<OpenPanelOptions> shown;
    std::vector<OpenPanelCompletion> open;
};

}  // namespace kestralune
