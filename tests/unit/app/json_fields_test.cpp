#include <gtest/gtest.h>

#include <limits>

#include "app/json_fields.h"

using nlohmann::json;

namespace {

// One object holding a member of every JSON kind.
const json kDoc = json::parse(R"({
    "text": "3.5", "word": "x", "prefix": "12.5abc", "blank": " 7", "exp": "1e3", "empty": "",
    "huge_text": "1e60", "int": 5, "neg": -7, "big": 4294967301, "uint_max": 18446744073709551615,
    "float": 5.7, "float_neg": -2.9, "float_whole": 5.0, "float_huge": 1e300,
    "yes": true, "no": false, "null": null,
    "obj": {"a": 1}, "arr": [1, 2]
})");

}  // namespace

TEST(JsonFloat, NumbersOfEveryKind)
{
    EXPECT_FLOAT_EQ(json_float(kDoc, "int", -1), 5.0f);
    EXPECT_FLOAT_EQ(json_float(kDoc, "neg", -1), -7.0f);
    EXPECT_FLOAT_EQ(json_float(kDoc, "float", -1), 5.7f);
    EXPECT_FLOAT_EQ(json_float(kDoc, "big", -1), 4294967301.0f);
}

TEST(JsonFloat, TextIsParsedLikeStrtof)
{
    EXPECT_FLOAT_EQ(json_float(kDoc, "text", -1), 3.5f);
    EXPECT_FLOAT_EQ(json_float(kDoc, "prefix", -1), 12.5f);
    EXPECT_FLOAT_EQ(json_float(kDoc, "blank", -1), 7.0f);
    EXPECT_FLOAT_EQ(json_float(kDoc, "exp", -1), 1000.0f);
    EXPECT_EQ(json_float(kDoc, "word", -1), -1.0f);
    EXPECT_EQ(json_float(kDoc, "empty", -1), -1.0f);
    EXPECT_EQ(json_float(kDoc, "huge_text", -1), -1.0f);
}

TEST(JsonFloat, OtherKindsGiveTheDefault)
{
    for (const char* key : {"yes", "null", "obj", "arr", "absent"}) {
        EXPECT_EQ(json_float(kDoc, key, 9.5f), 9.5f) << key;
    }
    EXPECT_EQ(json_float(json::array({kDoc}), "int", 9.5f), 9.5f);
    EXPECT_EQ(json_float(json("int"), "int", 9.5f), 9.5f);
    EXPECT_EQ(json_float(json(nullptr), "int", 9.5f), 9.5f);
}

TEST(JsonString, StringsAsTheyAre)
{
    EXPECT_EQ(json_string(kDoc, "word", "d", 2), "x");
    EXPECT_EQ(json_string(kDoc, "empty", "d", 2), "");
}

TEST(JsonString, NumbersBecomeText)
{
    EXPECT_EQ(json_string(kDoc, "int", "d", 2), "5");
    EXPECT_EQ(json_string(kDoc, "neg", "d", 2), "-7");
    EXPECT_EQ(json_string(kDoc, "float_whole", "d", 2), "5.00");
    EXPECT_EQ(json_string(kDoc, "float", "d", 1), "5.7");
    EXPECT_EQ(json_string(kDoc, "float_neg", "d", 3), "-2.900");
    // Integers are taken as 32-bit signed values.
    EXPECT_EQ(json_string(kDoc, "big", "d", 2), "5");
    EXPECT_EQ(json_string(kDoc, "uint_max", "d", 2), "-1");
}

TEST(JsonString, OtherKindsGiveTheDefault)
{
    for (const char* key : {"null", "no", "yes", "obj", "arr", "absent"}) {
        EXPECT_EQ(json_string(kDoc, key, "d", 2), "d") << key;
    }
    EXPECT_EQ(json_string(json::array({1}), "0", "d", 2), "d");
}

TEST(SafeJsonValue, TextOnlyFromStrings)
{
    EXPECT_EQ(safe_json_value(kDoc, "word", "d"), "x");
    EXPECT_EQ(safe_json_value(kDoc, "int", "d"), "d");
    EXPECT_EQ(safe_json_value<std::string>(kDoc, "word", "d"), "x");
    for (const char* key : {"int", "float", "yes", "null", "obj", "arr", "absent"}) {
        EXPECT_EQ(safe_json_value<std::string>(kDoc, key, "d"), "d") << key;
    }
    EXPECT_EQ(safe_json_value(json("word"), "word", "d"), "d");
}

