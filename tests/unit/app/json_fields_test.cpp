#include <gtest/gtest.h>

#include <limits>

#include "app/mission/json_fields.h"

using namespace kovo::app;

using nlohmann::json;

// Each member of one object read by every reader, with distinct defaults
// (9.5, "d", -1); a bool expectation of -1 means the default, checked with
// both false and true. Integers become text as 32-bit signed values; out of
// int's range they are no int; fractions are truncated toward zero for int.
TEST(JsonFieldReaders, EveryKindOfMember) {
    const json doc = json::parse(R"({
        "text": "3.5", "word": "x", "prefix": "12.5abc", "huge_text": "1e60", "int": 5,
        "big": 4294967301, "uint_max": 18446744073709551615, "int_max": 2147483647,
        "float": 5.7, "float_neg": -2.9, "yes": true, "null": null, "obj": {"a": 1}, "arr": [1, 2]})");
    const struct {
        const char* key;
        float as_float;         // json_float
        const char* as_string;  // json_string, precision 2
        const char* as_text;    // safe_json_value, text default
        int as_int;             // safe_json_value<int>
        int as_bool;            // safe_json_value<bool>
    } rows[] = {{"text", 3.5f, "3.5", "3.5", -1, -1},
                {"word", 9.5f, "x", "x", -1, -1},
                {"prefix", 12.5f, "12.5abc", "12.5abc", -1, -1},
                {"huge_text", 9.5f, "1e60", "1e60", -1, -1},
                {"int", 5.0f, "5", "d", 5, -1},
                {"big", 4294967301.0f, "5", "d", -1, -1},
                {"uint_max", 18446744073709551615.0f, "-1", "d", -1, -1},
                {"int_max", 2147483647.0f, "2147483647", "d", std::numeric_limits<int>::max(), -1},
                {"float", 5.7f, "5.70", "d", 5, -1},
                {"float_neg", -2.9f, "-2.90", "d", -2, -1},
                {"yes", 9.5f, "d", "d", 1, 1},
                {"null", 9.5f, "d", "d", -1, -1},
                {"obj", 9.5f, "d", "d", -1, -1},
                {"arr", 9.5f, "d", "d", -1, -1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key);
        EXPECT_FLOAT_EQ(json_float(doc, row.key, 9.5f), row.as_float);
        EXPECT_EQ(json_string(doc, row.key, "d", 2), row.as_string);
        EXPECT_EQ(safe_json_value(doc, row.key, "d"), row.as_text);
        EXPECT_EQ(safe_json_value<std::string>(doc, row.key, "d"), row.as_text);
        EXPECT_EQ(safe_json_value<int>(doc, row.key, -1), row.as_int);
        for (const bool def : {false, true}) {
            EXPECT_EQ(safe_json_value<bool>(doc, row.key, def), row.as_bool == -1 ? def : row.as_bool == 1);
        }
        EXPECT_EQ(safe_json_object(doc, row.key), std::string(row.key) == "obj" ? doc["obj"] : json::object());
        EXPECT_EQ(safe_json_array(doc, row.key), std::string(row.key) == "arr" ? doc["arr"] : json::array());
    }
    EXPECT_EQ(json_string(doc, "float", "d", 1), "5.7");
    EXPECT_EQ(safe_json_value<int>(json{{"n", 1e300}}, "n", -1), -1);
    // A value that is no object has no members.
    EXPECT_EQ(safe_json_value<int>(json::array({doc}), "int", -1), -1);
}

// A negative precision means no decimals; a huge one is capped.
TEST(FloatStr, FixedNotationWithRounding) {
    const struct {
        double value;
        int precision;
        std::string text;
    } rows[] = {{12.3456, 2, "12.35"},
                {12.3456f, 1, "12.3"},
                {2.5, 0, "2"},
                {7.6, -3, "8"},
                {1, 1000, "1." + std::string(30, '0')}};
    for (const auto& row : rows) {
        EXPECT_EQ(float_str(row.value, row.precision), row.text) << row.value << " " << row.precision;
    }
}
