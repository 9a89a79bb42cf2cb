// scan_message must agree with the parser that reads the document later; these are
// the edges fuzz_px4ctrl is least likely to reach.
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

TEST(ScanMessageAgreesWithTheParser, OnTheEdgesOfTheGrammar) {
    const std::vector<std::string> edges = {
        // Structure: a NUL ends the text; trailing commas.
        std::string("{}\0junk", 7), "{}}", "{\"a\":[1,2,]}", "{\"a\":1",
        // Numbers, including those that overflow a double.
        "{\"a\":01}", "{\"a\":1.}", "{\"a\":1e400}", "{\"a\":" + std::string(400, '9') + "}",
        "{\"a\":" + std::string(308, '9') + "}", "{\"a\":0." + std::string(400, '0') + "1}",
        // Surrogates, control characters and UTF-8 at the edges of each range.
        "{\"a\":\"\\ud83d\\ude00\"}", "{\"a\":\"\\ud83d\"}", "{\"a\":\"\x1f\"}", "{\"a\":\"\xed\xa0\x80\"}",
        "{\"a\":\"\xed\x9f\xbf\"}", "{\"a\":\"\xf4\x90\x80\x80\"}", "{\"a\":\"\xe2\x82\"}"};
    for (const std::string& text : edges)
        EXPECT_EQ(scan_message(text).kind == Kind::OBJECT, json::accept(text)) << text;
    // Nesting is bounded; the top-level object is the first level.
    const auto nested = [](int n) { return "{\"s\":" + std::string(n, '[') + std::string(n, ']') + "}"; };
    EXPECT_EQ(scan_message(nested(kMaxNesting - 1)).kind, Kind::OBJECT);
    EXPECT_EQ(scan_message(nested(kMaxNesting)).kind, Kind::TOO_DEEP);
}

// Numbers are truncated, booleans count as one or zero, the rest is no code.
TEST(ScanMessageCodes, TheCmdMemberReadAsACode) {
    const std::optional<int> none;
    const std::vector<std::pair<std::string, std::optional<int>>> rows = {
        {R"({"cmd":42.9})", 42},
        {R"({"cmd":4.2e1})", 42},
        {R"({"cmd":true})", 1},
        {R"({"cmd":2147483647})", INT_MAX},
        {R"({"cmd":-2147483648})", INT_MIN},
        {R"({"cmd":"42"})", none},
        {R"({"cmd":2147483648})", none},
    };
    for (const auto& [text, code] : rows)
        EXPECT_EQ(scan_message(text).cmd, code) << text;
    const ScannedMessage m = scan_message(R"({"x":{"ret":0,"state":{}},"ret":5,"ret":"x","st\u0061te":{"fs":2}})");
    EXPECT_FALSE(m.ret.has_value());
    EXPECT_EQ(m.state, std::string_view(R"({"fs":2})"));
    EXPECT_EQ(scan_message(R"({"r\u0065t":0})").ret, 0);
}

// Custom codes: a missing cmd reads as 7, a missing ret as 0; 7 is login reply and push.
TEST(ClassifyMessage, LoginRepliesAndStatePushesByTheConfiguredCodes) {
    const std::vector<std::tuple<const char*, bool, bool, bool, bool>> rows = {
        // text, custom codes, login reply, ok, push
        {R"({"cmd":42,"ret":0})", false, true, true, false},
        {R"({"cmd":42,"ret":1})", false, true, false, false},
        {R"({"cmd":42})", false, true, false, false},  // no ret reads as -1
        {R"({"cmd":1,"ret":0,"state":{}})", false, false, false, true},
        {R"({"cmd":1,"ret":1,"state":{}})", false, false, false, false},
        {R"({"state":{}})", true, true, true, true},
        {R"({"cmd":7,"ret":2})", true, true, false, false},
    };
    AppConfig::Px4ctrl custom = AppConfig{}.px4ctrl;
    custom.default_cmd = custom.login_resp_cmd = custom.state_push_cmd = 7;
    custom.default_ret = 0;
    for (const auto& [text, custom_codes, login_reply, login_ok, state_push] : rows) {
        const MessageMeaning m = classify_message(scan_message(text), custom_codes ? custom : AppConfig{}.px4ctrl);
        EXPECT_EQ(std::make_tuple(m.login_reply, m.login_ok, m.state_push),
                  std::make_tuple(login_reply, login_ok, state_push))
            << text;
    }
}
