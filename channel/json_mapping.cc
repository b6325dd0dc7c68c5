#include "channel/json_mapping.h"

#include "channel/standard_codec.h"

#include <cmath>
#include <limits>
#include <utility>

namespace kestralune {

namespace {

using Json = nlohmann::json;

Result<EncodableValue, std::string> fromJson(const Json& json, std::size_t depth) {
    switch (json.type()) {
        case Json::value_t::null:
        case Json::value_t::discarded:
            return EncodableValue();
        case Json::value_t::boolean:
            return EncodableValue(json.get<bool>());
        case Json::value_t::number_integer: {
            const auto number = json.get<std::int64_t>();
            if (number >= std::numeric_limits<std::int32_t>::min() &&
                number <= std::numeric_limits<std::int32_t>::max()) {
                return EncodableValue(static_cast<std::int32_t>(number));
            }
            return EncodableValue(number);
        }
        case Json::value_t::number_unsigned: {
            const auto number = json.get<std::uint64_t>();
            if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
                return EncodableValue(static_cast<std::int32_t>(number));
            }
            if (number <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                return EncodableValue(static_cast<std::int64_t>(number));
            }
            return "The integer " + std::to_string(number) + " is beyond the 64-bit range.";
        }
        case Json::value_t::number_float:
            return EncodableValue(json.get<double>());
        case Json::value_t::string:
            return EncodableValue(json.get<std::string>());
        case Json::value_t::binary:
            return EncodableValue(std::vector<std::uint8_t>(json.get_binary()));
        case Json::value_t::array: {
            if (depth >= kMaxDecodeDepth) {
                return std::string("The JSON is nested too deeply.");
            }
            EncodableList list;
            list.reserve(json.size());
            for (const auto& element : json) {
                auto value = fromJson(element, depth + 1);
                if (!value) {
                    return value.error();
                }
                list.push_back(std::move(value).value());
            }
            return EncodableValue(std::move(list));
        }
        case Json::value_t::object: {
            if (depth >= kMaxDecodeDepth) {
                return std::string("The JSON is nested too deeply.");
            }
            EncodableMap map;
            for (const auto& [key, element] : json.items()) {
                auto value = fromJson(element, depth + 1);
                if (!value) {
                    return value.error();
                }
                map.emplace(EncodableValue(key), std::move(value).value());
            }
            return EncodableValue(std::move(map));
        }
    }
    return std::string("Unsupported JSON value.");
}

template <class T>
Json numberArray(const std::vector<T>& values) {
    Json array = Json::array();
    for (const T& value : values) {
        if constexpr (std::is_floating_point_v<T>) {
            array.push_back(std::isfinite(value) ? Json(static_cast<double>(value)) : Json());
        } else {
            array.push_back(value);
        }
    }
    return array;
}

std::string dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

Result<EncodableValue, std::string> encodableFromJson(const nlohmann::json& json) {
    return fromJson(json, 0);
}

nlohmann::json jsonFromEncodable(const EncodableValue& value) {
    return std::visit(
        [](const auto& content) -> Json {
            using T = std::decay_t<decltype(content)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return Json();
            } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::int32_t> ||
                                 std::is_same_v<T, std::int64_t> ||
                                 std::is_same_v<T, std::string>) {
                return Json(content);
            } else if constexpr (std::is_same_v<T, double>) {
                return std::isfinite(content) ? Json(content) : Json();
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                Json array = Json::array();
                for (const auto& element : content) {
                    array.push_back(jsonFromEncodable(element));
                }
                return array;
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                Json object = Json::object();
                for (const auto& [key, element] : content) {
                    if (const auto* text = std::get_if<std::string>(&key.variant())) {
                        object[*text] = jsonFromEncodable(element);
                    }
                }
                // Non-string keys only where no string key has the same text.
                for (const auto& [key, element] : content) {
                    if (!std::holds_alternative<std::string>(key.variant())) {
                        object.emplace(dump(jsonFromEncodable(key)), jsonFromEncodable(element));
                    }
                }
                return object;
            } else {
                return numberArray(content);
            }
        },
        value.variant());
}

Result<EncodableValue, std::string> encodableFromJsonText(const std::string& text) {
    Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded()) {
        return "Not valid JSON: " + text;
    }
    return encodableFromJson(json);
}

std::string jsonText(const EncodableValue& value) {
    return dump(jsonFromEncodable(value));
}

}  // namespace kestralune
