#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// A popular site and the other domains it needs in order to load.
struct CompanionEntry {
    std::string_view site;
    std::span<const std::string_view> companions;  // always contains `site`
};

// The 50 entries in their fixed order; the first entry whose site matches wins.
std::span<const CompanionEntry> companionDomainTable();
// Host names that are always exceptions and never stay blocked.
std::span<const std::string_view> alwaysAllowedDomains();
// The 15 exceptions in force until the first configuration arrives, sorted ascending.
std::span<const std::string_view> defaultExceptionDomains();
// defaultExceptionDomains() as owned strings, the form the engine and server store.
std::vector<std::string> defaultExceptionDomainList();

// Trim, lower-case, drop a leading scheme and "www.", trim "/" at both ends.
std::string normalizeRule(std::string_view rule);
// Normalised, emptied entries dropped, de-duplicated, host rules widened by their
// companions, sorted ascending by code point.
std::vector<std::string> normalizedRules(const std::vector<std::string>& rules);
// The companion list of the first table entry whose site equals the rule or is a parent
// domain of it; empty when none matches.
std::span<const std::string_view> companionDomains(std::string_view normalizedRule);

// The engine's reading of a configured website list: each entry trimmed of white space and
// line breaks and lower-cased; empty entries and "*" dropped; order and duplicates kept.
// Scheme, "www." and slashes are left for normalizeRule when the lists are served.
std::vector<std::string> normalizedDomainList(const std::vector<std::string>& values);

}  // namespace kestralune
