#include "channel/standard_codec.h"

#include "tests/channel/byte_literals.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

namespace kestralune {
namespace {

ByteBuffer concat(ByteBuffer a, const ByteBuffer& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct GoldenRow {
    const char* name;
    EncodableValue value;
    ByteBuffer encoded;
};

// Each row was worked out by hand from the wire format; a wrong tag, size prefix, byte order
// or padding rule breaks the row.
TEST(StandardCodecTest, EncodesEveryTypeToItsGoldenBytes) {
    const std::vector<GoldenRow> rows = {
        {"null", EncodableValue(), bytes({0x00})},
        {"true", EncodableValue(true), bytes({0x01})},
        {"false", EncodableValue(false), bytes({0x02})},
        {"int32", EncodableValue(std::int32_t{-2}), bytes({0x03, 0xfe, 0xff, 0xff, 0xff})},
        {"int32 max", EncodableValue(std::numeric_limits<std::int32_t>::max()),
         bytes({0x03, 0xff, 0xff, 0xff, 0x7f})},
        {"int64", EncodableValue(std::int64_t{0x0102030405060708}),
         bytes({0x04, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01})},
        {"small int64 keeps its width", EncodableValue(std::int64_t{5}),
         bytes({0x04, 0x05, 0, 0, 0, 0, 0, 0, 0})},
        {"double", EncodableValue(1.5),
         bytes({0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf8, 0x3f})},
        {"string", EncodableValue("kestrel"),
         bytes({0x07, 0x07, 'k', 'e', 's', 't', 'r', 'e', 'l'})},
        {"non-ASCII string", EncodableValue("\xc3\xa9\xe2\x82\xac"),
         bytes({0x07, 0x05, 0xc3, 0xa9, 0xe2, 0x82, 0xac})},
        {"empty string", EncodableValue(""), bytes({0x07, 0x00})},
        {"uint8 list", EncodableValue(std::vector<std::uint8_t>{1, 2, 255}),
         bytes({0x08, 0x03, 0x01, 0x02, 0xff})},
        {"int32 list", EncodableValue(std::vector<std::int32_t>{1, -1}),
         bytes({0x09, 0x02, 0, 0, 0x01, 0, 0, 0, 0xff, 0xff, 0xff, 0xff})},
        {"int64 list", EncodableValue(std::vector<std::int64_t>{2}),
         bytes({0x0a, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0})},
        {"float64 list", EncodableValue(std::vector<double>{0.5}),
         bytes({0x0b, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xe0, 0x3f})},
        {"float32 list", EncodableValue(std::vector<float>{1.0f, -2.0f}),
         bytes({0x0e, 0x02, 0, 0, 0, 0, 0x80, 0x3f, 0, 0, 0, 0xc0})},
        {"empty int32 list still aligns", EncodableValue(std::vector<std::int32_t>{}),
         bytes({0x09, 0x00, 0, 0})},
        {"empty list", EncodableValue(EncodableList{}), bytes({0x0c, 0x00})},
        {"list", EncodableValue(EncodableList{EncodableValue("a"), EncodableValue(2.0)}),
         bytes({0x0c, 0x02, 0x07, 0x01, 'a', 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40})},
        {"map in key order",
         EncodableValue(EncodableMap{{EncodableValue("b"), EncodableValue()},
                                     {EncodableValue(std::int32_t{1}), EncodableValue(true)}}),
         bytes({0x0d, 0x02, 0x03, 0x01, 0, 0, 0, 0x01, 0x07, 0x01, 'b', 0x00})},
        {"empty map", EncodableValue(EncodableMap{}), bytes({0x0d, 0x00})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(encodeMessage(row.value), row.encoded);
        auto decoded = decodeMessage(row.encoded);
        ASSERT_TRUE(decoded) << decoded.error().message;
        EXPECT_EQ(*decoded, row.value);
        EXPECT_EQ(decoded->index(), row.value.index());
    }
}

// A size prefix switching to the wide form one element too early or too late breaks a row.
TEST(StandardCodecTest, SizePrefixesSwitchFormAt254And65536) {
    struct Row {
        std::size_t size;
        ByteBuffer prefix;
    };
    const std::vector<Row> rows = {
        {253, bytes({0xfd})},
        {254, bytes({0xfe, 0xfe, 0x00})},
        {65535, bytes({0xfe, 0xff, 0xff})},
        {65536, bytes({0xff, 0x00, 0x00, 0x01, 0x00})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.size);
        const std::string text(row.size, 'x');
        const std::vector<std::uint8_t> raw(row.size, 0x7);
        const EncodableList list(row.size, EncodableValue(true));
        const std::vector<std::pair<EncodableValue, ByteBuffer>> cases = {
            {EncodableValue(text),
             concat(concat(bytes({0x07}), row.prefix), ByteBuffer(text.begin(), text.end()))},
            {EncodableValue(raw), concat(concat(bytes({0x08}), row.prefix), raw)},
            {EncodableValue(list),
             concat(concat(bytes({0x0c}), row.prefix), ByteBuffer(row.size, 0x01))},
        };
        for (const auto& [value, expected] : cases) {
            EXPECT_EQ(encodeMessage(value), expected);
            auto decoded = decodeMessage(expected);
            ASSERT_TRUE(decoded) << decoded.error().message;
            EXPECT_EQ(*decoded, value);
        }
    }
}

// Padding counted from the start of the element instead of the message breaks these.
TEST(StandardCodecTest, AlignsFromTheStartOfMethodCallsAndEnvelopes) {
    EXPECT_EQ(encodeMethodCall({"m", EncodableValue(1.5)}),
              bytes({0x07, 0x01, 'm', 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf8, 0x3f}));
    EXPECT_EQ(encodeMethodCall({"ab", EncodableValue(std::vector<std::int32_t>{7})}),
              bytes({0x07, 0x02, 'a', 'b', 0x09, 0x01, 0, 0, 0x07, 0, 0, 0}));
    EXPECT_EQ(encodeSuccessEnvelope(EncodableValue(1.5)),
              bytes({0x00, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf8, 0x3f}));
    EXPECT_EQ(
        encodeErrorEnvelope("c", "", EncodableValue(std::vector<float>{1.0f, 2.0f})),
        bytes({0x01, 0x07, 0x01, 'c', 0x00, 0x0e, 0x02, 0x00, 0, 0, 0x80, 0x3f, 0, 0, 0, 0x40}));

    // Writing after a header counts from the given base.
    ByteBuffer framed = bytes({0xaa, 0xbb, 0xcc});
    writeStandardValue(framed, EncodableValue(1.5), framed.size());
    EXPECT_EQ(framed, concat(bytes({0xaa, 0xbb, 0xcc}), encodeMessage(EncodableValue(1.5))));
}

// A reader that skips padding from the wrong origin would misread these.
TEST(StandardCodecTest, DecodesAlignedValuesInsideCallsAndEnvelopes) {
    auto call =
        decodeMethodCall(encodeMethodCall({"ab", EncodableValue(std::vector<std::int64_t>{-9})}));
    ASSERT_TRUE(call) << call.error().message;
    EXPECT_EQ(call->method, "ab");
    EXPECT_EQ(call->arguments, EncodableValue(std::vector<std::int64_t>{-9}));

    auto reply =
        decodeReply(encodeErrorEnvelope("c", "", EncodableValue(std::vector<float>{1.0f})));
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply, MethodReply(MethodError{"c", "", EncodableValue(std::vector<float>{1.0f})}));
}

// Flutter's C++ wrapper sends an empty error message as null and the success envelope as
// 0 then the value; a mismatch breaks these.
TEST(StandardCodecTest, EnvelopesMatchTheWrapperLayout) {
    EXPECT_EQ(encodeSuccessEnvelope(), bytes({0x00, 0x00}));
    EXPECT_EQ(encodeSuccessEnvelope(EncodableValue(std::int32_t{3})),
              bytes({0x00, 0x03, 0x03, 0, 0, 0}));
    EXPECT_EQ(encodeErrorEnvelope("e"), bytes({0x01, 0x07, 0x01, 'e', 0x00, 0x00}));
    EXPECT_EQ(encodeErrorEnvelope("e", "m", EncodableValue(true)),
              bytes({0x01, 0x07, 0x01, 'e', 0x07, 0x01, 'm', 0x01}));
    EXPECT_TRUE(encodeReply(MethodNotImplemented{}).empty());
}

// Each row is a reply a Flutter peer can send; misreading any of them breaks the row.
TEST(StandardCodecTest, DecodesEveryReplyForm) {
    struct Row {
        const char* name;
        ByteBuffer encoded;
        MethodReply expected;
    };
    const std::vector<Row> rows = {
        {"empty is not implemented", {}, MethodNotImplemented{}},
        {"success null", bytes({0x00, 0x00}), MethodSuccess{}},
        {"success value", bytes({0x00, 0x07, 0x01, 'v'}), MethodSuccess{EncodableValue("v")}},
        {"error with null message", bytes({0x01, 0x07, 0x01, 'e', 0x00, 0x00}),
         MethodError{"e", "", {}}},
        {"error with details", bytes({0x01, 0x07, 0x01, 'e', 0x07, 0x01, 'm', 0x02}),
         MethodError{"e", "m", EncodableValue(false)}},
        {"error with stack trace", bytes({0x01, 0x07, 0x01, 'e', 0x00, 0x00, 0x07, 0x01, 's'}),
         MethodError{"e", "", {}}},
        {"error with null stack trace", bytes({0x01, 0x07, 0x01, 'e', 0x00, 0x00, 0x00}),
         MethodError{"e", "", {}}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto reply = decodeReply(row.encoded);
        ASSERT_TRUE(reply) << reply.error().message;
        EXPECT_EQ(*reply, row.expected);
    }
}

// Values survive encode and decode unchanged, including nesting, non-string keys and the
// typed lists at odd offsets; a reader/writer disagreement breaks this.
TEST(StandardCodecTest, RoundTripsNestedValues) {
    const EncodableValue nested(EncodableMap{
        {EncodableValue("apps"),
         EncodableValue(EncodableList{
             EncodableValue("com.example.a"),
             EncodableValue(EncodableMap{{EncodableValue("id"), EncodableValue("x")}})})},
        {EncodableValue(std::int32_t{7}), EncodableValue(std::vector<double>{1.25, -3})},
        {EncodableValue(std::int64_t{1} << 40), EncodableValue(std::vector<float>{0.5f})},
        {EncodableValue(), EncodableValue(std::vector<std::int64_t>{1, 2, 3})},
        {EncodableValue(false), EncodableValue(std::vector<std::uint8_t>{9})},
        {EncodableValue(2.5),
         EncodableValue(
             EncodableList{EncodableValue(std::vector<std::int32_t>{4}), EncodableValue(0.1)})},
    });
    auto decoded = decodeMessage(encodeMessage(nested));
    ASSERT_TRUE(decoded) << decoded.error().message;
    EXPECT_EQ(*decoded, nested);

    const MethodCall call{"syncConfiguration", nested};
    auto decodedCall = decodeMethodCall(encodeMethodCall(call));
    ASSERT_TRUE(decodedCall) << decodedCall.error().message;
    EXPECT_EQ(*decodedCall, call);

    const MethodReply reply = MethodError{"code", "message", nested};
    auto decodedReply = decodeReply(encodeReply(reply));
    ASSERT_TRUE(decodedReply) << decodedReply.error().message;
    EXPECT_EQ(*decodedReply, reply);
}

// A reader that returns a default for missing bytes (instead of failing) breaks this.
TEST(StandardCodecTest, RejectsEveryTruncationOfAMessage) {
    const EncodableValue value(EncodableList{
        EncodableValue("text"), EncodableValue(3.25), EncodableValue(std::int64_t{-1}),
        EncodableValue(std::vector<std::int32_t>{1, 2}), EncodableValue(std::vector<double>{4}),
        EncodableValue(EncodableMap{{EncodableValue("k"), EncodableValue(std::vector<float>{1})}}),
        EncodableValue(std::string(300, 'z'))});
    const ByteBuffer message = encodeMessage(value);
    for (std::size_t length = 1; length < message.size(); ++length) {
        EXPECT_FALSE(decodeMessage(ByteView(message.data(), length))) << "prefix of " << length;
    }
    const ByteBuffer envelope = encodeErrorEnvelope("code", "message", value);
    for (std::size_t length = 1; length < envelope.size(); ++length) {
        EXPECT_FALSE(decodeReply(ByteView(envelope.data(), length)))
            << "envelope prefix of " << length;
    }
    const ByteBuffer call = encodeMethodCall({"method", value});
    for (std::size_t length = 0; length < call.size(); ++length) {
        EXPECT_FALSE(decodeMethodCall(ByteView(call.data(), length)))
            << "call prefix of " << length;
    }
}

// Each row is hostile input; accepting it, crashing, or reserving memory for the claimed
// size (instead of checking the bytes that remain) fails the row.
TEST(StandardCodecTest, RejectsHostileMessages) {
    struct Row {
        const char* name;
        ByteBuffer encoded;
    };
    const std::vector<Row> rows = {
        {"list claiming 2^32-1 elements", bytes({0x0c, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00})},
        {"map claiming 2^32-1 entries", bytes({0x0d, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00, 0x00})},
        {"string claiming 65535 bytes", bytes({0x07, 0xfe, 0xff, 0xff, 'a', 'b'})},
        {"int64 list whose byte count overflows",
         bytes({0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"float32 list claiming more than it holds", bytes({0x0e, 0x03, 0, 0, 1, 2, 3, 4})},
        {"unknown type byte", bytes({0x0f})},
        {"custom type byte", bytes({0x80, 0x00})},
        {"double without padding room", bytes({0x06, 0, 0})},
        {"size prefix cut short", bytes({0x07, 0xff, 0x01})},
        {"trailing bytes", bytes({0x00, 0x00})},
        {"trailing bytes after a list", bytes({0x0c, 0x01, 0x01, 0x02})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto decoded = decodeMessage(row.encoded);
        EXPECT_FALSE(decoded);
        if (!decoded) {
            EXPECT_FALSE(decoded.error().message.empty());
        }
    }
}

// Recursion without a bound would exhaust the stack on the deep input; an off-by-one bound
// breaks the boundary rows.
TEST(StandardCodecTest, BoundsNestingDepth) {
    auto nestedLists = [](std::size_t depth) {
        ByteBuffer out;
        for (std::size_t i = 0; i < depth; ++i) {
            out.push_back(0x0c);
            out.push_back(0x01);
        }
        out.push_back(0x00);
        return out;
    };
    EXPECT_TRUE(decodeMessage(nestedLists(kMaxDecodeDepth)));
    EXPECT_FALSE(decodeMessage(nestedLists(kMaxDecodeDepth + 1)));
    EXPECT_FALSE(decodeMessage(nestedLists(1'000'000)));

    ByteBuffer nestedMaps;
    for (int i = 0; i < 100'000; ++i) {
        nestedMaps.insert(nestedMaps.end(), {0x0d, 0x01, 0x00});
    }
    nestedMaps.push_back(0x00);
    EXPECT_FALSE(decodeMessage(nestedMaps));
}

// Malformed calls and envelopes must be refused, not half-read.
TEST(StandardCodecTest, RejectsMalformedCallsAndEnvelopes) {
    EXPECT_FALSE(decodeMethodCall(bytes({0x03, 0x01, 0, 0, 0, 0x00})));    // name not a string
    EXPECT_FALSE(decodeMethodCall(bytes({0x07, 0x01, 'm'})));              // arguments missing
    EXPECT_FALSE(decodeMethodCall(bytes({0x07, 0x01, 'm', 0x00, 0x00})));  // trailing bytes
    EXPECT_FALSE(decodeMethodCall({}));

    EXPECT_FALSE(decodeReply(bytes({0x02, 0x00})));                          // unknown flag
    EXPECT_FALSE(decodeReply(bytes({0x00})));                                // value missing
    EXPECT_FALSE(decodeReply(bytes({0x00, 0x00, 0x00})));                    // trailing bytes
    EXPECT_FALSE(decodeReply(bytes({0x01, 0x03, 1, 0, 0, 0, 0x00, 0x00})));  // code not a string
    EXPECT_FALSE(decodeReply(bytes({0x01, 0x07, 0x01, 'e', 0x01, 0x00})));   // message a Boolean
    EXPECT_FALSE(decodeReply(bytes({0x01, 0x07, 0x01, 'e', 0x00})));         // details missing
    EXPECT_FALSE(decodeReply(bytes({0x01, 0x07, 0x01, 'e', 0x00, 0x00, 0x01})));  // trace a Boolean
    EXPECT_FALSE(
        decodeReply(bytes({0x01, 0x07, 0x01, 'e', 0x00, 0x00, 0x00, 0x00})));  // five values
}

// The empty message is null, as Flutter treats a missing message; the retired big-integer
// type is read as text, as Flutter's C++ wrapper does.
TEST(StandardCodecTest, AcceptsFlutterLegacyForms) {
    auto empty = decodeMessage({});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isNull());

    auto legacy = decodeMessage(bytes({0x05, 0x02, '4', '2'}));
    ASSERT_TRUE(legacy);
    EXPECT_EQ(*legacy, EncodableValue("42"));
}

}  // namespace
}  // namespace kestralune
