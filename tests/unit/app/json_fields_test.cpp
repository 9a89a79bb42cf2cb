#include <gtest/gtest.h>

#include <limits>

#include "app/mission/json_fields.h"
#include "app/mission/mission_status.h"

using namespace kovo::app;

using nlohmann::json;

// Each member of one object read by every reader, with distinct defaults
// (9.5, "d", -1); a bool expectation of -1 means the default, checked with
// both false and true. Integers become text as 32-bit signed values; out of
// int's range they are no int; fractions are truncated toward zero for int.
TEST(JsonFieldReaders, EveryKindOfMember) {
    const json doc = json::parse(R"({
        "text": "3.5", "prefix": "12.5abc", "huge_text": "1e60", "int": 5,
        "big": 4294967301, "uint_max": 18446744073709551615, "int_max": 2147483647,
        "float": 5.7, "float_neg": -2.9, "yes": true, "obj": {"a": 1}, "arr": [1, 2]})");
    const struct {
        const char* key;
        float as_float;         // json_float
        const char* as_string;  // json_string, precision 2
        const char* as_text;    // safe_json_value, text default
        int as_int;             // safe_json_value<int>
        int as_bool;            // safe_json_value<bool>
    } rows[] = {{"text", 3.5f, "3.5", "3.5", -1, -1},
                {"prefix", 12.5f, "12.5abc", "12.5abc", -1, -1},
                {"huge_text", 9.5f, "1e60", "1e60", -1, -1},
                {"int", 5.0f, "5", "d", 5, -1},
                {"big", 4294967301.0f, "5", "d", -1, -1},
                {"uint_max", 18446744073709551615.0f, "-1", "d", -1, -1},
                {"int_max", 2147483647.0f, "2147483647", "d", std::numeric_limits<int>::max(), -1},
                {"float", 5.7f, "5.70", "d", 5, -1},
                {"float_neg", -2.9f, "-2.90", "d", -2, -1},
                {"yes", 9.5f, "d", "d", 1, 1},
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

// Fixed notation, rounded half to even; a negative precision means no
// decimals, a huge one is capped.
TEST(FloatStr, FixedNotationWithRounding) {
    EXPECT_EQ(float_str(2.5, 0), "2");
    EXPECT_EQ(float_str(7.6, -3), "8");
    EXPECT_EQ(float_str(1, 1000), "1." + std::string(30, '0'));
}

// The first string, depth first, and the number of strings; nothing usable
// gives two empty texts.
TEST(WarehouseNum, FirstStringAndCount) {
    using Pair = std::pair<std::string, std::string>;
    const std::pair<const char*, Pair> rows[] = {
        {R"("A03")", {"A03", "1"}}, {R"([1,"C7",null])", {"C7", "1"}},
        {R"(["","X"])", {"", "2"}}, {R"([[],[["a",{"x":"no"}]],"b"])", {"a", "2"}},
        {"[1,2.5,true]", {"", ""}}, {R"({"a":"A01"})", {"", ""}},
    };
    for (const auto& [doc, pair] : rows)
        EXPECT_EQ(parse_warehouse_num(json::parse(doc)), pair) << doc;
    EXPECT_EQ(collect_warehouse_nums(json::parse(R"([["a",["b",{"x":"no"}]],[],"c",[[["d"]]]])")),
              (std::vector<std::string>{"a", "b", "c", "d"}));
    json deep = "deep";  // nesting deep enough to exhaust a recursive walk's stack
    for (int i = 0; i < 100000; ++i)
        deep = json::array({std::move(deep)});
    EXPECT_EQ(parse_warehouse_num(deep), Pair("deep", "1"));
}
