#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestralune {

// Base64 with the standard alphabet, as Foundation's NSData writes and reads it with no
// options: images and icons travel to the UI in it, and photos come back in it.

// The text of `bytes`, padded with "=", with no line breaks.
std::string base64Encoded(std::string_view bytes);

// The bytes of `text`; nothing unless it is made only of the 64 characters of the alphabet in
// groups of four, the last group possibly ending in one or two "=". White space, line breaks,
// the URL-safe alphabet ("-", "_") and misplaced padding are refused, not skipped. Unused low
// bits of the last character are ignored. The empty text is the empty data.
std::optional<std::string> base64Decoded(std::string_view text);

}  // namespace kestralune
