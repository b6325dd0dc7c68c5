#include "platform/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace kestralune {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> kValues = [] {
    std::array<std::uint8_t, 256> values{};
    values.fill(kNotInAlphabet);
    for (std::size_t index = 0; index < kAlphabet.size(); ++index) {
        values[static_cast<unsigned char>(kAlphabet[index])] = static_cast<std::uint8_t>(index);
    }
    return values;
}();

}  // namespace

std::string base64Encoded(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
        std::uint32_t group = 0;
        for (std::size_t index = 0; index < 3; ++index) {
            group =
                group << 8 | (index < count ? static_cast<unsigned char>(bytes[at + index]) : 0u);
        }
        for (std::size_t index = 0; index < 4; ++index) {
            text += index <= count ? kAlphabet[group >> (18 - 6 * index) & 0x3F] : '=';
        }
    }
    return text;
}

std::optional<std::string> base64Decoded(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
        ++padding;
    }
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3);
    std::uint32_t group = 0;
    const std::size_t digits = text.size() - padding;
    for (std::size_t at = 0; at < digits; ++at) {
        const std::uint8_t value = kValues[static_cast<unsigned char>(text[at])];
        if (value == kNotInAlphabet) {
            return std::nullopt;
        }
        group = group << 6 | value;
        if (at % 4 == 3) {
            bytes += static_cast<char>(group >> 16);
            bytes += static_cast<char>(group >> 8 & 0xFF);
            bytes += static_cast<char>(group & 0xFF);
            group = 0;
        }
    }
    // A padded last group holds two digits (one byte) or three (two bytes); "Q===" was
    // refused above, its second digit being "=".
    if (const std::size_t left = digits % 4; left != 0) {
        group <<= 6 * (4 - left);
        bytes += static_cast<char>(group >> 16);
        if (left == 3) {
            bytes += static_cast<char>(group >> 8 & 0xFF);
        }
    }
    return bytes;
}

}  // namespace kestralune
