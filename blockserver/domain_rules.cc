#include "blockserver/domain_rules.h"

#include <algorithm>
#include <unordered_map>

#include "platform/text.h"

namespace kestralune {
namespace {

void sortAndDeduplicate(std::vector<std::string>& values) {
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
}

bool isHostRule(std::string_view rule) {
    return rule.find('/') == std::string_view::npos;
}

// Table position of each site, so a rule is matched by looking up its few dot-separated
// suffixes instead of comparing it with all 50 sites.
const std::unordered_map<std::string_view, std::size_t>& sitePositions() {
    static const auto positions = [] {
        std::unordered_map<std::string_view, std::size_t> map;
        const auto table = companionDomainTable();
        for (std::size_t i = 0; i < table.size(); ++i) {
            map.emplace(table[i].site, i);
        }
        return map;
    }();
    return positions;
}

}  // namespace

std::string normalizeRule(std::string_view rule) {
    const std::string lower = lowercased(trimmedWhitespaceAndNewlines(rule));
    std::string_view text = lower;
    if (text.starts_with("http://")) {
        text.remove_prefix(7);
    } else if (text.starts_with("https://")) {
        text.remove_prefix(8);
    }
    if (text.starts_with("www.")) {
        text.remove_prefix(4);
    }
    const auto first = text.find_first_not_of('/');
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of('/');
    return std::string(text.substr(first, last - first + 1));
}

std::vector<std::string> normalizedRules(const std::vector<std::string>& rules) {
    std::vector<std::string> result;
    result.reserve(rules.size() * 2);
    for (const auto& rule : rules) {
        std::string normalized = normalizeRule(rule);
        if (normalized.empty()) {
            continue;
        }
        const auto companions = isHostRule(normalized) ? companionDomains(normalized)
                                                       : std::span<const std::string_view>();
        result.push_back(std::move(normalized));
        result.insert(result.end(), companions.begin(), companions.end());
    }
    sortAndDeduplicate(result);
    return result;
}

std::span<const std::string_view> companionDomains(std::string_view normalizedRule) {
    // The rule itself and every part after one of its dots are the sites it can match;
    // the earliest table position among them is the first matching entry.
    const auto& positions = sitePositions();
    const auto table = companionDomainTable();
    std::size_t first = table.size();
    std::string_view suffix = normalizedRule;
    while (true) {
        if (const auto found = positions.find(suffix); found != positions.end()) {
            first = std::min(first, found->second);
        }
        const std::size_t dot = suffix.find('.');
        if (dot == std::string_view::npos) {
            break;
        }
        suffix.remove_prefix(dot + 1);
    }
    if (first == table.size()) {
        return {};
    }
    return table[first].companions;
}

std::vector<std::string> normalizedDomainList(const std::vector<std::string>& values) {
    std::vector<std::string> result;
    result.reserve(values.size());
    for (const auto& value : values) {
        std::string rule = lowercased(trimmedWhitespaceAndNewlines(value));
        if (!rule.empty() && rule != "*") {
            result.push_back(std::move(rule));
        }
    }
    return result;
}

}  // namespace kestralune
