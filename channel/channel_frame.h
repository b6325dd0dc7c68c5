#pragma once

#include "channel/result.h"
#include "channel/standard_codec.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The frames of the channel socket (docs/channel-protocol.md has the full description).
// Pure functions: no I/O, so every check here is tested without sockets.
//
//   u32 LE  length of everything after this field (at most kMaxFrameLength)
//   u8      kind (FrameKind)
//   u32 LE  id
//   u16 LE  channel name length, then the name's bytes
//   ...     payload: standard method codec bytes (the rest of the frame)
namespace kestralune {

enum class FrameKind : std::uint8_t {
    // Client to host: a method call; the host answers with a reply of the same id.
    call = 1,
    // Host to client: the reply envelope for call `id` (empty payload: not implemented), or
    // the acknowledgement of listen `id` (empty payload). The channel name is empty.
    reply = 2,
    // Host to client: a call the host makes on the UI, sent to every client listening on the
    // channel. No reply is expected; the id is 0.
    outgoingCall = 3,
    // Client to host: subscribe this connection to the host's outgoing calls on the channel.
    // Empty payload; acknowledged with a reply of the same id.
    listen = 4,
};

inline constexpr std::size_t kFrameLengthFieldSize = 4;
// kind + id + channel name length.
inline constexpr std::size_t kFrameFixedSize = 7;
inline constexpr std::uint32_t kMaxFrameLength = 16u * 1024 * 1024;
inline constexpr std::size_t kMaxChannelNameLength = 1024;

struct FrameView {
    FrameKind kind;
    std::uint32_t id;
    std::string_view channel;
    ByteView payload;
};

// The bytes before the payload: length field, kind, id and channel name. Sending these and
// then the payload as a second buffer avoids copying the payload.
ByteBuffer encodeFrameHeader(FrameKind kind, std::uint32_t id, std::string_view channel,
                             std::size_t payloadSize);
// The same, appended to `out`, so a buffer kept for the purpose saves the allocation.
void appendFrameHeader(ByteBuffer& out, FrameKind kind, std::uint32_t id, std::string_view channel,
                       std::size_t payloadSize);
// A whole frame in one buffer.
ByteBuffer encodeFrame(FrameKind kind, std::uint32_t id, std::string_view channel,
                       ByteView payload);

// Reads the length field; a length below the fixed part or above kMaxFrameLength is refused
// before anything is allocated for the frame.
Result<std::uint32_t, std::string> parseFrameLength(ByteView lengthField);
// Reads the frame after its length field. The view points into `body`.
Result<FrameView, std::string> parseFrameBody(ByteView body);

}  // namespace kestralune
