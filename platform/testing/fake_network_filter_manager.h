#pragma once

#include "platform/network_filter_manager.h"

#include <string>
#include <utility>
#include <vector>

namespace kestralune {

// Records the names of the calls it gets and answers loads and saves with the errors a test
// sets, through the run loop as the real manager does.
class FakeNetworkFilterManager final : public NetworkFilterManager {
  public:
    explicit FakeNetworkFilterManager(RunLoop& runLoop) : runLoop(runLoop) {}

    void loadFromPreferences(Completion completion) override {
        answer("load", std::move(completion), loadError);
    }
    void setLocalizedDescription(const std::string&) override {
        calls.push_back("setLocalizedDescription");
    }
    void setProviderConfiguration(const FilterProviderConfiguration&) override {
        calls.push_back("setProviderConfiguration");
    }
    void setEnabled(bool) override { calls.push_back("setEnabled"); }
    void saveToPreferences(Completion completion) override {
        answer("save", std::move(completion), saveError);
    }

    std::optional<std::string> loadError;
    std::optional<std::string> saveError;
    std::vector<std::string> calls;

  private:
    void answer(const char* call, Completion completion, std::optional<std::string> error) {
        calls.push_back(call);
        runLoop.async(
            [completion = std::move(completion), error = std::move(error)] { completion(error); });
    }

    RunLoop& runLoop;
};

}  // namespace kestralune
