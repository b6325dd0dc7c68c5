#include "channel/standard_codec.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace kestralune {

static_assert(std::endian::native == std::endian::little,
              "the codec copies numbers in host order, which must be little-endian");

namespace {

enum Tag : std::uint8_t {
    kTagNull = 0,
    kTagTrue = 1,
    kTagFalse = 2,
    kTagInt32 = 3,
    kTagInt64 = 4,
    // Written by very old Flutter versions for big integers as decimal text. Flutter's C++
    // wrapper still reads it as a string, so this reader does too; it is never written.
    kTagLargeInt = 5,
    kTagFloat64 = 6,
    kTagString = 7,
    kTagUint8List = 8,
    kTagInt32List = 9,
    kTagInt64List = 10,
    kTagFloat64List = 11,
    kTagList = 12,
    kTagMap = 13,
    kTagFloat32List = 14,
};

constexpr std::uint8_t kEnvelopeSuccess = 0;
constexpr std::uint8_t kEnvelopeError = 1;

// Room reserved for a new message: most calls and replies fit, so growth copies are rare.
constexpr std::size_t kTypicalMessageSize = 64;

class Writer {
  public:
    Writer(ByteBuffer& out, std::size_t base) : out(out), base(base) {}

    void byte(std::uint8_t b) { out.push_back(b); }

    template <class T>
    void raw(const T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
        out.insert(out.end(), p, p + sizeof(T));
    }

    void size(std::size_t n) {
        assert(n <= std::numeric_limits<std::uint32_t>::max());
        if (n < 254) {
            byte(static_cast<std::uint8_t>(n));
        } else if (n <= 0xffff) {
            byte(254);
            raw(static_cast<std::uint16_t>(n));
        } else {
            byte(255);
            raw(static_cast<std::uint32_t>(n));
        }
    }

    void align(std::size_t alignment) {
        while ((out.size() - base) % alignment != 0) {
            out.push_back(0);
        }
    }

    template <class T>
    void typedList(std::uint8_t tag, const std::vector<T>& values) {
        byte(tag);
        size(values.size());
        if constexpr (sizeof(T) > 1) {
            align(sizeof(T));
        }
        if (!values.empty()) {
            const auto* p = reinterpret_cast<const std::uint8_t*>(values.data());
            out.insert(out.end(), p, p + values.size() * sizeof(T));
        }
    }

    void value(const EncodableValue& v) {
        std::visit([this](const auto& content) { write(content); }, v.variant());
    }

    void string(std::string_view s) {
        byte(kTagString);
        size(s.size());
        const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
        out.insert(out.end(), p, p + s.size());
    }

  private:
    void write(std::monostate) { byte(kTagNull); }
    void write(bool b) { byte(b ? kTagTrue : kTagFalse); }
    void write(std::int32_t i) {
        byte(kTagInt32);
        raw(i);
    }
    void write(std::int64_t i) {
        byte(kTagInt64);
        raw(i);
    }
    void write(double d) {
        byte(kTagFloat64);
        align(8);
        raw(d);
    }
    void write(const std::string& s) { string(s); }
    void write(const std::vector<std::uint8_t>& l) { typedList(kTagUint8List, l); }
    void write(const std::vector<std::int32_t>& l) { typedList(kTagInt32List, l); }
    void write(const std::vector<std::int64_t>& l) { typedList(kTagInt64List, l); }
    void write(const std::vector<double>& l) { typedList(kTagFloat64List, l); }
    void write(const std::vector<float>& l) { typedList(kTagFloat32List, l); }
    void write(const EncodableList& l) {
        byte(kTagList);
        size(l.size());
        for (const auto& element : l) {
            value(element);
        }
    }
    void write(const EncodableMap& m) {
        byte(kTagMap);
        size(m.size());
        for (const auto& [key, element] : m) {
            value(key);
            value(element);
        }
    }

    ByteBuffer& out;
    std::size_t base;
};

// Reads values from a byte range. Every read checks the bytes that remain first; the first
// failure is kept and later reads fail at once, so callers check once at the end of a step.
class Reader {
  public:
    explicit Reader(ByteView bytes) : bytes(bytes) {}

    bool failed() const { return failure.has_value(); }
    std::size_t remaining() const { return bytes.size() - position; }
    bool atEnd() const { return position == bytes.size(); }
    DecodeError takeError() { return std::move(*failure); }

    DecodeError errorHere(std::string message) const { return {std::move(message), position}; }

    bool fail(std::string message) {
        if (!failure) {
            failure = DecodeError{std::move(message), position};
        }
        return false;
    }

