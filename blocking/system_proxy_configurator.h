#pragma once

#include "blocking/auto_proxy_settings.h"
#include "platform/proxy_settings_store.h"
#include "platform/tool_runner.h"
#include "platform/user_defaults.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// The system proxy configurator: points the automatic proxy configuration of every settings
// store's services at the block server, keeps a backup of what was there, verifies and
// restores. The macOS tools' store and the stateless parts (constants, command lines, the
// parsers of the tools' output) are here too.

inline constexpr const char* kProxyAutoConfigUrl = "http://127.0.0.1:18081/proxy.pac";
inline constexpr const char* kNetworksetupPath = "/usr/sbin/networksetup";
inline constexpr const char* kScutilPath = "/usr/sbin/scutil";
inline constexpr const char* kProxyBackupKey = "KestralunePreviousAutoProxySettings";
inline constexpr const char* kProxyVerificationEnableLine = "ProxyAutoConfigEnable : 1";
inline constexpr const char* kProxyVerificationUrlLine =
    "ProxyAutoConfigURLString : http://127.0.0.1:18081/proxy.pac";
inline constexpr double kProxyWatchInterval = 3.0;

// The enabled services of a successful "-listallnetworkservices" run, in output order:
// the header line and services marked disabled ("*") are dropped, names trimmed.
std::vector<std::string> parseNetworkServiceList(std::string_view output);

// What "-getautoproxyurl" reports: the "Enabled:" and "URL:" lines (a URL of "(null)" is
// present and empty); enabled false with no URL when either is missing or the state is
// neither "Yes" nor "No".
AutoProxyReading parseAutoProxyOutput(std::string_view output);

// The networksetup argument lists that put `settings` back on `service`, in run order.
std::vector<std::vector<std::string>> restoreCommands(const std::string& service,
                                                      const KestraluneAutoProxySettings& settings);

// A tool command succeeds when it exits with 0 and does not say "error" in any letter case.
bool toolCommandSucceeded(const ToolResult& result);

// The macOS tools' store: networksetup's enabled network services, verified system-wide with
// scutil. It claims every service name that no desktop store owns.
class NetworksetupProxyStore final : public ProxySettingsStore {
  public:
    NetworksetupProxyStore(std::shared_ptr<ToolRunner> toolRunner, std::string networksetupPath,
                           std::string scutilPath);

    std::vector<std::string> listServices() override;
    bool ownsService(const std::string&) const override { return true; }
    std::optional<AutoProxyReading> readAutoProxy(const std::string& service) override;
    bool setAutoProxyUrl(const std::string& service, const std::string& url) override;
    bool enableAutoProxy(const std::string& service) override;
    // Runs every command of `restoreCommands`; the saved mode plays no part here.
    bool restoreAutoProxy(const std::string& service, const AutoProxyReading& saved) override;
    // "scutil --proxy" shows automatic proxy configuration on, with `url`.
    bool verifyAutoProxy(const std::string& url) override;

  private:
    bool runNetworksetup(std::vector<std::string> arguments);

    const std::shared_ptr<ToolRunner> toolRunner;
    const std::string networksetupPath;
    const std::string scutilPath;
};

// Owned by the engine; main thread only. The backup lives in the standard user defaults
// under kProxyBackupKey and survives the process: a service is backed up before its first
// change and its entry removed once it has been restored (or someone else replaced the URL).
class SystemProxyConfigurator {
  public:
    // `stores` in order of precedence: a service belongs to the first store that owns it.
    // Loads the backup.
    SystemProxyConfigurator(std::vector<std::shared_ptr<ProxySettingsStore>> stores,
                            std::shared_ptr<UserDefaults> standardDefaults);

    // Every store's services, store by store.
    std::vector<std::string> listNetworkServices();
    // Nothing when no store owns the service or its store cannot be read.
    std::optional<AutoProxyReading> readAutoProxy(const std::string& service);
    // True when every service was backed up and set. A service is switched on only once its
    // URL is ours, so a failed URL change never turns on a proxy that was off.
    bool applyProxySettings();
    // True when every store has the block server's URL in force.
    bool verifyProxySettings();
    void restoreProxySettings();
    // Whether the backup holds entries not yet restored (left by a run that ended without
    // restoring them when no session runs).
    bool hasBackup() const { return !previousProxySettings.empty(); }

  private:
    ProxySettingsStore* storeFor(const std::string& service) const;
    ProxyBackup loadProxyBackup() const;
    void saveProxyBackup();

    const std::vector<std::shared_ptr<ProxySettingsStore>> stores;
    const std::shared_ptr<UserDefaults> standardDefaults;
    std::set<std::string> configuredNetworkServices;
    ProxyBackup previousProxySettings;
};

}  // namespace kestralune
