#include "channel/channel_frame.h"

#include <array>
#include <cassert>
#include <cstring>

namespace kestralune {

namespace {

void putU32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t getU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint16_t getU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

}  // namespace

void appendFrameHeader(ByteBuffer& out, FrameKind kind, std::uint32_t id, std::string_view channel,
                       std::size_t payloadSize) {
    assert(channel.size() <= kMaxChannelNameLength);
    const std::size_t length = kFrameFixedSize + channel.size() + payloadSize;
    assert(length <= kMaxFrameLength);
    std::array<std::uint8_t, kFrameLengthFieldSize + kFrameFixedSize> fixed{};
    putU32(fixed.data(), static_cast<std::uint32_t>(length));
    fixed[4] = static_cast<std::uint8_t>(kind);
    putU32(fixed.data() + 5, id);
    fixed[9] = static_cast<std::uint8_t>(channel.size());
    fixed[10] = static_cast<std::uint8_t>(channel.size() >> 8);
    out.insert(out.end(), fixed.begin(), fixed.end());
    const auto* name = reinterpret_cast<const std::uint8_t*>(channel.data());
    out.insert(out.end(), name, name + channel.size());
}

ByteBuffer encodeFrameHeader(FrameKind kind, std::uint32_t id, std::string_view channel,
                             std::size_t payloadSize) {
    ByteBuffer out;
    out.reserve(kFrameLengthFieldSize + kFrameFixedSize + channel.size());
    appendFrameHeader(out, kind, id, channel, payloadSize);
    return out;
}

ByteBuffer encodeFrame(FrameKind kind, std::uint32_t id, std::string_view channel,
                       ByteView payload) {
    ByteBuffer out = encodeFrameHeader(kind, id, channel, payload.size());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Result<std::uint32_t, std::string> parseFrameLength(ByteView lengthField) {
    assert(lengthField.size() == kFrameLengthFieldSize);
    const std::uint32_t length = getU32(lengthField.data());
    if (length < kFrameFixedSize) {
        return std::string("frame shorter than its fixed fields");
    }
    if (length > kMaxFrameLength) {
        return "frame of " + std::to_string(length) + " bytes exceeds the limit";
    }
    return length;
}

Result<FrameView, std::string> parseFrameBody(ByteView body) {
    if (body.size() < kFrameFixedSize) {
        return std::string("frame shorter than its fixed fields");
    }
    const std::uint8_t kind = body[0];
    if (kind < static_cast<std::uint8_t>(FrameKind::call) ||
        kind > static_cast<std::uint8_t>(FrameKind::listen)) {
        return "unknown frame kind " + std::to_string(kind);
    }
    const std::uint32_t id = getU32(body.data() + 1);
    const std::size_t nameLength = getU16(body.data() + 5);
    if (nameLength > kMaxChannelNameLength || nameLength > body.size() - kFrameFixedSize) {
        return std::string("channel name longer than the frame allows");
    }
    FrameView frame{
        static_cast<FrameKind>(kind), id,
        std::string_view(reinterpret_cast<const char*>(body.data()) + kFrameFixedSize, nameLength),
        body.subspan(kFrameFixedSize + nameLength)};
    const bool named = frame.kind != FrameKind::reply;
    if (named && frame.channel.empty()) {
        return std::string("frame without a channel name");
    }
    if (!named && !frame.channel.empty()) {
        return std::string("reply frame with a channel name");
    }
    if (frame.kind == FrameKind::listen && !frame.payload.empty()) {
        return std::string("listen frame with a payload");
    }
    return frame;
}

}  // namespace kestralune
