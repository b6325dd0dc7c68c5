#include "channel/frame_reader.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace kestralune {

std::size_t FrameReader::capacityForNextRead() const {
    const std::size_t held = end - start;
    if (held == 0) {
        return kInitialCapacity;
    }
    if (held < buffer.size()) {
        // A large buffer is given back as soon as what it holds fits the first size.
        return held <= kInitialCapacity ? kInitialCapacity : buffer.size();
    }
    // Full of one unfinished frame, whose length field next() has already accepted.
    std::uint32_t length = 0;
    for (std::size_t i = kFrameLengthFieldSize; i > 0; --i) {
        length = length << 8 | buffer[start + i - 1];
    }
    return std::min(kFrameLengthFieldSize + length, 2 * buffer.size());
}

std::span<std::uint8_t> FrameReader::space() {
    const std::size_t capacity = capacityForNextRead();
    if (start > 0) {
        std::memmove(buffer.data(), buffer.data() + start, end - start);
        end -= start;
        start = 0;
    }
    if (capacity != buffer.size()) {
        // Sized exactly, so capacity() is what the buffer really holds.
        ByteBuffer resized(capacity);
        if (end > 0) {
            std::memcpy(resized.data(), buffer.data(), end);
        }
        buffer.swap(resized);
    }
    return std::span(buffer).subspan(end);
}

void FrameReader::received(std::size_t count) {
    assert(count <= buffer.size() - end);
    end += count;
}

Result<std::optional<FrameView>, std::string> FrameReader::next() {
    const ByteView held = ByteView(buffer).subspan(start, end - start);
    if (held.size() < kFrameLengthFieldSize) {
        return std::optional<FrameView>();
    }
    auto length = parseFrameLength(held.first(kFrameLengthFieldSize));
    if (!length) {
        return length.error();
    }
    if (held.size() - kFrameLengthFieldSize < *length) {
        return std::optional<FrameView>();
    }
    auto frame = parseFrameBody(held.subspan(kFrameLengthFieldSize, *length));
    if (!frame) {
        return frame.error();
    }
    start += kFrameLengthFieldSize + *length;
    return std::optional<FrameView>(*frame);
}

}  // namespace kestralune
