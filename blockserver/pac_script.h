#pragma once

#include <string>
#include <vector>

namespace kestralune {

// The server's rule state as the script and the document read it (unnormalised; both
// builders normalise and expand with normalizedRules).
struct RuleLists {
    std::vector<std::string> exceptionDomains;
    std::vector<std::string> blockedDomains;
    bool allWebsitesBlocked = true;
};

// Rules quoted for a JavaScript array and a JSON array alike: backslash and double quote
// escaped, control characters, U+2028 and U+2029 written as \uXXXX, joined with ",".
std::string quotedRuleList(const std::vector<std::string>& preparedRules);

// The proxy auto-configuration script served at /proxy.pac.
std::string pacScript(const RuleLists& rules);
// The one-line JSON document served at /config.json.
std::string configDocument(const RuleLists& rules);

}  // namespace kestralune
