#include "blocking/system_proxy_configurator.h"

#include "platform/log.h"
#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <utility>

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

NetworksetupProxyStore::NetworksetupProxyStore(std::shared_ptr<ToolRunner> toolRunner,
                                               std::string networksetupPath, std::string scutilPath)
    : toolRunner(std::move(toolRunner)),
      networksetupPath(std::move(networksetupPath)),
      scutilPath(std::move(scutilPath)) {}

std::vector<std::string> NetworksetupProxyStore::listServices() {
    const auto result = toolRunner->runTool(networksetupPath, {"-listallnetworkservices"});
    if (result.status != 0) {
        return {};
    }
    return parseNetworkServiceList(result.output);
}

std::optional<AutoProxyReading> NetworksetupProxyStore::readAutoProxy(const std::string& service) {
    const auto result = toolRunner->runTool(networksetupPath, {"-getautoproxyurl", service});
    if (result.status != 0) {
        return std::nullopt;
    }
    return parseAutoProxyOutput(result.output);
}

bool NetworksetupProxyStore::runNetworksetup(std::vector<std::string> arguments) {
    return toolCommandSucceeded(toolRunner->runTool(networksetupPath, arguments));
}

bool NetworksetupProxyStore::setAutoProxyUrl(const std::string& service, const std::string& url) {
    return runNetworksetup({"-setautoproxyurl", service, url});
}

bool NetworksetupProxyStore::enableAutoProxy(const std::string& service) {
    return runNetworksetup({"-setautoproxystate", service, "on"});
}

bool NetworksetupProxyStore::restoreAutoProxy(const std::string& service,
                                              const AutoProxyReading& saved) {
    bool allSucceeded = true;
    for (auto& arguments : restoreCommands(service, {saved.enabled, saved.url.value_or("")})) {
        allSucceeded &= runNetworksetup(std::move(arguments));
    }
    return allSucceeded;
}

bool NetworksetupProxyStore::verifyAutoProxy(const std::string& url) {
    const auto result = toolRunner->runTool(scutilPath, {"--proxy"});
    return result.status == 0 &&
           result.output.find(kProxyVerificationEnableLine) != std::string::npos &&
           result.output.find(std::string("ProxyAutoConfigURLString : ") + url) !=
               std::string::npos;
}

SystemProxyConfigurator::SystemProxyConfigurator(
    std::vector<std::shared_ptr<ProxySettingsStore>> stores,
    std::shared_ptr<UserDefaults> standardDefaults)
    : stores(std::move(stores)), standardDefaults(std::move(standardDefaults)) {
    previousProxySettings = loadProxyBackup();
}

ProxySettingsStore* SystemProxyConfigurator::storeFor(const std::string& service) const {
    for (const auto& store : stores) {
        if (store->ownsService(service)) {
            return store.get();
        }
    }
    return nullptr;
}

std::vector<std::string> SystemProxyConfigurator::listNetworkServices() {
    std::vector<std::string> services;
    for (const auto& store : stores) {
        for (auto& service : store->listServices()) {
            services.push_back(std::move(service));
        }
    }
    return services;
}

std::optional<AutoProxyReading> SystemProxyConfigurator::readAutoProxy(const std::string& service) {
    auto* store = storeFor(service);
    return store ? store->readAutoProxy(service) : std::nullopt;
}

bool SystemProxyConfigurator::applyProxySettings() {
    const auto services = listNetworkServices();
    if (services.empty()) {
        return false;
    }
    bool ok = true;
    for (const auto& service : services) {
        auto* store = storeFor(service);
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
                    : KestraluneAutoProxySettings{reading->enabled, *reading->url, reading->mode};
            saveProxyBackup();
        }
        if (store->setAutoProxyUrl(service, kProxyAutoConfigUrl) &&
            store->enableAutoProxy(service)) {
            configuredNetworkServices.insert(service);
        } else {
            ok = false;
        }
    }
    return ok;
}

bool SystemProxyConfigurator::verifyProxySettings() {
    return std::all_of(stores.begin(), stores.end(), [](const auto& store) {
        return store->verifyAutoProxy(kProxyAutoConfigUrl);
    });
}

void SystemProxyConfigurator::restoreProxySettings() {
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
        if (storeFor(service)->restoreAutoProxy(
                service, AutoProxyReading{settings.enabled, settings.url, settings.mode})) {
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

ProxyBackup SystemProxyConfigurator::loadProxyBackup() const {
    const auto data = standardDefaults->dataForKey(kProxyBackupKey);
    if (!data) {
        return {};
    }
    const std::string_view json(reinterpret_cast<const char*>(data->data()), data->size());
    return decodeProxyBackup(json).value_or(ProxyBackup{});
}

void SystemProxyConfigurator::saveProxyBackup() {
    const auto json = encodeProxyBackup(previousProxySettings);
    if (!json) {
        return;
    }
    standardDefaults->setObjects({{kProxyBackupKey, PlistValue::Data(json->begin(), json->end())}});
}

}  // namespace kestralune
