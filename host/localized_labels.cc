#include "host/localized_labels.h"

#include <array>
#include <cassert>
#include <utility>

namespace kestralune {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 15> kDefaults = {{
    {"menuBreak", "Break is active"},
    {"menuBlocking", "Blocking is active"},
    {"selectedApps", "App blocking"},
    {"websites", "Website blocking"},
    {"settings", "Settings"},
    {"checkForUpdates", "Check for updates"},
    {"menuOpen", "Open Kestralune"},
    {"menuQuit", "Quit Kestralune"},
    {"quitBlockedTitle", "You can\u2019t quit Kestralune while a blocking session is active"},
    {"quitBlockedDetail",
     "Kestralune needs to keep running to block distracting apps and websites."},
    {"ok", "OK"},
    {"chooseApplications", "Select apps"},
    {"chooseApplicationsDetail", "Choose applications to add to Kestralune."},
    {"chooseProfilePhoto", "Choose profile photo"},
    {"chooseAction", "Choose"},
}};

std::map<std::string, std::string>& table() {
    static std::map<std::string, std::string> labels;
    return labels;
}

}  // namespace

void replaceLocalizedLabels(std::map<std::string, std::string> labels) {
    table() = std::move(labels);
}

const std::map<std::string, std::string>& localizedLabels() {
    return table();
}

std::string localizedLabel(std::string_view key) {
    const auto& labels = table();
    if (const auto found = labels.find(std::string(key)); found != labels.end()) {
        return found->second;
    }
    const auto fallback = defaultLabel(key);
    assert(fallback && "label key without a default");
    return fallback ? std::string(*fallback) : std::string();
}

std::optional<std::string_view> defaultLabel(std::string_view key) {
    for (const auto& [name, text] : kDefaults) {
        if (name == key) {
            return text;
        }
    }
    return std::nullopt;
}

}  // namespace kestralune
