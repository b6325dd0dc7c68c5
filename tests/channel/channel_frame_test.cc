#include "channel/channel_frame.h"

#include "tests/channel/byte_literals.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestralune {
namespace {

// The documented layout, byte for byte; a field in the wrong order or byte order breaks it.
TEST(ChannelFrameTest, EncodesTheDocumentedLayout) {
    const ByteBuffer payload{0xaa, 0xbb};
    EXPECT_EQ(
        encodeFrame(FrameKind::call, 0x01020304, "ch", payload),
        bytes({0x0b, 0, 0, 0, 0x01, 0x04, 0x03, 0x02, 0x01, 0x02, 0x00, 'c', 'h', 0xaa, 0xbb}));
    EXPECT_EQ(encodeFrame(FrameKind::reply, 7, {}, {}),
              bytes({0x07, 0, 0, 0, 0x02, 0x07, 0, 0, 0, 0x00, 0x00}));
    const ByteBuffer header = encodeFrameHeader(FrameKind::outgoingCall, 0, "ch", 2);
    ByteBuffer joined = header;
    joined.insert(joined.end(), payload.begin(), payload.end());
    EXPECT_EQ(joined, encodeFrame(FrameKind::outgoingCall, 0, "ch", payload));
}

// What was written must parse back to the same fields.
TEST(ChannelFrameTest, ParsesWhatItEncodes) {
    const ByteBuffer payload = {1, 2, 3};
    const ByteBuffer frame = encodeFrame(FrameKind::call, 42, "orrindale/blocking", payload);
    auto length = parseFrameLength(ByteView(frame.data(), kFrameLengthFieldSize));
    ASSERT_TRUE(length);
    EXPECT_EQ(*length, frame.size() - kFrameLengthFieldSize);
    auto parsed = parseFrameBody(ByteView(frame).subspan(kFrameLengthFieldSize));
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->kind, FrameKind::call);
    EXPECT_EQ(parsed->id, 42u);
    EXPECT_EQ(parsed->channel, "orrindale/blocking");
    EXPECT_EQ(ByteBuffer(parsed->payload.begin(), parsed->payload.end()), payload);
}

// A length check that allocated first, or let a too-short frame through, breaks these rows.
TEST(ChannelFrameTest, RefusesLengthsOutsideTheLimits) {
    struct Row {
        std::uint32_t length;
        bool accepted;
    };
    const std::vector<Row> rows = {
        {0, false},
        {6, false},
        {7, true},
        {kMaxFrameLength, true},
        {kMaxFrameLength + 1, false},
        {0xffffffff, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        const ByteBuffer field = bytes(
            {static_cast<int>(row.length & 0xff), static_cast<int>((row.length >> 8) & 0xff),
             static_cast<int>((row.length >> 16) & 0xff), static_cast<int>(row.length >> 24)});
        EXPECT_EQ(static_cast<bool>(parseFrameLength(field)), row.accepted);
    }
}

// Each body is malformed in one way; accepting any of them would let a client confuse the
// host about kinds, names or payloads.
TEST(ChannelFrameTest, RefusesMalformedBodies) {
    struct Row {
        const char* name;
        ByteBuffer body;
    };
    const std::vector<Row> rows = {
        {"too short", bytes({0x01, 0, 0, 0})},
        {"kind zero", bytes({0x00, 1, 0, 0, 0, 1, 0, 'c'})},
        {"unknown kind", bytes({0x05, 1, 0, 0, 0, 1, 0, 'c'})},
        {"name longer than the frame", bytes({0x01, 1, 0, 0, 0, 9, 0, 'c'})},
        {"name over the limit",
         [] {
             ByteBuffer b = bytes({0x01, 1, 0, 0, 0, 0x01, 0x04});  // 1025
             b.resize(b.size() + 1025, 'x');
             return b;
         }()},
        {"call without a name", bytes({0x01, 1, 0, 0, 0, 0, 0, 0x00})},
        {"listen without a name", bytes({0x04, 1, 0, 0, 0, 0, 0})},
        {"reply with a name", bytes({0x02, 1, 0, 0, 0, 1, 0, 'c'})},
        {"listen with a payload", bytes({0x04, 1, 0, 0, 0, 1, 0, 'c', 0x00})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_FALSE(parseFrameBody(row.body));
    }
}

}  // namespace
}  // namespace kestralune
