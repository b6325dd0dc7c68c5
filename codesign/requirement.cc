#include "codesign/requirement.h"

#include <algorithm>
#include <cctype>

namespace kestralune {

namespace {

// Command lines are short; a requirement nested deeper is hostile, and refusing it keeps the
// recursion off the end of the stack.
constexpr int kMaxDepth = 64;

struct Token {
    enum class Type { word, string, symbol, end };
    Type type = Type::end;
    std::string text;
};

bool isWordCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
}

std::string describe(const Token& token) {
    return token.type == Token::Type::end ? "the end" : "\"" + token.text + "\"";
}

class Parser {
  public:
    explicit Parser(std::string_view text) : text(text) {}

    std::string run(Requirement& requirement) {
        advance();
        Requirement parsed = disjunction(0);
        if (error.empty() && token.type != Token::Type::end) {
            fail("expected \"and\", \"or\" or the end but found " + describe(token));
        }
        if (error.empty()) {
            requirement = std::move(parsed);
        }
        return error;
    }

  private:
    void fail(std::string why) {
        if (error.empty()) {
            error = std::move(why);
        }
    }

    // Reads the next token into `token`; on a lexical error, fails and yields the end.
    void advance() {
        while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position]))) {
            ++position;
        }
        token = {};
        if (position == text.size() || !error.empty()) {
            return;
        }
        const char first = text[position];
        if (first == '"') {
            token.type = Token::Type::string;
            for (++position; position < text.size() && text[position] != '"'; ++position) {
                if (text[position] == '\\' && ++position < text.size() && text[position] != '"' &&
                    text[position] != '\\') {
                    token = {};
                    return fail("unknown escape \"\\" + std::string(1, text[position]) + "\"");
                }
                if (position < text.size()) {
                    token.text += text[position];
                }
            }
            if (position == text.size()) {
                token = {};
                return fail("unterminated string");
            }
            ++position;
        } else if (std::string_view("()[]=!").find(first) != std::string_view::npos) {
            token = {Token::Type::symbol, std::string(1, first)};
            ++position;
        } else if (isWordCharacter(first)) {
            const auto start = position;
            while (position < text.size() && isWordCharacter(text[position])) {
                ++position;
            }
            token = {Token::Type::word, std::string(text.substr(start, position - start))};
        } else {
            fail("unexpected character \"" + std::string(1, first) + "\"");
        }
    }

    bool accept(Token::Type type, std::string_view expected) {
        if (token.type != type || token.text != expected) {
            return false;
        }
        advance();
        return true;
    }

    void expect(Token::Type type, std::string_view expected) {
        if (!accept(type, expected)) {
            fail("expected \"" + std::string(expected) + "\" but found " + describe(token));
        }
    }

    // Operands joined by `separator`, each read by `operand`; one operand stands alone.
    template <class Operand>
    Requirement joined(Requirement::Kind kind, std::string_view separator, Operand operand) {
        Requirement joint{kind, {}, {}};
        joint.operands.push_back(operand());
        while (error.empty() && accept(Token::Type::word, separator)) {
            joint.operands.push_back(operand());
        }
        return joint.operands.size() == 1 ? std::move(joint.operands.front()) : joint;
    }

    Requirement disjunction(int depth) {
        return joined(Requirement::Kind::disjunction, "or", [&] { return conjunction(depth); });
    }

    Requirement conjunction(int depth) {
        return joined(Requirement::Kind::conjunction, "and", [&] { return unary(depth); });
    }

    Requirement unary(int depth) {
        if (depth > kMaxDepth) {
            fail("the requirement is nested too deeply");
            return {};
        }
        if (accept(Token::Type::symbol, "!")) {
            return {Requirement::Kind::negation, {}, {unary(depth + 1)}};
        }
        if (accept(Token::Type::symbol, "(")) {
            Requirement inner = disjunction(depth + 1);
            expect(Token::Type::symbol, ")");
            return inner;
        }
        if (accept(Token::Type::word, "anchor")) {
            expect(Token::Type::word, "apple");
            expect(Token::Type::word, "generic");
            return {Requirement::Kind::anchorTrusted, {}, {}};
        }
        if (accept(Token::Type::word, "certificate")) {
            expect(Token::Type::word, "leaf");
            expect(Token::Type::symbol, "[");
            auto kind = Requirement::Kind::leafOrganizationalUnit;
            if (accept(Token::Type::word, "subject.CN")) {
                kind = Requirement::Kind::leafCommonName;
            } else {
                expect(Token::Type::word, "subject.OU");
            }
            expect(Token::Type::symbol, "]");
            expect(Token::Type::symbol, "=");
            return {kind, value(), {}};
        }
        if (accept(Token::Type::word, "identifier")) {
            accept(Token::Type::symbol, "=");
            return {Requirement::Kind::identifier, value(), {}};
        }
        fail("expected a requirement but found " + describe(token));
        return {};
    }

    std::string value() {
        const bool word =
            token.type == Token::Type::word && token.text != "and" && token.text != "or";
        if (token.type != Token::Type::string && !word) {
            fail("expected a string but found " + describe(token));
            return {};
        }
        std::string found = std::move(token.text);
        advance();
        return found;
    }

    std::string_view text;
    std::size_t position = 0;
    Token token;
    std::string error;
};

}  // namespace

std::string parseRequirement(std::string_view text, Requirement& requirement) {
    return Parser(text).run(requirement);
}

bool isSatisfied(const Requirement& requirement, const SignedCodeFacts& facts) {
    const auto satisfied = [&](const Requirement& operand) { return isSatisfied(operand, facts); };
    switch (requirement.kind) {
        case Requirement::Kind::anchorTrusted:
            return facts.anchorTrusted;
        case Requirement::Kind::leafOrganizationalUnit:
            return facts.leafOrganizationalUnit == requirement.value;
        case Requirement::Kind::leafCommonName:
            return facts.leafCommonName == requirement.value;
        case Requirement::Kind::identifier:
            return facts.identifier == requirement.value;
        case Requirement::Kind::negation:
            return !satisfied(requirement.operands.front());
        case Requirement::Kind::conjunction:
            return std::all_of(requirement.operands.begin(), requirement.operands.end(), satisfied);
        case Requirement::Kind::disjunction:
            return std::any_of(requirement.operands.begin(), requirement.operands.end(), satisfied);
    }
    return false;
}

}  // namespace kestralune
