#include "platform/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace kestralune {
namespace {

struct TextRow {
    std::string input;
    std::string expected;
};

// Fails if non-ASCII letters stay upper-case (a plain ASCII tolower) or if bytes that are
// not UTF-8 are dropped or replaced instead of passed through.
TEST(LowercasedTest, MapsEveryScriptAndKeepsInvalidBytes) {
    const TextRow rows[] = {
        {"Example.COM", "example.com"},
        {"\xC3\x80\xC3\x89", "\xC3\xA0\xC3\xA9"},                  // ÀÉ -> àé
        {"\xCE\xA3\xCE\x91", "\xCF\x83\xCE\xB1"},                  // ΣΑ -> σα
        {"\xD0\x9C\xD0\x98\xD0\xA0", "\xD0\xBC\xD0\xB8\xD1\x80"},  // МИР -> мир
        {"\xEF\xBC\xA1\xEF\xBC\xA2", "\xEF\xBD\x81\xEF\xBD\x82"},  // fullwidth ＡＢ -> ａｂ
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                  // Deseret, 4 bytes
        {"\xE2\x84\xAA", "k"},                                     // KELVIN SIGN -> k
        {"\xF0\x9F\xA6\x81 1-2_3", "\xF0\x9F\xA6\x81 1-2_3"},      // no case: unchanged
        {"\xFF"
         "ABC",
         "\xFF"
         "abc"},                     // stray byte kept
        {"A\xE2\x82", "a\xE2\x82"},  // truncated tail kept
        {"\xC0\x81Z", "\xC0\x81z"},  // overlong kept
        {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(lowercased(row.input), row.expected) << row.input;
    }
}

// Fails if the trimmed set differs from Foundation's whitespacesAndNewlines: missing the
// Unicode spaces and line separators, or wrongly eating format characters and inner text.
TEST(TrimmedWhitespaceAndNewlinesTest, TrimsUnicodeSpaceAndLineBreaksAtBothEndsOnly) {
    const TextRow rows[] = {
        {" \t\r\n example.com \n", "example.com"},
        {"\xC2\xA0"
         "a b"
         "\xE3\x80\x80",
         "a b"},  // NBSP, ideographic space
        {"\xE2\x80\xA8"
         "a"
         "\xE2\x80\xA9",
         "a"},  // line, paragraph separator
        {"\xC2\x85"
         "a"
         "\x0B\x0C",
         "a"},  // NEL, VT, FF
        {"\xE2\x80\x80\xE2\x80\x8A"
         "a"
         "\xE2\x80\xAF\xE2\x81\x9F",
         "a"},
        {"\xE1\x9A\x80"
         "a",
         "a"},  // ogham space mark
        {"\xE2\x80\x8B"
         "a"
         "\xEF\xBB\xBF",
         "\xE2\x80\x8B"
         "a"
         "\xEF\xBB\xBF"},    // ZWSP, BOM kept
        {" \xFF ", "\xFF"},  // invalid byte is content
        {" \t\n\xE3\x80\x80", ""},
        {"", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(trimmedWhitespaceAndNewlines(row.input), row.expected) << row.input;
    }
}

// Fails if trimming from the end reads sequences differently from reading forward (the
// end is scanned backwards): compared with a forward reference on random mixes of spaces,
// separators, letters and broken sequences.
TEST(TrimmedWhitespaceAndNewlinesTest, AgreesWithForwardReadingOnMixedBytes) {
    const std::vector<std::string> pieces = {" ",    "a",        "\xC2\xA0", "\xE2\x80\xA8",
                                             "\x80", "\xE2\x80", "\xFF",     "\xE3\x80\x80",
                                             "\xC2", "\xC3\xA9", "\n",       "\xF0\x9F\xA6\x81"};
    // Every white-space sequence the pieces can form, U+2000 included ("\xE2\x80" + "\x80").
    const std::vector<std::string> spaces = {
        " ", "\n", "\xC2\xA0", "\xE2\x80\xA8", "\xE3\x80\x80", "\xE2\x80\x80"};
    const auto reference = [&](const std::string& text) {
        std::size_t offset = 0;
        std::size_t begin = std::string::npos;
        std::size_t end = 0;
        while (offset < text.size()) {
            const std::size_t length = std::max<std::size_t>(utf8SequenceLength(text, offset), 1);
            const std::string piece = text.substr(offset, length);
            if (std::find(spaces.begin(), spaces.end(), piece) == spaces.end()) {
                begin = std::min(begin, offset);
                end = offset + length;
            }
            offset += length;
        }
        return begin == std::string::npos ? std::string() : text.substr(begin, end - begin);
    };
    std::mt19937 random(7);
    for (int run = 0; run < 5000; ++run) {
        std::string text;
        for (std::size_t count = random() % 8; count > 0; --count) {
            text += pieces[random() % pieces.size()];
        }
        ASSERT_EQ(trimmedWhitespaceAndNewlines(text), reference(text)) << text;
    }
}

// Fails if an ill-formed sequence (overlong, surrogate, beyond U+10FFFF, truncated, stray
// continuation) is accepted or a well-formed one rejected.
TEST(IsValidUtf8Test, AcceptsWellFormedAndRejectsIllFormedSequences) {
    const struct {
        std::string bytes;
        bool valid;
        std::size_t firstSequenceLength;
    } rows[] = {
        {"a", true, 1},
        {"\xC3\xA9", true, 2},
        {"\xE2\x80\xA8", true, 3},
        {"\xF0\x9F\xA6\x81", true, 4},
        {"\xF4\x8F\xBF\xBF", true, 4},   // U+10FFFF
        {"\xC0\x80", false, 0},          // overlong NUL
        {"\xE0\x80\xAF", false, 0},      // overlong "/"
        {"\xED\xA0\x80", false, 0},      // surrogate
        {"\xF4\x90\x80\x80", false, 0},  // beyond U+10FFFF
        {"\xE2\x82", false, 0},          // truncated
        {"\x80", false, 0},              // stray continuation
        {"\xF8\x88\x80\x80\x80", false, 0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isValidUtf8(row.bytes), row.valid) << row.bytes;
        EXPECT_EQ(utf8SequenceLength(row.bytes, 0), row.firstSequenceLength) << row.bytes;
    }
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_FALSE(isValidUtf8("valid then \xFF"));
}

}  // namespace
}  // namespace kestralune
