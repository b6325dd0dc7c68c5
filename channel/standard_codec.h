#pragma once

#include "channel/encodable_value.h"
#include "channel/method_call.h"
#include "channel/method_result.h"
#include "channel/result.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Flutter's standard message codec and standard method codec, byte for byte.
//
// Every value is a type byte followed by its content, little-endian:
//   0 null, 1 true, 2 false, 3 int32, 4 int64, 6 float64, 7 string (UTF-8),
//   8 uint8 list, 9 int32 list, 10 int64 list, 11 float64 list, 12 list, 13 map,
//   14 float32 list.
// Sizes (string bytes, element and entry counts) use one byte below 254, else 254 and a
// uint16, else 255 and a uint32. A float64 and the elements of the int32, int64, float32 and
// float64 lists start on a multiple of their width (4 or 8), counted from the first byte of
// the message, with zero padding before them.
//
// Integers keep the width they are held in: an int32_t is written as type 3 and an int64_t
// as type 4 whatever its magnitude, as Flutter's C++ wrapper does. (Dart picks the width by
// magnitude; both ends decode either width, so readers should accept both, see
// EncodableValue::holdsInteger.)
//
// Decoding never trusts the input: a truncated value, an unknown type byte, a size larger
// than the bytes that remain, nesting deeper than kMaxDecodeDepth or bytes left over after
// a complete message give a DecodeError. Nothing is reserved before the input is known to
// hold it.
namespace kestralune {

using ByteBuffer = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

struct DecodeError {
    std::string message;
    // Where in the input the problem was found.
    std::size_t offset = 0;
};

template <class T>
using DecodeResult = Result<T, DecodeError>;

// Lists and maps nested deeper than this are refused rather than risking the stack.
inline constexpr std::size_t kMaxDecodeDepth = 256;

// Appends the encoding of `value` to `out`. Alignment counts from `out[base]`, the first
// byte of the message being built, so a message can be written after a frame header.
void writeStandardValue(ByteBuffer& out, const EncodableValue& value, std::size_t base = 0);

// The standard message codec.
ByteBuffer encodeMessage(const EncodableValue& value);
// An empty message decodes to null, as Flutter treats a missing message.
DecodeResult<EncodableValue> decodeMessage(ByteView bytes);

// The standard method codec. A call is the method name (a string value) followed by the
// arguments (one value, null when there are none).
ByteBuffer encodeMethodCall(const MethodCall& call);
// The same, appended to `out`, so a buffer kept for the purpose saves the allocation.
// Alignment counts from where the call starts.
void writeMethodCall(ByteBuffer& out, const MethodCall& call);
DecodeResult<MethodCall> decodeMethodCall(ByteView bytes);

// Reply envelopes. Success: byte 0, then the value. Error: byte 1, then the code (string),
// the message (string, or null when empty) and the details (any value).
ByteBuffer encodeSuccessEnvelope(const EncodableValue& value = {});
ByteBuffer encodeErrorEnvelope(std::string_view code, std::string_view message = {},
                               const EncodableValue& details = {});
// The envelope for any reply; not-implemented is the empty reply.
ByteBuffer encodeReply(const MethodReply& reply);
// Decodes a reply as a caller receives it: empty bytes mean not implemented (no handler, or
// the handler said so). An error envelope may carry a fourth value, a stack trace string or
// null, as Flutter's Android and Dart sides send; it is accepted and dropped.
DecodeResult<MethodReply> decodeReply(ByteView bytes);

}  // namespace kestralune
