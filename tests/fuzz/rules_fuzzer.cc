// Rule normalisation and the two generated bodies, fed arbitrary rule lists: the bodies must
// keep their shape (32 script lines, one JSON line) whatever the rules hold.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "blockserver/domain_rules.h"
#include "blockserver/pac_script.h"
#include "platform/text.h"

namespace {

void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// First byte: the all-blocked flag; the rest: rules separated by ",", alternating between
// the exception and the blocked list.
kestralune::RuleLists rulesFrom(std::string_view input) {
    kestralune::RuleLists rules;
    if (input.empty()) {
        return rules;
    }
    rules.allWebsitesBlocked = (input.front() & 1) != 0;
    input.remove_prefix(1);
    bool toExceptions = true;
    while (true) {
        const std::size_t comma = input.find(',');
        auto& list = toExceptions ? rules.exceptionDomains : rules.blockedDomains;
        list.emplace_back(input.substr(0, comma));
        toExceptions = !toExceptions;
        if (comma == std::string_view::npos) {
            return rules;
        }
        input.remove_prefix(comma + 1);
    }
}

void checkNormalised(const std::vector<std::string>& input,
                     const std::vector<std::string>& normalised) {
    for (std::size_t i = 1; i < normalised.size(); ++i) {
        require(normalised[i - 1] < normalised[i]);
    }
    for (const auto& rule : normalised) {
        require(!rule.empty() && rule.front() != '/' && rule.back() != '/');
    }
    for (const auto& rule : input) {
        const std::string one = kestralune::normalizeRule(rule);
        if (!one.empty()) {
            require(std::binary_search(normalised.begin(), normalised.end(), one));
        }
    }
}

bool allValidUtf8(const std::vector<std::string>& rules) {
    for (const auto& rule : rules) {
        if (!kestralune::isValidUtf8(rule)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const kestralune::RuleLists rules = rulesFrom(input);
    const auto exceptions = kestralune::normalizedRules(rules.exceptionDomains);
    const auto blocked = kestralune::normalizedRules(rules.blockedDomains);
    checkNormalised(rules.exceptionDomains, exceptions);
    checkNormalised(rules.blockedDomains, blocked);

    const std::string script = kestralune::pacScript(rules);
    require(std::count(script.begin(), script.end(), '\n') == 31);
    require(script.find("\xE2\x80\xA8") == std::string::npos);
    require(script.find("\xE2\x80\xA9") == std::string::npos);

    const std::string document = kestralune::configDocument(rules);
    require(kestralune::isValidUtf8(document));
    const auto json = nlohmann::json::parse(document, nullptr, /*allow_exceptions=*/false);
    require(!json.is_discarded());
    const auto parsedExceptions = json["exceptions"].get<std::vector<std::string>>();
    const auto parsedBlocked = json["blockedDomains"].get<std::vector<std::string>>();
    require(parsedExceptions.size() == exceptions.size());
    require(parsedBlocked.size() == blocked.size());
    if (allValidUtf8(exceptions)) {
        require(parsedExceptions == exceptions);
    }
    if (allValidUtf8(blocked)) {
        require(parsedBlocked == blocked);
    }
    return 0;
}
