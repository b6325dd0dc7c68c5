#pragma once

#include <string>
#include <string_view>

namespace kestralune {

// The absolute text of the URL that the system's URL type makes of a link given as plain
// text (a command-line argument, a link forwarded by another start): every byte a URL cannot
// hold (spaces, controls, non-ASCII and bytes that are not UTF-8) is percent-encoded with
// upper-case hex, and so is a "%" that does not start a valid escape. Unreserved and reserved
// characters and valid escapes stay as they are, so the text keeps its meaning, and applying
// it again changes nothing. The result is always ASCII.
std::string absoluteUrlText(std::string_view link);

}  // namespace kestralune
