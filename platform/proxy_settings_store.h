#pragma once

#include "platform/tool_runner.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestralune {

// One service's automatic proxy configuration as a settings store reports it.
struct AutoProxyReading {
    bool enabled = false;            // automatic proxy configuration is in force
    std::optional<std::string> url;  // absent when the answer could not be understood
    // What `enabled` cannot express, kept so that a restore puts back exactly what was
    // there: GNOME's mode ("none", "manual", "auto"), KDE's ProxyType ("0" ... "4"). Empty
    // for stores without one.
    std::string mode = {};

    friend bool operator==(const AutoProxyReading&, const AutoProxyReading&) = default;
};

// A place where the system's automatic proxy configuration lives: the macOS tools' network
// services, or a desktop's proxy settings as one service named after the desktop. The
// configurator backs up, sets, verifies and restores through this interface without
// knowing which store it talks to. Main thread only; every call may run a tool.
class ProxySettingsStore {
  public:
    virtual ~ProxySettingsStore() = default;

    // The services whose automatic proxy can be set now, in order; empty when the store
    // cannot say.
    virtual std::vector<std::string> listServices() = 0;
    // Whether `service` (listed now, or remembered in a backup from an earlier run) is one of
    // this store's.
    virtual bool ownsService(const std::string& service) const = 0;
    // Nothing when the store cannot be read.
    virtual std::optional<AutoProxyReading> readAutoProxy(const std::string& service) = 0;
    // Each is one change; false when the store refused it.
    virtual bool setAutoProxyUrl(const std::string& service, const std::string& url) = 0;
    virtual bool enableAutoProxy(const std::string& service) = 0;
    // Puts back `saved`, read before the first change (a saved `mode` wins over `enabled`;
    // an empty one means "on" or "off" by `enabled`). Every step runs even when an earlier
    // one fails; true when all succeeded.
    virtual bool restoreAutoProxy(const std::string& service, const AutoProxyReading& saved) = 0;
    // Whether the settings now in force make programs fetch `url` as their automatic proxy
    // configuration.
    virtual bool verifyAutoProxy(const std::string& url) = 0;
};

// The desktops' stores that apply on this machine, in this order: GNOME's
// org.gnome.system.proxy through gsettings when the tool and the schema are installed, and
// KDE Plasma's kioslaverc through kwriteconfig5/kreadconfig5 (or the 6 versions) when a
// Plasma session runs (XDG_CURRENT_DESKTOP) and the tools are installed. Decided once, when
// called; the stores run their tools through `toolRunner`.
std::vector<std::shared_ptr<ProxySettingsStore>> makeDesktopProxyStores(
    std::shared_ptr<ToolRunner> toolRunner);

}  // namespace kestralune
