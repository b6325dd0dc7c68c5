// Feeds arbitrary bytes to every decoder of the channel layer. Whatever decodes must encode
// again and decode to the same thing; nothing may crash, hang or allocate past the input.
#include "channel/channel_frame.h"
#include "channel/standard_codec.h"

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
    if (size >= kFrameLengthFieldSize) {
        (void)parseFrameLength(bytes.first(kFrameLengthFieldSize));
        if (auto frame = parseFrameBody(bytes.subspan(kFrameLengthFieldSize))) {
            (void)decodeMethodCall(frame->payload);
        }
    }
    return 0;
}
