#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kestralune {
namespace {

// Fails if non-ASCII letters stay upper-case (a plain ASCII tolower), or bytes that are not
// UTF-8 (stray, overlong, truncated) are dropped or replaced instead of passed through.
TEST(TextTest, LowercasedMapsEveryScriptAndKeepsInvalidBytes) {
    // À É Σ Α М И Р, fullwidth Ａ, Deseret 𐐀, KELVIN SIGN; the lion has no case.
    EXPECT_EQ(
        lowercased("Example.COM \xC3\x80\xC3\x89 \xCE\xA3\xCE\x91 \xD0\x9C\xD0\x98\xD0\xA0 "
                   "\xEF\xBC\xA1 \xF0\x90\x90\x80 \xE2\x84\xAA \xF0\x9F\xA6\x81 1-2_3 "
                   "\xFF\x41 \xC0\x81Z A\xE2\x82"),
        "example.com \xC3\xA0\xC3\xA9 \xCF\x83\xCE\xB1 \xD0\xBC\xD0\xB8\xD1\x80 "
        "\xEF\xBD\x81 \xF0\x90\x90\xA8 k \xF0\x9F\xA6\x81 1-2_3 \xFF\x61 \xC0\x81z a\xE2\x82");
}

// Fails if the trimmed set differs from Foundation's whitespacesAndNewlines (the Unicode
// spaces and separators, NEL, VT, FF), or if trimming eats format characters, inner text or
// bytes that only look like the end of a space when read backwards.
TEST(TextTest, TrimmingRemovesUnicodeSpaceAtBothEndsOnly) {
    // One of each kind: ASCII, NEL, no-break, the U+2000 range's ends, LS, ideographic.
    for (const std::string space : {" \t\r\n\x0B\x0C", "\xC2\x85", "\xC2\xA0", "\xE2\x80\x80",
                                    "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE3\x80\x80"}) {
        EXPECT_EQ(trimmedWhitespaceAndNewlines(space + "a" + space + "b" + space),
                  "a" + space + "b");
        EXPECT_EQ(trimmedWhitespaceAndNewlines(space + space), "");
    }
    // Zero-width space and BOM are content, and so are stray and truncated bytes, even where
    // reading backwards could take them for the tail of a space.
    for (const auto& [text, trimmed] : std::vector<std::pair<std::string, std::string>>{
             {" \xE2\x80\x8B\xEF\xBB\xBF ", "\xE2\x80\x8B\xEF\xBB\xBF"},
             {" \xFF \xE2\x80 ", "\xFF \xE2\x80"},
             {"a\xE2\x80\x80\x80", "a\xE2\x80\x80\x80"},
             {"a\xC2\xA0\xA0", "a\xC2\xA0\xA0"},
             {"a\xE2\xE2\x80\xA8", "a\xE2"},
             {"a\xC2\xC2\xA0", "a\xC2"},
             {"\xE2\x80\x80\x80", "\x80"}}) {
        EXPECT_EQ(trimmedWhitespaceAndNewlines(text), trimmed) << text;
    }
}

// Fails if an ill-formed sequence (overlong, surrogate, beyond U+10FFFF, truncated, stray
// continuation, five bytes) is accepted or a well-formed one rejected.
TEST(TextTest, Utf8ValidityFollowsTheWellFormedSequences) {
    for (const std::string valid :
         {"a", "\xC3\xA9", "\xE2\x80\xA8", "\xF0\x9F\xA6\x81", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_EQ(utf8SequenceLength(valid, 0), valid.size());
        EXPECT_TRUE(isValidUtf8("x" + valid + "y"));
    }
    for (const std::string invalid :
         {"\xC0\x80", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82", "\x80",
          "\xF8\x88\x80\x80\x80"}) {
        EXPECT_EQ(utf8SequenceLength(invalid, 0), 0u);
        EXPECT_FALSE(isValidUtf8("x" + invalid + "y"));
    }
}

}  // namespace
}  // namespace kestralune
