#include "blockserver/domain_rules.h"

#include <algorithm>

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
    result.reserve(rules.size());
    for (const auto& rule : rules) {
        std::string normalized = normalizeRule(rule);
        if (!normalized.empty()) {
            result.push_back(std::move(normalized));
        }
    }
    // De-duplicate first so a rule listed many times is expanded once.
    sortAndDeduplicate(result);
    const std::size_t listedCount = result.size();
    for (std::size_t i = 0; i < listedCount; ++i) {
        if (!isHostRule(result[i])) {
            continue;
        }
        // The table is static, so the span stays valid while `result` grows.
        for (const std::string_view companion : companionDomains(result[i])) {
            result.emplace_back(companion);
        }
    }
    if (result.size() != listedCount) {
        sortAndDeduplicate(result);
    }
    return result;
}

std::span<const std::string_view> companionDomains(std::string_view normalizedRule) {
    for (const CompanionEntry& entry : companionDomainTable()) {
        const std::string_view site = entry.site;
        if (normalizedRule == site) {
            return entry.companions;
        }
        if (normalizedRule.size() > site.size() && normalizedRule.ends_with(site) &&
            normalizedRule[normalizedRule.size() - site.size() - 1] == '.') {
            return entry.companions;
        }
    }
    return {};
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
