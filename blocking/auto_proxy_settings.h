#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kestralune {

// One network service's automatic-proxy state, as found before the engine first changed it.
struct KestraluneAutoProxySettings {
    bool enabled = false;
    std::string url;  // empty when no URL was set
    // A desktop's own state that `enabled` cannot express (GNOME's mode, KDE's ProxyType),
    // so that a restore puts back exactly what was there; empty for the macOS tools.
    std::string mode = {};

    friend bool operator==(const KestraluneAutoProxySettings&,
                           const KestraluneAutoProxySettings&) = default;
};

// The proxy backup: network-service name -> its settings before the engine changed them.
using ProxyBackup = std::map<std::string, KestraluneAutoProxySettings>;

// The stored form of the backup: one JSON object with a member per service, each an object
// {"enabled": true|false, "url": "..."} with "mode": "..." when there is one. Decoding
// requires "enabled" and "url", with those types, in every entry, and "mode", when present,
// to be a string (other members are ignored); any other text is a failure.
std::optional<ProxyBackup> decodeProxyBackup(std::string_view json);
// Nothing when a name or URL has no JSON form (it is not UTF-8).
std::optional<std::string> encodeProxyBackup(const ProxyBackup& backup);

}  // namespace kestralune
