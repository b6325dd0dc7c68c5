#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// What a verified signature says about the signed code, for a requirement to test.
struct SignedCodeFacts {
    std::string identifier;              // the identifier the signature binds
    std::string leafOrganizationalUnit;  // the leaf certificate's subject OU; empty when none
    std::string leafCommonName;          // its subject CN; empty when none
    bool anchorTrusted = false;          // the chain ends in one of the trusted anchors
};

// A code requirement in a subset of the system's requirement language:
//   anchor apple generic                  the chain ends in a trusted anchor
//   certificate leaf[subject.OU] = VALUE  (also subject.CN)
//   identifier VALUE, identifier = VALUE
// joined with `or`, `and` (binding tighter) and `!` (tighter still), grouped with
// parentheses. A VALUE is a string in double quotes (\" and \\ escape) or an unquoted word
// of letters, digits, '.', '-' and '_'.
struct Requirement {
    enum class Kind {
        anchorTrusted,
        leafOrganizationalUnit,
        leafCommonName,
        identifier,
        negation,     // of its one operand
        conjunction,  // of two or more operands
        disjunction,
    };
    Kind kind = Kind::anchorTrusted;
    std::string value;  // what the leaf field or the identifier must equal
    std::vector<Requirement> operands;
};

// Reads `text` into `requirement`. Returns an empty string, or one sentence saying where the
// text is malformed (unknown words, a missing operand or parenthesis, an unterminated string,
// nesting deeper than any real requirement needs).
[[nodiscard]] std::string parseRequirement(std::string_view text, Requirement& requirement);

bool isSatisfied(const Requirement& requirement, const SignedCodeFacts& facts);

}  // namespace kestralune
