#include "platform/text.h"

#include <locale.h>
#include <wctype.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>

namespace kestralune {
namespace {

struct DecodedScalar {
    char32_t value;
    std::size_t length;
};

// Decodes one well-formed UTF-8 sequence at `offset`; nothing for an ill-formed one
// (overlong forms, surrogates, values above U+10FFFF, truncated or stray bytes).
std::optional<DecodedScalar> decodeScalar(std::string_view text, std::size_t offset) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[offset + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return DecodedScalar{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    unsigned char secondMin = 0x80;
    unsigned char secondMax = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) {
            secondMin = 0xA0;
        } else if (lead == 0xED) {
            secondMax = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) {
            secondMin = 0x90;
        } else if (lead == 0xF4) {
            secondMax = 0x8F;
        }
    } else {
        return std::nullopt;
    }
    if (text.size() - offset < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(i);
        const unsigned char low = i == 1 ? secondMin : 0x80;
        const unsigned char high = i == 1 ? secondMax : 0xBF;
        if (next < low || next > high) {
            return std::nullopt;
        }
        value = (value << 6) | (next & 0x3F);
    }
    return DecodedScalar{value, length};
}

// The C.UTF-8 locale carries glibc's full Unicode case tables whatever the process
// locale is; created once and never freed.
locale_t unicodeLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

// Foundation's whitespacesAndNewlines: general categories Zs, Zl and Zp, plus U+0009-U+000D
// and U+0085.
bool isWhitespaceOrNewline(char32_t c) {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

}  // namespace

void appendScalar(std::string& out, char32_t value) {
    if (value < 0x80) {
        out.push_back(static_cast<char>(value));
    } else if (value < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (value >> 6)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (value >> 12)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (value >> 18)));
        out.push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
}

std::string lowercased(std::string_view utf8) {
    // ASCII in place; the first other byte switches to decoding the rest.
    std::string out(utf8);
    std::size_t offset = 0;
    for (; offset < out.size(); ++offset) {
        const unsigned char byte = static_cast<unsigned char>(out[offset]);
        if (byte >= 0x80) {
            break;
        }
        if (byte >= 'A' && byte <= 'Z') {
            out[offset] = static_cast<char>(byte + ('a' - 'A'));
        }
    }
    if (offset == out.size()) {
        return out;
    }
    out.resize(offset);
    const locale_t locale = unicodeLocale();
    while (offset < utf8.size()) {
        const unsigned char lead = static_cast<unsigned char>(utf8[offset]);
        if (lead < 0x80) {
            out.push_back(lead >= 'A' && lead <= 'Z' ? static_cast<char>(lead + ('a' - 'A'))
                                                     : static_cast<char>(lead));
            ++offset;
            continue;
        }
        const auto scalar = decodeScalar(utf8, offset);
        if (!scalar) {
            out.push_back(static_cast<char>(lead));
            ++offset;
            continue;
        }
        char32_t lower = scalar->value;
        if (locale != static_cast<locale_t>(0)) {
            lower = static_cast<char32_t>(towlower_l(static_cast<wint_t>(scalar->value), locale));
        }
        appendScalar(out, lower);
        offset += scalar->length;
    }
    return out;
}

std::string trimmedWhitespaceAndNewlines(std::string_view utf8) {
    return std::string(trimmedWhitespaceAndNewlinesView(utf8));
}

std::string_view trimmedWhitespaceAndNewlinesView(std::string_view utf8) {
    std::size_t begin = 0;
    while (begin < utf8.size()) {
        const auto scalar = decodeScalar(utf8, begin);
        if (!scalar || !isWhitespaceOrNewline(scalar->value)) {
            break;
        }
        begin += scalar->length;
    }
    std::size_t end = utf8.size();
    while (end > begin) {
        // Step back over continuation bytes to the sequence's first byte; a sequence that
        // does not decode to exactly the bytes up to `end` is content, like any invalid byte.
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 &&
               (static_cast<unsigned char>(utf8[start]) & 0xC0) == 0x80) {
            --start;
        }
        const auto scalar = decodeScalar(utf8, start);
        if (!scalar || start + scalar->length != end || !isWhitespaceOrNewline(scalar->value)) {
            break;
        }
        end = start;
    }
    return utf8.substr(begin, end - begin);
}

bool isValidUtf8(std::string_view bytes) {
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        if (static_cast<unsigned char>(bytes[offset]) < 0x80) {
            ++offset;
            continue;
        }
        const auto scalar = decodeScalar(bytes, offset);
        if (!scalar) {
            return false;
        }
        offset += scalar->length;
    }
    return true;
}

std::size_t utf8SequenceLength(std::string_view bytes, std::size_t offset) {
    const auto scalar = decodeScalar(bytes, offset);
    return scalar ? scalar->length : 0;
}

std::string makeUuidString() {
    std::random_device source;
    std::array<std::uint8_t, 16> bytes{};
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(source() & 0xFF);
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    std::string text;
    char hex[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        std::snprintf(hex, sizeof(hex), "%02X", bytes[i]);
        text += hex;
    }
    return text;
}

}  // namespace kestralune
