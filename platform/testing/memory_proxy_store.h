#pragma once

#include "platform/proxy_settings_store.h"

#include <string>
#include <utility>
#include <vector>

namespace kestralune {

// A desktop's proxy settings as one service, in memory, with a mode of its own: switching on
// sets the mode "auto", a restore puts back the whole saved reading. `listed` false hides the
// service from listings (a desktop no longer offered) while it can still be read and restored.
class MemoryProxyStore final : public ProxySettingsStore {
  public:
    MemoryProxyStore(std::string name, AutoProxyReading state)
        : name(std::move(name)), state(std::move(state)) {}

    std::vector<std::string> listServices() override {
        return listed ? std::vector{name} : std::vector<std::string>{};
    }
    bool ownsService(const std::string& service) const override { return service == name; }
    std::optional<AutoProxyReading> readAutoProxy(const std::string&) override { return state; }
    bool setAutoProxyUrl(const std::string&, const std::string& url) override {
        state.url = url;
        return true;
    }
    bool enableAutoProxy(const std::string&) override {
        state.enabled = true;
        state.mode = "auto";
        return true;
    }
    bool restoreAutoProxy(const std::string&, const AutoProxyReading& saved) override {
        state = saved;
        return true;
    }
    bool verifyAutoProxy(const std::string& url) override {
        return state.enabled && state.url == url;
    }

    const std::string name;
    AutoProxyReading state;
    bool listed = true;
};

}  // namespace kestralune
