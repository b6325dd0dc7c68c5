#include "blocking/auto_proxy_settings.h"

#include <nlohmann/json.hpp>

namespace kestralune {

std::optional<ProxyBackup> decodeProxyBackup(std::string_view json) {
    const auto document = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) {
        return std::nullopt;  // also the parse failure, which yields a discarded value
    }
    ProxyBackup backup;
    for (const auto& [service, entry] : document.items()) {
        if (!entry.is_object()) {
            return std::nullopt;
        }
        const auto enabled = entry.find("enabled");
        const auto url = entry.find("url");
        const auto mode = entry.find("mode");
        if (enabled == entry.end() || !enabled->is_boolean() || url == entry.end() ||
            !url->is_string() || (mode != entry.end() && !mode->is_string())) {
            return std::nullopt;
        }
        backup[service] = {enabled->get<bool>(), url->get<std::string>(),
                           mode == entry.end() ? std::string() : mode->get<std::string>()};
    }
    return backup;
}

std::optional<std::string> encodeProxyBackup(const ProxyBackup& backup) {
    auto document = nlohmann::json::object();
    for (const auto& [service, settings] : backup) {
        document[service] = {{"enabled", settings.enabled}, {"url", settings.url}};
        if (!settings.mode.empty()) {
            document[service]["mode"] = settings.mode;
        }
    }
    try {
        return document.dump();
    } catch (const nlohmann::json::type_error&) {
        return std::nullopt;  // invalid UTF-8 in a name or URL
    }
}

}  // namespace kestralune
