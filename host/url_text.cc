#include "host/url_text.h"

namespace kestralune {

namespace {

// ASCII only, whatever the process's locale says.
bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Unreserved and reserved characters of a URL; "%" is decided separately.
bool mayStandInUrl(char c) {
    constexpr std::string_view kPunctuation = "-._~:/?#[]@!$&'()*+,;=";
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           kPunctuation.find(c) != std::string_view::npos;
}

}  // namespace

std::string absoluteUrlText(std::string_view link) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(link.size());
    for (std::size_t i = 0; i < link.size(); ++i) {
        const char c = link[i];
        const bool validEscape =
            c == '%' && i + 2 < link.size() && isHexDigit(link[i + 1]) && isHexDigit(link[i + 2]);
        if (validEscape || mayStandInUrl(c)) {
            text.push_back(c);
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        text.push_back('%');
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0xF]);
    }
    return text;
}

}  // namespace kestralune
