#pragma once

#include "platform/tool_runner.h"

#include <memory>
#include <optional>
#include <string>

namespace kestralune {

// What the service manager says about the launch agent (SMAppService status).
enum class AgentServiceStatus {
    notRegistered = 0,
    enabled = 1,
    requiresApproval = 2,
    notFound = 3,
};

// A per-user launch agent declared by a property list inside an application bundle
// (SMAppService agentServiceWithPlistName:). Every answer is read afresh from the service
// manager; nothing is cached. Main thread only (tools run synchronously).
class AgentService {
  public:
    virtual ~AgentService() = default;

    // Whether this machine has the service manager at all.
    virtual bool isSupported() const = 0;
    virtual AgentServiceStatus status() const = 0;
    // Registers and starts the agent; nothing on success, else the service manager's own
    // description of the failure.
    virtual std::optional<std::string> registerAgent() = 0;
    // The system's settings for login items and background agents.
    virtual void openSystemSettingsLoginItems() = 0;
};

// The agent of `bundlePath`/Contents/Library/LaunchAgents/`plistName` as systemd user units:
// "<Label>.service" and "<Label>.timer" under userConfigurationPath()/systemd/user/, driven
// with "systemctl --user" (found on PATH at each call) through `toolRunner`. The status is
// notFound while the property list is missing or names no usable agent, enabled while both
// unit files hold what registration would write now and the timer is enabled, otherwise
// notRegistered; requiresApproval never occurs.
std::shared_ptr<AgentService> makeAgentService(std::shared_ptr<ToolRunner> toolRunner,
                                               std::string bundlePath, std::string plistName);

}  // namespace kestralune
