#include "blockserver/rule_file.h"

#include "blockserver/domain_rules.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace kestralune {

namespace {

std::vector<std::string> domainList(const nlohmann::json& configuration, const char* key) {
    const auto value = configuration.find(key);
    if (value == configuration.end() || !value->is_array()) {
        return {};
    }
    std::vector<std::string> strings;
    for (const auto& element : *value) {
        if (element.is_string()) {
            strings.push_back(element.get<std::string>());
        }
    }
    return normalizedDomainList(strings);
}

}  // namespace

std::variant<RuleFile, RuleFileError> parseRuleFile(std::string_view json) {
    const auto configuration = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (configuration.is_discarded()) {
        return RuleFileError{"not valid JSON"};
    }
    if (!configuration.is_object()) {
        return RuleFileError{"not a JSON object"};
    }
    RuleFile rules;
    rules.exceptionDomains = domainList(configuration, "exceptionDomains");
    rules.blockedDomains = domainList(configuration, "blockedDomains");
    const auto all = configuration.find("allWebsitesBlocked");
    rules.allWebsitesBlocked = all == configuration.end() || !all->is_boolean() || all->get<bool>();
    return rules;
}

std::variant<RuleFile, RuleFileError> readRuleFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return RuleFileError{"cannot be opened"};
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad()) {
        return RuleFileError{"cannot be read"};
    }
    return parseRuleFile(text.str());
}

}  // namespace kestralune
