// socket.io value kinds and their conversion into the daemon's JSON.
#include <gtest/gtest.h>

#include <string>

#include "car/sio/message.h"
#include "car/sio_msg_json.h"

using nlohmann::json;
using sio::Kind;
using sio::Message;

namespace {

Kind kind_of_text(const std::string& text) { return sio::kind_of(sio::parse_message(text)); }

json convert(const Message& m) { return sio_msg_to_json(&m); }

// A mission as the car builds it, with identifiers and a height that look
// like numbers but are strings.
const char* const kMission = R"({
  "carStrategyId": "12",
  "carFlightMissionHistoryId": "0042",
  "batteryLimit": "20",
  "isBeforeTakeoffPhoto": "0",
  "beforeTakeoffPhotoConfig": {},
  "warehouseNum": [["A1", "A2"], "A3"],
  "carFlightPointList": [
    {"id": "1", "z": "1.5", "warehousePositionNum": "A1-1"},
    {"id": "2", "z": 3, "warehousePositionNum": "true"},
    {"id": "3", "z": 2.25, "extra": {}}
  ]
})";

}  // namespace

TEST(ValueKinds, NumbersKeepIntegerAndDoubleApart) {
    EXPECT_EQ(kind_of_text("2"), Kind::Integer);
    EXPECT_EQ(kind_of_text("-5"), Kind::Integer);
    EXPECT_EQ(kind_of_text("0"), Kind::Integer);
    EXPECT_EQ(kind_of_text("9223372036854775807"), Kind::Integer);
    EXPECT_EQ(kind_of_text("-9223372036854775808"), Kind::Integer);
    EXPECT_EQ(kind_of_text("2.0"), Kind::Double);
    EXPECT_EQ(kind_of_text("1e2"), Kind::Double);
    EXPECT_EQ(kind_of_text("-0.5"), Kind::Double);
    // Too large for 64 signed bits: a double, never a wrapped integer.
    EXPECT_EQ(kind_of_text("9223372036854775808"), Kind::Double);
    EXPECT_EQ(kind_of_text("18446744073709551616"), Kind::Double);
    EXPECT_EQ(sio::parse_message("9223372036854775808").get<double>(), 9223372036854775808.0);
}

TEST(ValueKinds, NumberedLikeTheDaemonLogsThem) {
    EXPECT_EQ(static_cast<int>(kind_of_text("1")), 0);
    EXPECT_EQ(static_cast<int>(kind_of_text("1.5")), 1);
    EXPECT_EQ(static_cast<int>(kind_of_text("\"s\"")), 2);
    EXPECT_EQ(static_cast<int>(sio::kind_of(Message::binary({1, 2}))), 3);
    EXPECT_EQ(static_cast<int>(kind_of_text("[]")), 4);
    EXPECT_EQ(static_cast<int>(kind_of_text("{}")), 5);
    EXPECT_EQ(static_cast<int>(kind_of_text("false")), 6);
    EXPECT_EQ(static_cast<int>(kind_of_text("null")), 7);
}

TEST(ValueParsing, NestedIntegersAreSignedToo) {
    const Message m = sio::parse_message(R"({"a":[1,{"b":18446744073709551615}]})");
    EXPECT_TRUE(m["a"][0].is_number_integer());
    EXPECT_FALSE(m["a"][0].is_number_unsigned());
    EXPECT_TRUE(m["a"][1]["b"].is_number_float());
}

TEST(ValueParsing, DepthIsBounded) {
    const int max = sio::kDefaultMaxDepth;
    EXPECT_NO_THROW(sio::parse_message(std::string(max, '[') + std::string(max, ']')));
    EXPECT_THROW(sio::parse_message(std::string(max + 1, '[') + std::string(max + 1, ']')), std::exception);
    EXPECT_THROW(sio::parse_message(std::string(5, '{') + "}", 3), std::exception);
    std::string deep_objects;
    for (int i = 0; i <= max; ++i) deep_objects += "{\"a\":";
    EXPECT_THROW(sio::parse_message(deep_objects + "1" + std::string(max + 1, '}')), std::exception);
}

TEST(ValueParsing, IsStrict) {
    EXPECT_THROW(sio::parse_message("{\"a\":1} x"), std::exception);
    EXPECT_THROW(sio::parse_message("/* c */ 1"), std::exception);
    EXPECT_THROW(sio::parse_message("{'a':1}"), std::exception);
    EXPECT_THROW(sio::parse_message(""), std::exception);
}

