#pragma once

#include "platform/agent_service.h"

#include <optional>
#include <string>

namespace kestralune {

// A service manager whose answers the test sets; it records what it was asked.
class FakeAgentService final : public AgentService {
  public:
    bool isSupported() const override { return supported; }
    AgentServiceStatus status() const override { return currentStatus; }
    std::optional<std::string> registerAgent() override {
        ++registrations;
        if (!registrationFailure) {
            currentStatus = statusAfterRegistration;
        }
        return registrationFailure;
    }
    void openSystemSettingsLoginItems() override { ++settingsOpened; }

    bool supported = true;
    AgentServiceStatus currentStatus = AgentServiceStatus::notRegistered;
    AgentServiceStatus statusAfterRegistration = AgentServiceStatus::enabled;
    std::optional<std::string> registrationFailure;
    int registrations = 0;
    int settingsOpened = 0;
};

}  // namespace kestralune
