#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestralune {

// Text helpers with the platform's Unicode semantics (Foundation's lowercased() and
// whitespacesAndNewlines), shared by rule normalisation, the engine and the tool parsers.

// Lower-cases every code point (full Unicode simple case mapping). Invalid UTF-8 bytes
// are kept as they are.
std::string lowercased(std::string_view utf8);

// Removes Unicode white space and line breaks (spaces, tabs, CR, LF, NEL, U+00A0,
// U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000, ...) from both ends.
std::string trimmedWhitespaceAndNewlines(std::string_view utf8);
// The same, as a view into `utf8` (no copy).
std::string_view trimmedWhitespaceAndNewlinesView(std::string_view utf8);

// Appends the UTF-8 form of a Unicode scalar value (at most U+10FFFF, not a surrogate).
void appendScalar(std::string& out, char32_t value);

// Whether the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);

// Length of the well-formed UTF-8 sequence starting at `offset` (1 to 4), or 0 when the
// bytes there are not one (stray, truncated, overlong or surrogate). `offset` < size.
std::size_t utf8SequenceLength(std::string_view bytes, std::size_t offset);

// A random (version 4) UUID in its canonical upper-case text, 36 characters.
std::string makeUuidString();

}  // namespace kestralune
