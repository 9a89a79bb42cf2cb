// scan_message, the one-pass check of what px4ctrl sends, must agree with
// nlohmann::json's parser, since the document is parsed only when it is read.
#include "px4ctrl/px4ctrl_message.h"

#include <climits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace kovo::config;
using namespace kovo::px4ctrl;

using nlohmann::json;
using Kind = ScannedMessage::Kind;

namespace {

bool scanned_valid(const std::string& text) { return scan_message(text).kind == Kind::OBJECT; }

// Texts at the edges of the JSON grammar, each beginning with "{".
const std::vector<std::string> kEdgeTexts = {
    // Structure: whitespace, trailing bytes (a NUL ends the text), commas, colons.
    "{ }", "{\t\r\n}", "{\f}", "{", "{}}", "{} {}", "{}x", "{}  \n", std::string("{}\0junk", 7),
    std::string("{\"a\":1\0}", 8), "{\"a\":1,}", "{\"a\" 1}", "{\"a\"::1}", "{1:2}", "{\"a\":1,\"b\"}", "{'a':1}",
    "{/**/}", "{\"a\":[1,2,]}", "{\"a\":[,]}", "{\"a\":[ ]}", "{\"a\":[[]]}", "{\"a\":[1}", "{\"a\":1]",
    "{\"a\":{\"b\":{\"c\":[1,{\"d\":null}]}}}", "{\"a\":1",
    // Numbers and literals, including those that overflow a double.
    "{\"a\":01}", "{\"a\":-}", "{\"a\":-0}", "{\"a\":1.}", "{\"a\":.5}", "{\"a\":1e}", "{\"a\":1e+}", "{\"a\":1E-2}",
    "{\"a\":1e400}", "{\"a\":-1e400}", "{\"a\":1e-400}", "{\"a\":+1}", "{\"a\":0x10}", "{\"a\":NaN}",
    "{\"a\":" + std::string(400, '9') + "}", "{\"a\":" + std::string(308, '9') + "}",
    "{\"a\":" + std::string(400, '9') + ".5}", "{\"a\":0." + std::string(400, '0') + "1}",
    "{\"a\":18446744073709551616}", "{\"a\":tru}", "{\"a\":truex}", "{\"a\":nul}", "{\"a\":False}",
    // Escapes and surrogates.
    "{\"a\":\"\\ud83d\\ude00\"}", "{\"a\":\"\\ud83d\"}", "{\"a\":\"\\ude00\"}", "{\"a\":\"\\ud83dx\"}",
    "{\"a\":\"\\ud83d\\u0041\"}", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12\"}", "{\"a\":\"\\u12G4\"}", "{\"a\":\"\\uABcd\"}",
    "{\"a\":\"\\/\\b\\f\\n\\r\\t\\\"\\\\\"}", "{\"c\\u006dd\":1}",
    // Control characters and UTF-8 at the edges of each range.
    "{\"a\":\"\x01\"}", "{\"a\":\"\x1f\"}", "{\"a\":\"\x7f\"}", "{\"a\":\"\t\"}", "{\"a\":\"\xc3\xa9\"}",
    "{\"a\":\"\xf0\x9f\x98\x80\"}", "{\"a\":\"\xc0\x80\"}", "{\"a\":\"\xc1\xbf\"}", "{\"a\":\"\xed\xa0\x80\"}",
    "{\"a\":\"\xed\x9f\xbf\"}", "{\"a\":\"\xe0\x9f\x80\"}", "{\"a\":\"\xf0\x8f\x80\x80\"}",
    "{\"a\":\"\xf4\x90\x80\x80\"}", "{\"a\":\"\xf4\x8f\xbf\xbf\"}", "{\"a\":\"\xf5\x80\x80\x80\"}", "{\"a\":\"\x80\"}",
    "{\"a\":\"\xe2\x82\"}", "{\"a\":\"\xe2\x82", "{\"\xff\":1}"};

// A realistic push (the fuzz target fuzz_px4ctrl checks its mutations).
const std::string kPush =
    R"({"cmd":1,"ret":0,"state":{"fs":4,"uav":{"lpos":{"x":0.12,"y":-0.05,"z":-1.5,"vx":0,"vy":0,)"
    R"("vz":-0.25},"atti":{"p":0.01,"r":-0.02,"y":1.571},"bat":{"remain":87,"vol":16.02},"online":true},)"
    R"("kovo":{"sub_state":"hover_photo","height_idx":1,"photos":[{"id":1,"camera":"onboard",)"
    R"("local_path":"/tmp/t/p\u00e9 0.jpg","height_idx":0},{"id":2,"camera":"siyi","height_idx":1e0}],)"
    R"("task_dir":"/tmp/t","beforecount":null,"note":"\ud83d\ude00 ok"}}})";

}  // namespace

TEST(ScanMessageAgreesWithTheParser, OnTheEdgesOfTheGrammar) {
    for (const std::string& text : kEdgeTexts)
        EXPECT_EQ(scanned_valid(text), json::accept(text)) << text;
}

