#pragma once

#include "channel/encodable_value.h"
#include "platform/agent_service.h"
#include "platform/bundle.h"
#include "platform/user_defaults.h"

#include <memory>
#include <optional>
#include <string>

namespace kestralune {

// The host's side of the scheduler agent: registers it with the service manager once,
// reports a status to the UI and stores the schedule snapshot the UI sends. The service's
// status is read afresh for every answer. One per process, owned by the host; main thread
// only.
class KestraluneBackgroundScheduler {
  public:
    struct Dependencies {
        std::shared_ptr<UserDefaults> standardDefaults;
        std::shared_ptr<AgentService> agentService;
        Bundle mainBundle;
    };

    // Stored true before the first registration request and never cleared, so a failed
    // automatic registration is not repeated at later starts.
    static constexpr const char* attemptedKey =
        "KestraluneBackgroundSchedulerRegistrationAttempted";

    explicit KestraluneBackgroundScheduler(Dependencies dependencies);

    // The launch agent's property list in Contents/Library/LaunchAgents/: the bundle's
    // identifier (or "com.orrindale.app") followed by ".scheduler.plist".
    static std::string agentPlistName(const Bundle& mainBundle);

    // {"status": text}: "unsupported", "installRequired", "storageError", "error",
    // "notRegistered", "enabled", "requiresApproval" or "notFound", the first that applies.
    // An enabled service clears the stored registration error.
    EncodableMap statusDictionary();
    // The map as the system log shows it.
    static std::string describe(const EncodableMap& status);

    // Registers the agent when nothing was tried yet, the service is not registered (or not
    // found) and the bundle carries the property list.
    void registerIfNeeded();
    // Registers the agent unless it is enabled or waiting for approval; a failure is kept
    // as the registration error and logged.
    void registerAgent();
    // Opens the service manager's settings; nothing on an unsupported system.
    void openSystemSettingsLoginItems();

    // Stores the snapshot built from the arguments. On failure the file is deleted (an older
    // one too, so the agent cannot act on a schedule the user has changed), the status says
    // "storageError" until a later store succeeds, and the error's text is returned.
    // Empty on success.
    [[nodiscard]] std::string syncSchedule(const EncodableValue& arguments);

  private:
    bool canRegister() const;

    const Dependencies dependencies;
    std::optional<std::string> registrationError;
    bool scheduleStorageFailed = false;
};

}  // namespace kestralune
