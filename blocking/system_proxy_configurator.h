#pragma once

#include "blocking/auto_proxy_settings.h"
#include "platform/proxy_settings_store.h"
#include "platform/tool_runner.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// The stateless half of the system proxy configurator: constants, command lines and the
// parsers of the tools' output. The half that runs the tools and keeps the backup lives in
// MacBlockingEngine (system_proxy_configurator.cc).

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

// Whether a "scutil --proxy" run shows the block server's PAC URL in force.
bool proxyVerificationPassed(const ToolResult& result);

}  // namespace kestralune
