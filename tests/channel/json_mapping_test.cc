#include "channel/json_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kestralune {
namespace {

// Each row is JSON text and the value it must become; a wrong integer width or a number
// read as the wrong kind breaks its row.
TEST(JsonMappingTest, MapsJsonTextToValues) {
    struct Row {
        const char* json;
        EncodableValue expected;
    };
    const std::vector<Row> rows = {
        {"null", EncodableValue()},
        {"true", EncodableValue(true)},
        {"false", EncodableValue(false)},
        {"0", EncodableValue(std::int32_t{0})},
        {"-2147483648", EncodableValue(std::int32_t{-2147483647 - 1})},
        {"2147483647", EncodableValue(std::int32_t{2147483647})},
        {"2147483648", EncodableValue(std::int64_t{2147483648})},
        {"-2147483649", EncodableValue(std::int64_t{-2147483649})},
        {"9223372036854775807", EncodableValue(std::numeric_limits<std::int64_t>::max())},
        {"1.0", EncodableValue(1.0)},
        {"1e3", EncodableValue(1000.0)},
        {"\"text\"", EncodableValue("text")},
        {"[]", EncodableValue(EncodableList{})},
        {"[1,\"a\",null]",
         EncodableValue(EncodableList{EncodableValue(1), EncodableValue("a"), EncodableValue()})},
        {"{\"durationMinutes\":25,\"x\":{}}",
         EncodableValue(EncodableMap{{EncodableValue("durationMinutes"), EncodableValue(25)},
                                     {EncodableValue("x"), EncodableValue(EncodableMap{})}})},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.json);
        auto value = encodableFromJsonText(row.json);
        ASSERT_TRUE(value) << value.error();
        EXPECT_EQ(*value, row.expected);
        EXPECT_EQ(value->index(), row.expected.index());
    }
}

// Input that cannot become a value must be refused with a reason, not mapped to a default.
TEST(JsonMappingTest, RefusesUnmappableJson) {
    EXPECT_FALSE(encodableFromJsonText("{"));
    EXPECT_FALSE(encodableFromJsonText("18446744073709551615"));
    EXPECT_FALSE(encodableFromJsonText(std::string(300, '[') + std::string(300, ']')));
    EXPECT_TRUE(encodableFromJsonText(std::string(200, '[') + std::string(200, ']')));
}

// Each row is a value and its JSON text; typed lists, non-string keys and non-finite numbers
// are where a mapping goes wrong.
TEST(JsonMappingTest, WritesValuesAsJson) {
    struct Row {
        const char* name;
        EncodableValue value;
        const char* json;
    };
    const std::vector<Row> rows = {
        {"null", EncodableValue(), "null"},
        {"int64", EncodableValue(std::int64_t{1} << 40), "1099511627776"},
        {"double", EncodableValue(0.5), "0.5"},
        {"NaN", EncodableValue(std::nan("")), "null"},
        {"infinity", EncodableValue(std::numeric_limits<double>::infinity()), "null"},
        {"uint8 list", EncodableValue(std::vector<std::uint8_t>{0, 255}), "[0,255]"},
        {"int32 list", EncodableValue(std::vector<std::int32_t>{-1}), "[-1]"},
        {"int64 list", EncodableValue(std::vector<std::int64_t>{5}), "[5]"},
        {"float32 list", EncodableValue(std::vector<float>{0.25f}), "[0.25]"},
        {"float64 list", EncodableValue(std::vector<double>{1.5}), "[1.5]"},
        {"non-string keys",
         EncodableValue(
             EncodableMap{{EncodableValue(1), EncodableValue("one")},
                          {EncodableValue(), EncodableValue(true)},
                          {EncodableValue(EncodableList{EncodableValue(1)}), EncodableValue(2)}}),
         R"({"1":"one","[1]":2,"null":true})"},
        {"string key wins over same text",
         EncodableValue(EncodableMap{{EncodableValue(1), EncodableValue("number")},
                                     {EncodableValue("1"), EncodableValue("string")}}),
         R"({"1":"string"})"},
        {"invalid UTF-8 replaced", EncodableValue(std::string("a\xff")), "\"a\xef\xbf\xbd\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(jsonText(row.value), row.json);
    }
}

// JSON that maps to a value must map back to the same JSON.
TEST(JsonMappingTest, RoundTripsPlainJson) {
    const std::string text =
        R"({"allWebsitesBlocked":false,"blockedApps":["a",{"id":"b"}],"n":-3,"x":2.5})";
    auto value = encodableFromJsonText(text);
    ASSERT_TRUE(value);
    EXPECT_EQ(jsonText(*value), text);
}

}  // namespace
}  // namespace kestralune
