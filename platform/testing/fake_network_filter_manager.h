#pragma once

#include "platform/network_filter_manager.h"

#include <string>
#include <utility>
#include <vector>

namespace kestralune {

// Records the names of the calls it gets; loads and saves succeed, answered through the run
// loop as the real manager answers.
class FakeNetworkFilterManager final : public NetworkFilterManager {
  public:
    explicit FakeNetworkFilterManager(RunLoop& runLoop) : runLoop(runLoop) {}

    void loadFromPreferences(Completion completion) override {
        answer("load", std::move(completion));
    }
    void setLocalizedDescription(const std::string&) override {
        calls.push_back("setLocalizedDescription");
    }
    void setProviderConfiguration(const FilterProviderConfiguration&) override {
        calls.push_back("setProviderConfiguration");
    }
    void setEnabled(bool) override { calls.push_back("setEnabled"); }
    void saveToPreferences(Completion completion) override {
        answer("save", std::move(completion));
    }

    std::vector<std::string> calls;

  private:
    void answer(const char* call, Completion completion) {
        calls.push_back(call);
        runLoop.async([completion = std::move(completion)] { completion(std::nullopt); });
    }

    RunLoop& runLoop;
};

}  // namespace kestralune
