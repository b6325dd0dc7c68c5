// How values are written: the standard codec and the frames on the socket (golden rows worked
// out by hand from the wire format), frame reassembly, and the JSON of kestralunectl.
#include "channel/channel_frame.h"
#include "channel/frame_reader.h"
#include "channel/json_mapping.h"
#include "channel/standard_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

namespace kestralune {
namespace {

using V = EncodableValue;

// "07 01 61" -> {0x07, 0x01, 0x61}
ByteBuffer h(const std::string& text) {
    std::istringstream in(text);
    ByteBuffer out;
    for (unsigned byte = 0; in >> std::hex >> byte;) {
        out.push_back(static_cast<std::uint8_t>(byte));
    }
    return out;
}

ByteBuffer join(ByteBuffer a, const ByteBuffer& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(StandardCodecTest, ValuesEncodeToTheirGoldenBytesAndBack) {
    const std::vector<std::pair<V, std::string>> rows = {
        {V(), "00"},
        {V(true), "01"},
        {V(false), "02"},
        {V(std::int32_t{-2}), "03 fe ff ff ff"},
        {V(std::numeric_limits<std::int32_t>::max()), "03 ff ff ff 7f"},
        {V(std::int64_t{0x0102030405060708}), "04 08 07 06 05 04 03 02 01"},
        {V(std::int64_t{5}), "04 05 00 00 00 00 00 00 00"},  // keeps its width
        {V(1.5), "06 00 00 00 00 00 00 00 00 00 00 00 00 00 f8 3f"},
        {V("kestrel"), "07 07 6b 65 73 74 72 65 6c"},
        {V("\xc3\xa9\xe2\x82\xac"), "07 05 c3 a9 e2 82 ac"},
        {V(""), "07 00"},
        {V(std::vector<std::uint8_t>{1, 2, 255}), "08 03 01 02 ff"},
        {V(std::vector<std::int32_t>{1, -1}), "09 02 00 00 01 00 00 00 ff ff ff ff"},
        {V(std::vector<std::int64_t>{2}), "0a 01 00 00 00 00 00 00 02 00 00 00 00 00 00 00"},
        {V(std::vector<double>{0.5}), "0b 01 00 00 00 00 00 00 00 00 00 00 00 00 e0 3f"},
        {V(std::vector<float>{1.0f, -2.0f}), "0e 02 00 00 00 00 80 3f 00 00 00 c0"},
        {V(std::vector<std::int32_t>{}), "09 00 00 00"},  // aligned even when empty
        {V(EncodableList{}), "0c 00"},
        {V(EncodableList{V("a"), V(2.0)}), "0c 02 07 01 61 06 00 00 00 00 00 00 00 00 00 40"},
        {V(EncodableMap{{V("b"), V()}, {V(1), V(true)}}), "0d 02 03 01 00 00 00 01 07 01 62 00"},
        {V(EncodableMap{}), "0d 00"},
    };
    for (const auto& [value, encoded] : rows) {
        SCOPED_TRACE(encoded);
        EXPECT_EQ(encodeMessage(value), h(encoded));
        EXPECT_EQ(decodeMessage(h(encoded)).value(), value);  // the width held too
    }
    EXPECT_TRUE(decodeMessage({})->isNull());              // an empty message, as Flutter's
    EXPECT_EQ(*decodeMessage(h("05 02 34 32")), V("42"));  // retired big integer
}

// A size prefix switching to the wide form one element too early or too late breaks a row.
TEST(StandardCodecTest, SizePrefixesSwitchFormAt254And65536) {
    for (const auto& [size, prefix] : std::vector<std::pair<std::size_t, std::string>>{
             {253, "fd"}, {254, "fe fe 00"}, {65535, "fe ff ff"}, {65536, "ff 00 00 01 00"}}) {
        const ByteBuffer expected = join(h("07 " + prefix), ByteBuffer(size, 'x'));
        EXPECT_EQ(encodeMessage(V(std::string(size, 'x'))), expected) << size;
        EXPECT_EQ(*decodeMessage(expected), V(std::string(size, 'x'))) << size;
    }
}

// Calls and replies both ways. Padding counted from the element instead of the message start,
// or an empty error message not sent as null (as Flutter's C++ wrapper does), breaks a row.
TEST(StandardCodecTest, CallsAndRepliesMatchTheirGoldenBytes) {
    const MethodCall call{"m", V(1.5)};
    const ByteBuffer callBytes = h("07 01 6d 06 00 00 00 00 00 00 00 00 00 00 f8 3f");
    EXPECT_EQ(encodeMethodCall(call), callBytes);
    EXPECT_EQ(*decodeMethodCall(callBytes), call);
    ByteBuffer framed = h("aa bb cc");
    writeMethodCall(framed, call);
    EXPECT_EQ(framed, join(h("aa bb cc"), callBytes));

    const std::vector<std::pair<std::string, MethodReply>> rows = {
        {"", MethodNotImplemented{}},
        {"00 00", MethodSuccess{}},
        {"00 03 03 00 00 00", MethodSuccess{V(3)}},
        {"00 06 00 00 00 00 00 00 00 00 00 00 00 00 f8 3f", MethodSuccess{V(1.5)}},
        {"01 07 01 65 00 00", MethodError{"e", "", {}}},
        {"01 07 01 65 07 01 6d 01", MethodError{"e", "m", V(true)}},
        {"01 07 01 63 00 0e 02 00 00 00 80 3f 00 00 00 40",
         MethodError{"c", "", V(std::vector<float>{1.0f, 2.0f})}},
    };
    for (const auto& [encoded, reply] : rows) {
        EXPECT_EQ(encodeReply(reply), h(encoded));
        EXPECT_EQ(decodeReply(h(encoded)).value(), reply) << encoded;
    }
    // A stack trace (text or null), as other Flutter peers send it, is read and dropped.
    EXPECT_EQ(decodeReply(h("01 07 01 65 00 00 07 01 73")).value(), rows[4].second);
    EXPECT_EQ(decodeReply(h("01 07 01 65 00 00 00")).value(), rows[4].second);
}

// Hostile, malformed and truncated input must be refused with a reason: not accepted, not
// half-read, nothing reserved for a size the input does not hold, no recursion without bound.
TEST(StandardCodecTest, RefusesHostileMalformedAndTruncatedInput) {
    auto refused = [](const auto& result) { return !result && !result.error().message.empty(); };
    for (const char* message :
         {"0c ff ff ff ff ff 00", "0d ff ff ff ff ff 00 00", "07 fe ff ff 61 62",
          "0a ff ff ff ff ff 00 00 00 00 00 00 00 00", "0e 03 00 00 01 02 03 04", "0f", "80 00",
          "06 00 00", "07 ff 01", "00 00", "0c 01 01 02"}) {
        EXPECT_TRUE(refused(decodeMessage(h(message)))) << message;
    }
    for (const char* call : {"03 01 00 00 00 00", "07 01 6d", "07 01 6d 00 00", ""}) {
        EXPECT_TRUE(refused(decodeMethodCall(h(call)))) << call;
    }
    for (const char* reply :
         {"02 00", "00", "00 00 00", "01 03 01 00 00 00 00 00", "01 07 01 65 01 00",
          "01 07 01 65 00", "01 07 01 65 00 00 01", "01 07 01 65 00 00 00 00"}) {
        EXPECT_TRUE(refused(decodeReply(h(reply)))) << reply;
    }
    const V value(EncodableList{V("text"), V(3.25), V(std::vector<std::int32_t>{1, 2}),
                                V(EncodableMap{{V("k"), V(std::vector<float>{1})}}),
                                V(std::string(300, 'z'))});
    const ByteBuffer message = encodeMessage(value);
    const ByteBuffer envelope = encodeErrorEnvelope("code", "message", value);
    const ByteBuffer call = encodeMethodCall({"method", value});
    for (std::size_t n = 1; n < envelope.size(); ++n) {
        EXPECT_FALSE(n < message.size() && decodeMessage(ByteView(message).first(n))) << n;
        EXPECT_FALSE(decodeReply(ByteView(envelope).first(n))) << n;
        EXPECT_FALSE(decodeMethodCall(ByteView(call).first(std::min(n - 1, call.size() - 1))));
    }
    ByteBuffer nested;
    for (std::size_t depth = 0; depth <= kMaxDecodeDepth; ++depth) {
        nested.insert(nested.end(), {0x0c, 0x01});
    }
    nested.push_back(0x00);
    EXPECT_FALSE(decodeMessage(nested));
    EXPECT_TRUE(decodeMessage(ByteView(nested).subspan(2)));
}

// The documented frame layout, and every field check; accepting a bad one would let a client
// confuse the host about kinds, names or payloads.
TEST(ChannelFrameTest, EncodesTheLayoutAndRefusesMalformedFrames) {
    EXPECT_EQ(encodeFrame(FrameKind::call, 0x01020304, "ch", h("aa bb")),
              h("0b 00 00 00 01 04 03 02 01 02 00 63 68 aa bb"));
    EXPECT_EQ(encodeFrame(FrameKind::reply, 7, {}, {}), h("07 00 00 00 02 07 00 00 00 00 00"));
    for (const char* length : {"00 00 00 00", "06 00 00 00", "01 00 00 01", "ff ff ff ff"}) {
        EXPECT_FALSE(parseFrameLength(h(length))) << length;
    }
    EXPECT_EQ(*parseFrameLength(h("07 00 00 00")), 7u);
    EXPECT_EQ(*parseFrameLength(h("00 00 00 01")), kMaxFrameLength);
    for (const char* body :
         {"01 00 00 00", "00 01 00 00 00 01 00 63", "05 01 00 00 00 01 00 63",
          "01 01 00 00 00 09 00 63", "01 01 00 00 00 00 00 00", "04 01 00 00 00 00 00",
          "02 01 00 00 00 01 00 63", "04 01 00 00 00 01 00 63 00"}) {
        EXPECT_FALSE(parseFrameBody(h(body))) << body;
    }
    EXPECT_FALSE(parseFrameBody(join(h("01 01 00 00 00 01 04"), ByteBuffer(1025, 'x'))));
}

// Frames arriving in pieces of any size come out whole and in order, and the buffer grows
// only with the bytes that have arrived.
TEST(FrameReaderTest, ReassemblesFramesFromPiecesOfAnySize) {
    const ByteBuffer big(3 * FrameReader::kInitialCapacity, 0x5a);
    const ByteBuffer stream = join(join(encodeFrame(FrameKind::call, 1, "a", h("01 02")),
                                        encodeFrame(FrameKind::listen, 2, "b", {})),
                                   encodeFrame(FrameKind::call, 3, "c", big));
    for (std::size_t piece : {1, 3, 7, 4096, 100000}) {
        FrameReader reader;
        std::vector<std::size_t> payloadSizes;
        for (std::size_t at = 0; at < stream.size();) {
            const auto space = reader.space();
            const std::size_t count = std::min({piece, space.size(), stream.size() - at});
            std::copy_n(stream.begin() + at, count, space.begin());
            reader.received(count);
            at += count;
            EXPECT_LE(reader.capacity(), std::max(FrameReader::kInitialCapacity, 2 * at)) << piece;
            while (auto frame = reader.next().value()) {
                payloadSizes.push_back(frame->id * 100000 + frame->payload.size());
            }
        }
        EXPECT_EQ(payloadSizes, (std::vector<std::size_t>{100002, 200000, 300000 + big.size()}));
        EXPECT_FALSE(reader.holdsPartialFrame());
        EXPECT_EQ(reader.space().size(), FrameReader::kInitialCapacity);  // given back
    }
}

// Each row is JSON text and the value it must become (none: refused with a reason); a wrong
// integer width, a number read as the wrong kind or a missing bound breaks its row.
TEST(JsonMappingTest, MapsJsonToValuesAndBack) {
    const std::vector<std::pair<std::string, std::optional<V>>> rows = {
        {"-2147483648", V(std::int32_t{-2147483647 - 1})},
        {"2147483647", V(std::int32_t{2147483647})},
        {"2147483648", V(std::int64_t{2147483648})},
        {"-2147483649", V(std::int64_t{-2147483649})},
        {"9223372036854775807", V(std::numeric_limits<std::int64_t>::max())},
        {"18446744073709551615", std::nullopt},
        {"1.0", V(1.0)},
        {"1e3", V(1000.0)},
        {"{", std::nullopt},
    };
    for (const auto& [json, expected] : rows) {
        auto value = encodableFromJsonText(json);
        EXPECT_EQ(value ? std::optional(*value) : std::nullopt, expected) << json;
        EXPECT_TRUE(value || !value.error().empty());
    }
    EXPECT_TRUE(encodableFromJsonText(std::string(200, '[') + std::string(200, ']')));
    EXPECT_FALSE(encodableFromJsonText(std::string(300, '[') + std::string(300, ']')));
    // Back to text: typed lists, non-string keys and non-finite numbers are where it goes wrong.
    const std::vector<std::pair<V, std::string>> written = {
        {V(std::int64_t{1} << 40), "1099511627776"},
        {V(std::nan("")), "null"},
        {V(std::numeric_limits<double>::infinity()), "null"},
        {V(std::vector<std::uint8_t>{0, 255}), "[0,255]"},
        {V(std::vector<float>{0.25f}), "[0.25]"},
        {V(std::vector<double>{1.5}), "[1.5]"},
        {V(EncodableMap{{V(1), V("one")}, {V(), V(true)}, {V(EncodableList{V(1)}), V(2)}}),
         R"({"1":"one","[1]":2,"null":true})"},
        {V(EncodableMap{{V(1), V("number")}, {V("1"), V("string")}}), R"({"1":"string"})"},
        {V(std::string("a\xff")), "\"a\xef\xbf\xbd\""},
    };
    for (const auto& [value, json] : written) {
        EXPECT_EQ(jsonText(value), json);
    }
}

}  // namespace
}  // namespace kestralune
