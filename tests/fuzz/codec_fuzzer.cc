// Feeds arbitrary bytes to every decoder of the channel layer. Whatever decodes must encode
// again and decode to the same thing; nothing may crash, hang or allocate past the input. The
// frame reader gets the bytes in pieces whose sizes the input's first byte picks, and must never
// hold more than twice what has arrived.
#include "channel/channel_frame.h"
#include "channel/frame_reader.h"
#include "channel/standard_codec.h"

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace kestralune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView bytes(data, size);

    if (auto value = decodeMessage(bytes)) {
        auto again = decodeMessage(encodeMessage(*value));
        if (!again || !(*again == *value)) {
            std::abort();
        }
    }
    if (auto call = decodeMethodCall(bytes)) {
        auto again = decodeMethodCall(encodeMethodCall(*call));
        if (!again || !(*again == *call)) {
            std::abort();
        }
    }
    if (auto reply = decodeReply(bytes)) {
        auto again = decodeReply(encodeReply(*reply));
        if (!again || !(*again == *reply)) {
            std::abort();
        }
    }
    FrameReader reader;
    const std::size_t piece = size > 0 ? data[0] % 64 + 1 : 1;
    for (std::size_t at = 0; at < size;) {
        const auto space = reader.space();
        const std::size_t count = std::min({piece, space.size(), size - at});
        std::copy_n(data + at, count, space.begin());
        reader.received(count);
        at += count;
        if (reader.capacity() > std::max(FrameReader::kInitialCapacity, 2 * at)) {
            std::abort();
        }
        auto frame = reader.next();
        while (frame && *frame) {
            frame = reader.next();
        }
        if (!frame) {
            break;
        }
    }
    if (size >= kFrameLengthFieldSize) {
        (void)parseFrameLength(bytes.first(kFrameLengthFieldSize));
        if (auto frame = parseFrameBody(bytes.subspan(kFrameLengthFieldSize))) {
            (void)decodeMethodCall(frame->payload);
        }
    }
    return 0;
}