    bool byte(std::uint8_t& b) {
        if (failed() || remaining() < 1) {
            return fail("unexpected end of data");
        }
        b = bytes[position++];
        return true;
    }

    template <class T>
    bool raw(T& value) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (failed() || remaining() < sizeof(T)) {
            return fail("unexpected end of data");
        }
        std::memcpy(&value, bytes.data() + position, sizeof(T));
        position += sizeof(T);
        return true;
    }

    bool size(std::size_t& n) {
        std::uint8_t first = 0;
        if (!byte(first)) {
            return false;
        }
        if (first < 254) {
            n = first;
        } else if (first == 254) {
            std::uint16_t wide = 0;
            if (!raw(wide)) {
                return false;
            }
            n = wide;
        } else {
            std::uint32_t wide = 0;
            if (!raw(wide)) {
                return false;
            }
            n = wide;
        }
        return true;
    }

    bool align(std::size_t alignment) {
        const std::size_t padding = (alignment - position % alignment) % alignment;
        if (failed() || remaining() < padding) {
            return fail("unexpected end of data in alignment padding");
        }
        position += padding;
        return true;
    }

    template <class T>
    bool typedList(EncodableValue& out) {
        std::size_t count = 0;
        if (!size(count)) {
            return false;
        }
        if constexpr (sizeof(T) > 1) {
            if (!align(sizeof(T))) {
                return false;
            }
        }
        if (count > remaining() / sizeof(T)) {
            return fail("typed list longer than the remaining data");
        }
        std::vector<T> values(count);
        if (count > 0) {
            std::memcpy(values.data(), bytes.data() + position, count * sizeof(T));
        }
        position += count * sizeof(T);
        out = std::move(values);
        return true;
    }

    bool value(EncodableValue& out, std::size_t depth) {
        const std::size_t start = position;
        std::uint8_t tag = 0;
        if (!byte(tag)) {
            return false;
        }
        switch (tag) {
            case kTagNull:
                out = EncodableValue();
                return true;
            case kTagTrue:
                out = true;
                return true;
            case kTagFalse:
                out = false;
                return true;
            case kTagInt32: {
                std::int32_t i = 0;
                if (!raw(i)) {
                    return false;
                }
                out = i;
                return true;
            }
            case kTagInt64: {
                std::int64_t i = 0;
                if (!raw(i)) {
                    return false;
                }
                out = i;
                return true;
            }
            case kTagFloat64: {
                double d = 0;
                if (!align(8) || !raw(d)) {
                    return false;
                }
                out = d;
                return true;
            }
            case kTagLargeInt:
            case kTagString: {
                std::string text;
                if (!stringContent(text)) {
                    return false;
                }
                out = std::move(text);
                return true;
            }
            case kTagUint8List:
                return typedList<std::uint8_t>(out);
            case kTagInt32List:
                return typedList<std::int32_t>(out);
            case kTagInt64List:
                return typedList<std::int64_t>(out);
            case kTagFloat64List:
                return typedList<double>(out);
            case kTagFloat32List:
                return typedList<float>(out);
            case kTagList: {
                if (depth >= kMaxDecodeDepth) {
                    return fail("values nested too deeply");
                }
                std::size_t count = 0;
                if (!size(count)) {
                    return false;
                }
                // Every element takes at least its type byte.
                if (count > remaining()) {
                    return fail("list longer than the remaining data");
                }
                EncodableList list;
                list.reserve(count);
                for (std::size_t i = 0; i < count; ++i) {
                    if (!value(list.emplace_back(), depth + 1)) {
                        return false;
                    }
                }
                out = std::move(list);
                return true;
            }
            case kTagMap: {
                if (depth >= kMaxDecodeDepth) {
                    return fail("values nested too deeply");
                }
                std::size_t count = 0;
                if (!size(count)) {
                    return false;
                }
                if (count > remaining() / 2) {
                    return fail("map longer than the remaining data");
                }
                EncodableMap map;
                for (std::size_t i = 0; i < count; ++i) {
                    EncodableValue key;
                    EncodableValue element;
                    if (!value(key, depth + 1) || !value(element, depth + 1)) {
                        return false;
                    }
                    // A repeated key keeps its last value, as a map literal would.
                    map.insert_or_assign(std::move(key), std::move(element));
                }
                out = std::move(map);
                return true;
            }
            default:
                position = start;
                return fail("unknown type byte " + std::to_string(tag));
        }
    }

    bool value(EncodableValue& out) { return value(out, 0); }

    // A string value straight into `out`; anything else is an error.
    bool string(std::string& out) {
        std::uint8_t tag = 0;
        if (!byte(tag)) {
            return false;
        }
        if (tag != kTagString && tag != kTagLargeInt) {
            return fail("method name is not a string");
        }
        return stringContent(out);
    }

