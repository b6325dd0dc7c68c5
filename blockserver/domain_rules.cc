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
    std::string text = lowercased(trimmedWhitespaceAndNewlinesView(rule));
    std::string_view kept = text;
    if (kept.starts_with("http://")) {
        kept.remove_prefix(7);
    } else if (kept.starts_with("https://")) {
        kept.remove_prefix(8);
    }
    if (kept.starts_with("www.")) {
        kept.remove_prefix(4);
    }
    const auto first = kept.find_first_not_of('/');
    if (first == std::string_view::npos) {
        return {};
    }
    kept = kept.substr(first, kept.find_last_not_of('/') - first + 1);
    // Cut in place: no second allocation per rule.
    const auto offset = static_cast<std::size_t>(kept.data() - text.data());
    const std::size_t length = kept.size();
    text.erase(offset + length);
    text.erase(0, offset);
    // A fully-qualified host ("example.com.") is the same host; the script drops that dot
    // from the hosts and URLs it is asked about, so the rule must not keep it either.
    const std::size_t hostEnd = std::min(text.find('/'), text.size());
    if (hostEnd > 1 && text[hostEnd - 1] == '.') {
        text.erase(hostEnd - 1, 1);
    }
    return text;
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
        std::string rule = lowercased(trimmedWhitespaceAndNewlinesView(value));
        if (!rule.empty() && rule != "*") {
            result.push_back(std::move(rule));
        }
    }
    return result;
}

}  // namespace kestralune