TEST(SioMsgToJson, ScalarsConvertByKind) {
    EXPECT_TRUE(sio_msg_to_json(nullptr).is_null());
    EXPECT_EQ(convert(Message(std::int64_t{-7})), -7);
    EXPECT_TRUE(convert(Message(std::int64_t{-7})).is_number_integer());
    EXPECT_EQ(convert(Message(2.5)), 2.5);
    EXPECT_TRUE(convert(Message(2.0)).is_number_float());
    EXPECT_EQ(convert(Message(true)), true);
    EXPECT_TRUE(convert(Message(nullptr)).is_null());
    EXPECT_TRUE(convert(Message::binary({1, 2, 3})).is_null());
}

TEST(SioMsgToJson, ArgumentStringHoldingJsonTextIsParsed) {
    EXPECT_EQ(convert(Message(R"({"a":[1,2.5,"x"]})")), json::parse(R"({"a":[1,2.5,"x"]})"));
    EXPECT_EQ(convert(Message("12")), 12);
    EXPECT_TRUE(convert(Message("12")).is_number_integer());
    EXPECT_EQ(convert(Message("1.5")), 1.5);
    EXPECT_EQ(convert(Message("true")), true);
    EXPECT_EQ(convert(Message("\"quoted\"")), "quoted");
    EXPECT_TRUE(convert(Message("null")).is_null());
}

TEST(SioMsgToJson, ArgumentStringThatIsNotJsonStaysAString) {
    EXPECT_EQ(convert(Message("plain words")), "plain words");
    EXPECT_EQ(convert(Message("")), "");
    EXPECT_EQ(convert(Message("{\"a\":1} trailing")), "{\"a\":1} trailing");
    EXPECT_EQ(convert(Message("[1,2")), "[1,2");
    EXPECT_EQ(convert(Message("// comment\n1")), "// comment\n1");
}

TEST(SioMsgToJson, ArgumentStringNestedTooDeeplyStaysAString) {
    const std::string deep = std::string(1000, '[') + std::string(1000, ']');
    EXPECT_EQ(convert(Message(deep)), deep);
}

TEST(SioMsgToJson, StringsInsideObjectsAndArraysAreNotParsed) {
    const json out = convert(sio::parse_message(R"({"carStrategyId":"12","z":"1.5","list":["true","{}"]})"));
    EXPECT_EQ(out["carStrategyId"], "12");
    EXPECT_EQ(out["z"], "1.5");
    EXPECT_EQ(out["list"], json::parse(R"(["true","{}"])"));
}

TEST(SioMsgToJson, ObjectAndJsonTextFormsOfAMissionArriveEqual) {
    const json as_object = convert(sio::parse_message(kMission));
    const json as_text = convert(Message(std::string(kMission)));
    EXPECT_EQ(as_object, as_text);
    EXPECT_EQ(as_object["carStrategyId"], "12");
    EXPECT_EQ(as_object["carFlightMissionHistoryId"], "0042");
    EXPECT_EQ(as_object["carFlightPointList"][0]["z"], "1.5");
    EXPECT_EQ(as_object["carFlightPointList"][1]["z"], 3);
    EXPECT_EQ(as_object["carFlightPointList"][1]["warehousePositionNum"], "true");
    EXPECT_EQ(as_object["carFlightPointList"][2]["z"], 2.25);
}

TEST(SioMsgToJson, ObjectsWithoutMembersBecomeNullAtAnyDepth) {
    EXPECT_TRUE(convert(Message::object()).is_null());
    EXPECT_TRUE(convert(Message("{}")).is_null());
    const json mission = convert(sio::parse_message(kMission));
    EXPECT_TRUE(mission["beforeTakeoffPhotoConfig"].is_null());
    EXPECT_TRUE(mission["carFlightPointList"][2]["extra"].is_null());
    EXPECT_EQ(convert(sio::parse_message("[]")), json::array());
}

TEST(SioMsgToJson, BinaryInsideStructuresBecomesNull) {
    Message m = sio::parse_message(R"({"label":"photo","parts":[1,null]})");
    m["parts"][1] = Message::binary({9, 9});
    m["data"] = Message::binary({1});
    const json out = convert(m);
    EXPECT_EQ(out["label"], "photo");
    EXPECT_EQ(out["parts"], json::parse("[1,null]"));
    EXPECT_TRUE(out["data"].is_null());
}

TEST(SioMsgToJson, Utf8TextSurvivesBothForms) {
    const std::string text = "{\"name\":\"h\xc3\xa9 \xe4\xb8\xad \\u00e9\"}";
    EXPECT_EQ(convert(Message(text))["name"], "h\xc3\xa9 \xe4\xb8\xad \xc3\xa9");
    EXPECT_EQ(convert(sio::parse_message(text))["name"], "h\xc3\xa9 \xe4\xb8\xad \xc3\xa9");
}
