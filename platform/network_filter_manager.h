#pragma once

#include "platform/plist_value.h"
#include "platform/run_loop.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kestralune {

// The provider part of a content-filter configuration (NEFilterProviderConfiguration). Packet
// filtering and the provider's bundle identifier stay at the system's defaults.
struct FilterProviderConfiguration {
    std::string organization;
    bool filterSockets = false;
    PlistValue::Dictionary vendorConfiguration;
};

// The system's content-filter preferences (NEFilterManager's shared manager). Load, change
// with the setters, then save; the setters change only this object until the next save.
// Main thread only. Every load and save answers its completion exactly once, on the main run
// loop and never before the call returns, with nothing on success or the error's description.
class NetworkFilterManager {
  public:
    using Completion = std::function<void(const std::optional<std::string>& error)>;

    virtual ~NetworkFilterManager() = default;

    virtual void loadFromPreferences(Completion completion) = 0;
    virtual void setLocalizedDescription(const std::string& description) = 0;
    virtual void setProviderConfiguration(const FilterProviderConfiguration& configuration) = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual void saveToPreferences(Completion completion) = 0;
};

// The preferences as a property list at networkFilterPreferencesPath(), written whole and
// privately (0600 in a 0700 folder). A missing file loads as empty preferences; a file that
// cannot be read or is not a dictionary fails the load, naming the reason. The file is read
// and written on the calling thread (it is small); completions go through `runLoop`, which
// must outlive the manager.
std::shared_ptr<NetworkFilterManager> makeNetworkFilterManager(RunLoop& runLoop);

// "<user configuration folder>/Kestralune/NetworkFilter.plist", computed at each call.
std::string networkFilterPreferencesPath();

}  // namespace kestralune