TEST(ScanMessageAgreesWithTheParser, StateTextParsesToTheParsedMemberAndErrorsCarryItsMessage) {
    const ScannedMessage push = scan_message(kPush);
    ASSERT_EQ(push.kind, Kind::OBJECT);
    ASSERT_TRUE(push.state.has_value());
    EXPECT_EQ(json::parse(*push.state), json::parse(kPush)["state"]);

    const ScannedMessage cut = scan_message(R"({"cmd":1,"ret":0,"state":{"fs":)");
    EXPECT_EQ(cut.kind, Kind::MALFORMED);
    EXPECT_NE(cut.error.find("parse_error"), std::string::npos) << cut.error;
    EXPECT_FALSE(cut.cmd.has_value());
    EXPECT_FALSE(cut.state.has_value());
    // Only texts beginning with a brace are looked at.
    for (const char* text : {"", " {\"cmd\":1}", "[1]", "garbage"}) {
        EXPECT_EQ(scan_message(text).kind, Kind::NOT_OBJECT) << text;
    }
}

TEST(ScanMessageKinds, NestingIsBounded) {
    auto nested = [](int arrays) {
        const auto n = static_cast<size_t>(arrays);
        return "{\"state\":" + std::string(n, '[') + std::string(n, ']') + "}";
    };
    // The top-level object is the first level.
    EXPECT_EQ(scan_message(nested(kMaxNesting - 1)).kind, Kind::OBJECT);
    EXPECT_EQ(scan_message(nested(kMaxNesting)).kind, Kind::TOO_DEEP);
    EXPECT_EQ(scan_message("{\"a\":" + std::string(1 << 20, '[')).kind, Kind::TOO_DEEP);
}

TEST(ScanMessageCodes, NumbersAreTruncatedBooleansCountAsOneOrZeroAndTheRestIsNoCode) {
    const std::optional<int> none;
    const std::vector<std::pair<std::string, std::optional<int>>> rows = {
        {"42.9", 42},
        {"-1.5", -1},
        {"4.2e1", 42},
        {"true", 1},
        {"false", 0},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"\"42\"", none},
        {"[42]", none},
        {"2147483648", none},
        {"-2147483649", none},
        {"1e30", none},
    };
    for (const auto& [value, code] : rows)
        EXPECT_EQ(scan_message("{\"cmd\":" + value + "}").cmd, code) << value;
    EXPECT_FALSE(scan_message("{}").cmd.has_value());
}

TEST(ScanMessageCodes, OnlyTopLevelMembersCountAndTheLastRepeatWins) {
    const ScannedMessage nested = scan_message(R"({"x":{"cmd":42,"ret":0,"state":{}},"y":[{"cmd":1}]})");
    EXPECT_FALSE(nested.cmd || nested.ret || nested.state);

    const ScannedMessage repeated = scan_message(R"({"cmd":1,"ret":5,"cmd":42,"ret":"x"})");
    EXPECT_EQ(repeated.cmd, 42);
    EXPECT_FALSE(repeated.ret.has_value());

    const ScannedMessage escaped = scan_message(R"({"c\u006dd":42,"r\u0065t":0,"st\u0061te":{"fs":2}})");
    EXPECT_EQ(escaped.cmd, 42);
    EXPECT_EQ(escaped.ret, 0);
    EXPECT_EQ(escaped.state, std::string_view(R"({"fs":2})"));
    EXPECT_FALSE(scan_message(R"({"cmd\u0000":42})").cmd.has_value());
    EXPECT_FALSE(scan_message(R"({"cm":42,"cmdx":43})").cmd.has_value());
}

TEST(ClassifyMessage, LoginRepliesAndStatePushesWithTheDefaultCodes) {
    const std::vector<std::tuple<const char*, bool, bool, bool>> rows = {
        // text, login reply, ok, push
        {R"({"cmd":42,"ret":0})", true, true, false},
        {R"({"cmd":42,"ret":1})", true, false, false},
        {R"({"cmd":42})", true, false, false},  // no ret reads as -1
        {R"({"cmd":1,"ret":0,"state":{}})", false, false, true},
        {R"({"cmd":1.7,"ret":false})", false, false, true},
        {R"({"cmd":1,"ret":1,"state":{}})", false, false, false},
        {R"({"cmd":1,"state":{}})", false, false, false},
        {R"({"ret":0,"state":{}})", false, false, false},
        {R"({"cmd":1,"ret":0,"state":)", false, false, false},
    };
    const AppConfig::Px4ctrl codes = AppConfig{}.px4ctrl;
    for (const auto& [text, login_reply, login_ok, state_push] : rows) {
        const MessageMeaning m = classify_message(scan_message(text), codes);
        EXPECT_EQ(std::make_tuple(m.login_reply, m.login_ok, m.state_push),
                  std::make_tuple(login_reply, login_ok, state_push))
            << text;
    }
}

TEST(ClassifyMessage, DefaultsAndCodesComeFromTheSettings) {
    AppConfig::Px4ctrl codes = AppConfig{}.px4ctrl;
    codes.default_cmd = 1;
    codes.default_ret = 0;
    EXPECT_TRUE(classify_message(scan_message(R"({"state":{}})"), codes).state_push);

    codes.login_resp_cmd = 7;
    codes.state_push_cmd = 7;
    const MessageMeaning both = classify_message(scan_message(R"({"cmd":7,"ret":0})"), codes);
    EXPECT_TRUE(both.login_reply && both.login_ok && both.state_push);
}