TEST(SafeJsonValue, TextDefaultAndJsonStringDisagreeOnNumbers)
{
    const json doc = {{"n", 12}};
    EXPECT_EQ(safe_json_value(doc, "n", "d"), "d");
    EXPECT_EQ(json_string(doc, "n", "d", 2), "12");
}

TEST(SafeJsonValue, IntFromNumbersAndBooleans)
{
    EXPECT_EQ(safe_json_value<int>(kDoc, "int", -1), 5);
    EXPECT_EQ(safe_json_value<int>(kDoc, "neg", -1), -7);
    EXPECT_EQ(safe_json_value<int>(kDoc, "float", -1), 5);
    EXPECT_EQ(safe_json_value<int>(kDoc, "float_neg", -1), -2);
    EXPECT_EQ(safe_json_value<int>(kDoc, "yes", -1), 1);
    EXPECT_EQ(safe_json_value<int>(kDoc, "no", -1), 0);
}

TEST(SafeJsonValue, IntIgnoresTextAndEverythingElse)
{
    const json doc = {{"n", "5"}};
    EXPECT_EQ(safe_json_value<int>(doc, "n", -1), -1);
    for (const char* key : {"null", "obj", "arr", "absent"}) {
        EXPECT_EQ(safe_json_value<int>(kDoc, key, -1), -1) << key;
    }
    EXPECT_EQ(safe_json_value<int>(json::array(), "int", -1), -1);
}

TEST(SafeJsonValue, IntOutOfRangeGivesTheDefault)
{
    EXPECT_EQ(safe_json_value<int>(kDoc, "big", -1), -1);
    EXPECT_EQ(safe_json_value<int>(kDoc, "uint_max", -1), -1);
    EXPECT_EQ(safe_json_value<int>(kDoc, "float_huge", -1), -1);
    const json edges = {{"max", std::numeric_limits<int>::max()}, {"min", std::numeric_limits<int>::min()}};
    EXPECT_EQ(safe_json_value<int>(edges, "max", -1), std::numeric_limits<int>::max());
    EXPECT_EQ(safe_json_value<int>(edges, "min", -1), std::numeric_limits<int>::min());
}

TEST(SafeJsonValue, BoolOnlyFromBooleans)
{
    EXPECT_TRUE(safe_json_value<bool>(kDoc, "yes", false));
    EXPECT_FALSE(safe_json_value<bool>(kDoc, "no", true));
    for (const char* key : {"int", "word", "null", "obj", "arr", "absent"}) {
        EXPECT_TRUE(safe_json_value<bool>(kDoc, key, true)) << key;
    }
}

TEST(SafeJsonContainers, CopiesOnlyTheMatchingKind)
{
    EXPECT_EQ(safe_json_object(kDoc, "obj"), json::parse(R"({"a":1})"));
    EXPECT_EQ(safe_json_object(kDoc, "arr"), json::object());
    EXPECT_EQ(safe_json_array(kDoc, "arr"), json::array({1, 2}));
    EXPECT_EQ(safe_json_array(kDoc, "obj"), json::array());
    for (const char* key : {"word", "int", "yes", "null", "absent"}) {
        EXPECT_EQ(safe_json_object(kDoc, key), json::object()) << key;
        EXPECT_EQ(safe_json_array(kDoc, key), json::array()) << key;
    }
    EXPECT_EQ(safe_json_object(json::array({kDoc}), "obj"), json::object());
}

TEST(FloatStr, FixedNotationWithRounding)
{
    EXPECT_EQ(float_str(12.3456, 2), "12.35");
    EXPECT_EQ(float_str(3, 2), "3.00");
    EXPECT_EQ(float_str(-0.004, 2), "-0.00");
    EXPECT_EQ(float_str(12.3456f, 1), "12.3");
    EXPECT_EQ(float_str(1e10, 0), "10000000000");
    EXPECT_EQ(float_str(2.5, 0), "2");
}

TEST(FloatStr, NegativePrecisionMeansNoDecimals)
{
    EXPECT_EQ(float_str(7.6, -3), "8");
}