  private:
    bool stringContent(std::string& out) {
        std::size_t length = 0;
        if (!size(length)) {
            return false;
        }
        if (length > remaining()) {
            return fail("string longer than the remaining data");
        }
        out.assign(reinterpret_cast<const char*>(bytes.data() + position), length);
        position += length;
        return true;
    }

    ByteView bytes;
    std::size_t position = 0;
    std::optional<DecodeError> failure;
};

template <class T>
DecodeResult<T> finish(Reader& reader, T value) {
    if (reader.failed()) {
        return reader.takeError();
    }
    if (!reader.atEnd()) {
        return reader.errorHere("unexpected data after the end of the message");
    }
    return value;
}

}  // namespace

void writeStandardValue(ByteBuffer& out, const EncodableValue& value, std::size_t base) {
    assert(base <= out.size());
    Writer(out, base).value(value);
}

ByteBuffer encodeMessage(const EncodableValue& value) {
    ByteBuffer out;
    writeStandardValue(out, value);
    return out;
}

DecodeResult<EncodableValue> decodeMessage(ByteView bytes) {
    if (bytes.empty()) {
        return EncodableValue();
    }
    Reader reader(bytes);
    EncodableValue value;
    reader.value(value);
    return finish(reader, std::move(value));
}

ByteBuffer encodeMethodCall(const MethodCall& call) {
    ByteBuffer out;
    out.reserve(kTypicalMessageSize + call.method.size());
    writeMethodCall(out, call);
    return out;
}

void writeMethodCall(ByteBuffer& out, const MethodCall& call) {
    Writer writer(out, out.size());
    writer.string(call.method);
    writer.value(call.arguments);
}

DecodeResult<MethodCall> decodeMethodCall(ByteView bytes) {
    Reader reader(bytes);
    MethodCall call;
    if (!reader.string(call.method)) {
        return reader.takeError();
    }
    reader.value(call.arguments);
    return finish(reader, std::move(call));
}

ByteBuffer encodeSuccessEnvelope(const EncodableValue& value) {
    ByteBuffer out;
    out.reserve(kTypicalMessageSize);
    out.push_back(kEnvelopeSuccess);
    Writer(out, 0).value(value);
    return out;
}

ByteBuffer encodeErrorEnvelope(std::string_view code, std::string_view message,
                               const EncodableValue& details) {
    ByteBuffer out;
    out.reserve(kTypicalMessageSize + code.size() + message.size());
    out.push_back(kEnvelopeError);
    Writer writer(out, 0);
    writer.string(code);
    if (message.empty()) {
        writer.value(EncodableValue());
    } else {
        writer.string(message);
    }
    writer.value(details);
    return out;
}

ByteBuffer encodeReply(const MethodReply& reply) {
    if (const auto* success = std::get_if<MethodSuccess>(&reply)) {
        return encodeSuccessEnvelope(success->value);
    }
    if (const auto* error = std::get_if<MethodError>(&reply)) {
        return encodeErrorEnvelope(error->code, error->message, error->details);
    }
    return {};
}

DecodeResult<MethodReply> decodeReply(ByteView bytes) {
    if (bytes.empty()) {
        return MethodReply(MethodNotImplemented{});
    }
    Reader reader(bytes);
    std::uint8_t flag = 0;
    reader.byte(flag);
    if (flag == kEnvelopeSuccess) {
        EncodableValue value;
        reader.value(value);
        return finish(reader, MethodReply(MethodSuccess{std::move(value)}));
    }
    if (flag != kEnvelopeError) {
        return DecodeError{"unknown envelope byte " + std::to_string(flag), 0};
    }
    EncodableValue code;
    EncodableValue message;
    EncodableValue details;
    if (!reader.value(code) || !reader.value(message) || !reader.value(details)) {
        return reader.takeError();
    }
    if (!reader.atEnd()) {
        EncodableValue stackTrace;
        if (!reader.value(stackTrace)) {
            return reader.takeError();
        }
        if (!stackTrace.isNull() && !stackTrace.is<std::string>()) {
            return DecodeError{"error stack trace is not a string", 0};
        }
    }
    if (!code.is<std::string>()) {
        return DecodeError{"error code is not a string", 1};
    }
    if (!message.isNull() && !message.is<std::string>()) {
        return DecodeError{"error message is neither a string nor null", 0};
    }
    MethodError error{std::move(*code.getIf<std::string>()),
                      message.isNull() ? std::string() : std::move(*message.getIf<std::string>()),
                      std::move(details)};
    return finish(reader, MethodReply(std::move(error)));
}

}  // namespace kestralune
