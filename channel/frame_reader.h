#pragma once

#include "channel/channel_frame.h"
#include "channel/result.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace kestralune {

// Cuts one byte stream into frames (channel_frame.h), whatever sizes its reads come in. The
// buffer grows with the bytes that have arrived, never ahead of them: a length field that
// claims 16 MiB costs nothing until the bytes come, and growth stops at the frame's size.
// Once the frames in it have been taken, a buffer grown past its first size is given back.
//
// Use: read into space(), report the count with received(), then take frames with next()
// until it gives none; only then call space() again. A frame's view stays valid until the
// next call of space(). No I/O: the socket ends of both sides share it.
class FrameReader {
  public:
    static constexpr std::size_t kInitialCapacity = 4096;

    FrameReader() = default;
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;

    // The room for the next read, at least one byte.
    std::span<std::uint8_t> space();
    void received(std::size_t count);
    // The next complete frame; nullopt until more bytes arrive. A malformed frame is an error
    // after which the stream cannot be read on.
    Result<std::optional<FrameView>, std::string> next();

    // Bytes held: the buffer's size, and what space() will make it.
    std::size_t capacity() const { return buffer.size(); }
    std::size_t capacityForNextRead() const;
    // Whether the bytes of an unfinished frame are waiting for the rest.
    bool holdsPartialFrame() const { return end > start; }

  private:
    ByteBuffer buffer;
    std::size_t start = 0;  // first byte not yet taken
    std::size_t end = 0;    // one past the last byte received
};

}  // namespace kestralune
