#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestralune {

// Website rules as the stand-alone server takes them from a file shaped like the UI's
// configuration map, read the way the engine reads a configuration: each list through
// normalizedDomainList (non-string elements skipped, a missing or non-list value empty),
// "allWebsitesBlocked" true unless it is the Boolean false. Other keys are ignored.
struct RuleFile {
    std::vector<std::string> exceptionDomains;
    std::vector<std::string> blockedDomains;
    bool allWebsitesBlocked = true;
};

// Why a file could not be used, as one sentence for the user.
struct RuleFileError {
    std::string message;
};

// Parses the file's text: anything but a JSON object is an error.
[[nodiscard]] std::variant<RuleFile, RuleFileError> parseRuleFile(std::string_view json);
// Reads and parses the file at `path`.
[[nodiscard]] std::variant<RuleFile, RuleFileError> readRuleFile(const std::string& path);

}  // namespace kestralune
