#pragma once

#include "channel/encodable_value.h"
#include "channel/result.h"

#include <nlohmann/json.hpp>

#include <string>

// How kestralunectl (and tests) write codec values as JSON; docs/channel-protocol.md has the
// table.
//
// JSON to value: null, true/false, strings as themselves; an integer becomes an int32 when
// it fits, else an int64 (an integer beyond the int64 range is an error); any other number a
// double; an array a list; an object a map with string keys. Nesting deeper than
// kMaxDecodeDepth is an error, as in the codec.
//
// Value to JSON: the reverse; int32 and int64 become integers, doubles numbers (NaN and the
// infinities, which JSON cannot write, become null); the typed lists become arrays of
// numbers; a map becomes an object, a non-string key written as its own JSON text (the key 1
// becomes "1", the key [1,2] becomes "[1,2]"). When two keys give the same text, the string
// key wins.
namespace kestralune {

[[nodiscard]] Result<EncodableValue, std::string> encodableFromJson(const nlohmann::json& json);
nlohmann::json jsonFromEncodable(const EncodableValue& value);

// Parses JSON text and maps it; the error names the parse failure.
[[nodiscard]] Result<EncodableValue, std::string> encodableFromJsonText(const std::string& text);
// One line of compact JSON. Bytes that are not UTF-8 inside strings become U+FFFD.
std::string jsonText(const EncodableValue& value);

}  // namespace kestralune
