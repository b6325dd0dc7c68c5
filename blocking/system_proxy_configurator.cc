#include "blocking/system_proxy_configurator.h"

#include "blocking/mac_blocking_engine.h"
#include "platform/log.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>

namespace kestralune {

namespace {

// Splits at every line-break character (LF, VT, FF, CR, NEL, LS, PS), so "\r\n" leaves an
// empty piece between its two characters.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t width = 0;
        if (byte >= 0x0A && byte <= 0x0D) {
            width = 1;
        } else if (byte == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) == 0x85) {
            width = 2;
        } else if (byte == 0xE2 && i + 2 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                    static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            width = 3;
        }
        if (width == 0) {
            ++i;
            continue;
        }
        lines.push_back(text.substr(start, i - start));
        i += width;
        start = i;
    }
    lines.push_back(text.substr(start));
    return lines;
}

std::string_view trimmedSpacesAndTabs(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool containsIgnoringCase(std::string_view text, std::string_view lowerNeedle) {
    const auto match = std::search(
        text.begin(), text.end(), lowerNeedle.begin(), lowerNeedle.end(),
        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    return match != text.end();
}

}  // namespace

std::vector<std::string> parseNetworkServiceList(std::string_view output) {
    const auto lines = splitLines(output);
    std::vector<std::string> services;
    if (lines.size() <= 1) {
        return services;
    }
    for (auto line = lines.begin() + 1; line != lines.end(); ++line) {
        auto service = trimmedWhitespaceAndNewlines(*line);
        if (service.empty() || service.front() == '*') {
            continue;
        }
        services.push_back(std::move(service));
    }
    return services;
}

AutoProxyReading parseAutoProxyOutput(std::string_view output) {
    constexpr std::string_view kEnabledPrefix = "Enabled:";
    constexpr std::string_view kUrlPrefix = "URL:";
    std::optional<std::string_view> enabledLine;
    std::optional<std::string_view> urlLine;
    for (const auto line : splitLines(output)) {
        if (!enabledLine && line.starts_with(kEnabledPrefix)) {
            enabledLine = line;
        }
        if (!urlLine && line.starts_with(kUrlPrefix)) {
            urlLine = line;
        }
    }
    if (!enabledLine || !urlLine) {
        return {};
    }
    const auto state = trimmedSpacesAndTabs(enabledLine->substr(kEnabledPrefix.size()));
    if (state != "Yes" && state != "No") {
        return {};
    }
    auto url = trimmedSpacesAndTabs(urlLine->substr(kUrlPrefix.size()));
    if (url == "(null)") {
        url = {};
    }
    return {state == "Yes", std::string(url)};
}

std::vector<std::vector<std::string>> restoreCommands(const std::string& service,
                                                      const KestraluneAutoProxySettings& settings) {
    std::vector<std::vector<std::string>> commands;
    if (!settings.url.empty()) {
        commands.push_back({"-setautoproxyurl", service, settings.url});
    }
    commands.push_back({"-setautoproxystate", service, settings.enabled ? "on" : "off"});
    return commands;
}

bool toolCommandSucceeded(const ToolResult& result) {
    return result.status == 0 && !containsIgnoringCase(result.output, "error");
}

bool proxyVerificationPassed(const ToolResult& result) {
    return result.status == 0 &&
           result.output.find(kProxyVerificationEnableLine) != std::string::npos &&
           result.output.find(kProxyVerificationUrlLine) != std::string::npos;
}

// The engine's half: tool runs, the backup and the watch.

std::vector<std::string> MacBlockingEngine::listNetworkServices() {
    const auto result = toolRunner->runTool(networksetupPath, {"-listallnetworkservices"});
    if (result.status != 0) {
        return {};
    }
    return parseNetworkServiceList(result.output);
}

std::optional<AutoProxyReading> MacBlockingEngine::readAutoProxy(const std::string& service) {
    const auto result = toolRunner->runTool(networksetupPath, {"-getautoproxyurl", service});
    if (result.status != 0) {
        return std::nullopt;
    }
    return parseAutoProxyOutput(result.output);
}

bool MacBlockingEngine::applyProxySettings() {
    const auto services = listNetworkServices();
    if (services.empty()) {
        return false;
    }
    bool ok = true;
    for (const auto& service : services) {
        if (!previousProxySettings.contains(service)) {
            const auto reading = readAutoProxy(service);
            if (!reading || !reading->url) {
                ok = false;  // unreadable: neither backed up nor changed
                continue;
            }
            // A URL that is already ours was left by an earlier run that never restored;
            // restoring it must switch automatic proxy configuration off.
            previousProxySettings[service] =
                *reading->url == kProxyAutoConfigUrl
                    ? KestraluneAutoProxySettings{}
                    : KestraluneAutoProxySettings{reading->enabled, *reading->url};
            saveProxyBackup();
        }
        const bool urlSet = toolCommandSucceeded(toolRunner->runTool(
            networksetupPath, {"-setautoproxyurl", service, kProxyAutoConfigUrl}));
        const auto state =
            toolRunner->runTool(networksetupPath, {"-setautoproxystate", service, "on"});
        if (state.status != 0) {
            ok = false;
        } else if (urlSet && toolCommandSucceeded(state)) {
            configuredNetworkServices.insert(service);
        } else {
            ok = false;
        }
    }
    return ok;
}

bool MacBlockingEngine::verifyProxySettings() {
    return proxyVerificationPassed(toolRunner->runTool(scutilPath, {"--proxy"}));
}

void MacBlockingEngine::restoreProxySettings() {
    std::set<std::string> candidates(configuredNetworkServices);
    for (auto& service : listNetworkServices()) {
        candidates.insert(std::move(service));
    }
    for (const auto& [service, settings] : previousProxySettings) {
        candidates.insert(service);
    }
    for (const auto& service : candidates) {
        const auto reading = readAutoProxy(service);
        if (!reading || !reading->url) {
            continue;
        }
        if (*reading->url != kProxyAutoConfigUrl) {
            // Someone else has set this service since; their setting stays.
            previousProxySettings.erase(service);
            continue;
        }
        const auto saved = previousProxySettings.find(service);
        const auto settings =
            saved != previousProxySettings.end() ? saved->second : KestraluneAutoProxySettings{};
        bool allSucceeded = true;
        for (const auto& arguments : restoreCommands(service, settings)) {
            allSucceeded &= toolCommandSucceeded(toolRunner->runTool(networksetupPath, arguments));
        }
        if (allSucceeded) {
            previousProxySettings.erase(service);
        } else {
            logLine(
                "Kestralune could not restore automatic proxy for a network service; backup "
                "retained.");
        }
    }
    saveProxyBackup();
    configuredNetworkServices.clear();
}

ProxyBackup MacBlockingEngine::loadProxyBackup() const {
    const auto data = standardDefaults->dataForKey(proxyBackupKey);
    if (!data) {
        return {};
    }
    const std::string_view json(reinterpret_cast<const char*>(data->data()), data->size());
    return decodeProxyBackup(json).value_or(ProxyBackup{});
}

void MacBlockingEngine::saveProxyBackup() {
    const auto json = encodeProxyBackup(previousProxySettings);
    if (!json) {
        return;
    }
    standardDefaults->setObjects({{proxyBackupKey, PlistValue::Data(json->begin(), json->end())}});
}

void MacBlockingEngine::startProxyWatchTimer() {
    if (proxyWatchTimer) {
        proxyWatchTimer->invalidate();
    }
    proxyWatchTimer = scheduleWeakTimer(kProxyWatchInterval, true, [](MacBlockingEngine& engine) {
        if (!engine.sessionActive || !engine.webBlockingRequired()) {
            return;
        }
        engine.server->start();
        if (!engine.verifyProxySettings()) {
            engine.applyProxySettings();
        }
    });
}

}  // namespace kestralune
