#include "px4ctrl/px4ctrl_message.h"

#include <climits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;
using px4ctrl::classify_message;
using px4ctrl::MessageRules;
using px4ctrl::scan_message;
using px4ctrl::ScannedMessage;
using Kind = ScannedMessage::Kind;

namespace {

bool scanned_valid(const std::string& text) { return scan_message(text).kind == Kind::Object; }

// Texts at the edges of the JSON grammar, each beginning with "{".
const std::vector<std::string>& edge_texts() {
    static const std::vector<std::string> texts = {
        "{}", "{ }", "{\t\r\n}", "{\f}", "{", "{}}", "{} {}", "{}x", "{}  \n", std::string("{}\0junk", 7),
        std::string("{\"a\":1\0}", 8), "{\"a\":1}", "{\"a\":1,}", "{\"a\" 1}", "{\"a\"::1}", "{1:2}",
        "{\"a\":1,\"b\"}", "{'a':1}", "{/**/}", "{\"a\":01}", "{\"a\":-}", "{\"a\":-0}", "{\"a\":1.}",
        "{\"a\":.5}", "{\"a\":1e}", "{\"a\":1e+}", "{\"a\":1E-2}", "{\"a\":1e400}", "{\"a\":-1e400}",
        "{\"a\":1e-400}", "{\"a\":+1}", "{\"a\":0x10}", "{\"a\":Infinity}", "{\"a\":NaN}",
        "{\"a\":" + std::string(400, '9') + "}", "{\"a\":" + std::string(308, '9') + "}",
        "{\"a\":" + std::string(400, '9') + ".5}", "{\"a\":0." + std::string(400, '0') + "1}",
        "{\"a\":18446744073709551616}", "{\"a\":-9223372036854775809}", "{\"a\":tru}", "{\"a\":true}",
        "{\"a\":truex}", "{\"a\":nul}", "{\"a\":null}", "{\"a\":False}", "{\"a\":[1,2,]}", "{\"a\":[,]}",
        "{\"a\":[]}", "{\"a\":[ ]}", "{\"a\":[[]]}", "{\"a\":[1}", "{\"a\":1]", "{\"a\":]}",
        "{\"a\":{\"b\":{\"c\":[1,{\"d\":null}]}}}", "{\"a\":\"unterminated", "{\"a\":1",
        "{\"a\":\"\\u00e9\"}", "{\"a\":\"\\ud83d\\ude00\"}", "{\"a\":\"\\ud83d\"}", "{\"a\":\"\\ude00\"}",
        "{\"a\":\"\\ud83dx\"}", "{\"a\":\"\\ud83d\\u0041\"}", "{\"a\":\"\\x\"}", "{\"a\":\"\\u12\"}",
        "{\"a\":\"\\u12G4\"}", "{\"a\":\"\\uABcd\"}", "{\"a\":\"\\/\\b\\f\\n\\r\\t\\\"\\\\\"}",
        "{\"a\":\"\x01\"}", "{\"a\":\"\x1f\"}", "{\"a\":\"\x7f\"}", "{\"a\":\"\t\"}",
        "{\"a\":\"\xc3\xa9\"}", "{\"a\":\"\xe2\x82\xac\"}", "{\"a\":\"\xf0\x9f\x98\x80\"}",
        "{\"a\":\"\xc0\x80\"}", "{\"a\":\"\xc1\xbf\"}", "{\"a\":\"\xed\xa0\x80\"}", "{\"a\":\"\xed\x9f\xbf\"}",
        "{\"a\":\"\xe0\x9f\x80\"}", "{\"a\":\"\xf0\x8f\x80\x80\"}", "{\"a\":\"\xf4\x90\x80\x80\"}",
        "{\"a\":\"\xf4\x8f\xbf\xbf\"}", "{\"a\":\"\xf5\x80\x80\x80\"}", "{\"a\":\"\x80\"}",
        "{\"a\":\"\xe2\x82\"}", "{\"a\":\"\xe2\x82", "{\"\xff\":1}", "{\"c\\u006dd\":1}",
    };
    return texts;
}

// A realistic push whose mutations the fuzz test feeds to both parsers.
const std::string kPush =
    R"({"cmd":1,"ret":0,"state":{"fs":4,"uav":{"lpos":{"x":0.12,"y":-0.05,"z":-1.5,"vx":0,"vy":0,)"
    R"("vz":-0.25},"atti":{"p":0.01,"r":-0.02,"y":1.571},"bat":{"remain":87,"vol":16.02},"online":true},)"
    R"("kovo":{"sub_state":"hover_photo","height_idx":1,"photos":[{"id":1,"camera":"onboard",)"
    R"("local_path":"/tmp/t/p\u00e9 0.jpg","height_idx":0},{"id":2,"camera":"siyi","height_idx":1e0}],)"
    R"("task_dir":"/tmp/t","beforecount":null,"note":"\ud83d\ude00 ok"}}})";

}  // namespace

// The receive path must accept exactly the texts that a full parse accepts,
// since the document is parsed only later, when it is read.
TEST(ScanMessageAgreesWithTheParser, OnTheEdgesOfTheGrammar) {
    for (const std::string& text : edge_texts()) {
        EXPECT_EQ(scanned_valid(text), json::accept(text)) << "text: " << text;
    }
}

TEST(ScanMessageAgreesWithTheParser, OnRandomMutationsOfAPush) {
    std::mt19937 rng(20250101);
    const std::string alphabet = "{}[]\":,.-+eE0123456789 \\/utrfnlasx\x01\x80\xc3\xa9\xed\xf4";
    int valid = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text = kPush;
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits; ++e) {
            const size_t at = 1 + rng() % (text.size() - 1);
            const char c = alphabet[rng() % alphabet.size()];
            switch (rng() % 3) {
            case 0: text[at] = c; break;
            case 1: text.insert(text.begin() + static_cast<long>(at), c); break;
            default: text.erase(at, 1 + rng() % 4); break;
            }
        }
        const bool accepted = json::accept(text);
        valid += accepted;
        ASSERT_EQ(scanned_valid(text), accepted) << "text: " << text;
    }
    // Both outcomes were exercised.
    EXPECT_GT(valid, 500);
    EXPECT_LT(valid, 19500);
}

TEST(ScanMessageAgreesWithTheParser, StateTextParsesToTheParsedMember) {
    const ScannedMessage m = scan_message(kPush);
    ASSERT_EQ(m.kind, Kind::Object);
    ASSERT_TRUE(m.state.has_value());
    EXPECT_EQ(json::parse(*m.state), json::parse(kPush)["state"]);
}

TEST(ScanMessageAgreesWithTheParser, MalformedTextCarriesTheParserMessage) {
    const ScannedMessage m = scan_message(R"({"cmd":1,"ret":0,"state":{"fs":)");
    EXPECT_EQ(m.kind, Kind::Malformed);
    EXPECT_NE(m.error.find("parse_error"), std::string::npos) << m.error;
    EXPECT_FALSE(m.cmd.has_value());
    EXPECT_FALSE(m.state.has_value());
}

TEST(ScanMessageKinds, OnlyTextsBeginningWithABraceAreLookedAt) {
    EXPECT_EQ(scan_message("").kind, Kind::NotObject);
    EXPECT_EQ(scan_message(" {\"cmd\":1}").kind, Kind::NotObject);
    EXPECT_EQ(scan_message("[1]").kind, Kind::NotObject);
    EXPECT_EQ(scan_message("garbage").kind, Kind::NotObject);
}

TEST(ScanMessageKinds, NestingIsBounded) {
    auto nested = [](int arrays) {
        return "{\"state\":" + std::string(static_cast<size_t>(arrays), '[') +
               std::string(static_cast<size_t>(arrays), ']') + "}";
    };
    // The top-level object is the first level.
    EXPECT_EQ(scan_message(nested(px4ctrl::kMaxNesting - 1)).kind, Kind::Object);
    EXPECT_EQ(scan_message(nested(px4ctrl::kMaxNesting)).kind, Kind::TooDeep);
    EXPECT_EQ(scan_message("{\"a\":" + std::string(1 << 20, '[')).kind, Kind::TooDeep);
}

TEST(ScanMessageCodes, NumbersAreTruncatedAndBooleansCountAsOneOrZero) {
    auto cmd = [](const std::string& value) { return scan_message("{\"cmd\":" + value + "}").cmd; };
    EXPECT_EQ(cmd("42"), 42);
    EXPECT_EQ(cmd("42.9"), 42);
    EXPECT_EQ(cmd("-1.5"), -1);
    EXPECT_EQ(cmd("-0"), 0);
    EXPECT_EQ(cmd("-0.0"), 0);
    EXPECT_EQ(cmd("4.2e1"), 42);
    EXPECT_EQ(cmd("1E2"), 100);
    EXPECT_EQ(cmd("true"), 1);
    EXPECT_EQ(cmd("false"), 0);
    EXPECT_EQ(cmd("2147483647"), INT_MAX);
    EXPECT_EQ(cmd("-2147483648"), INT_MIN);
    EXPECT_EQ(cmd("2147483647.9"), INT_MAX);
}

TEST(ScanMessageCodes, OtherTypesAndOutOfRangeNumbersAreNoCode) {
    auto cmd = [](const std::string& value) { return scan_message("{\"cmd\":" + value + "}").cmd; };
    EXPECT_FALSE(cmd("\"42\"").has_value());
    EXPECT_FALSE(cmd("null").has_value());
    EXPECT_FALSE(cmd("[42]").has_value());
    EXPECT_FALSE(cmd("{\"cmd\":42}").has_value());
    EXPECT_FALSE(cmd("2147483648").has_value());
    EXPECT_FALSE(cmd("-2147483649").has_value());
    EXPECT_FALSE(cmd("4294967338").has_value());
    EXPECT_FALSE(cmd("1e30").has_value());
    EXPECT_FALSE(scan_message("{}").cmd.has_value());
}

TEST(ScanMessageCodes, OnlyTopLevelMembersCountAndTheLastRepeatWins) {
    const ScannedMessage nested = scan_message(R"({"x":{"cmd":42,"ret":0,"state":{}},"y":[{"cmd":1}]})");
    EXPECT_FALSE(nested.cmd.has_value());
    EXPECT_FALSE(nested.ret.has_value());
    EXPECT_FALSE(nested.state.has_value());

    const ScannedMessage repeated = scan_message(R"({"cmd":1,"ret":5,"cmd":42,"ret":"x"})");
    EXPECT_EQ(repeated.cmd, 42);
    EXPECT_FALSE(repeated.ret.has_value());
    EXPECT_EQ(json::parse(R"({"cmd":1,"cmd":42})")["cmd"], 42);

    const ScannedMessage escaped = scan_message(R"({"c\u006dd":42,"r\u0065t":0,"st\u0061te":{"fs":2}})");
    EXPECT_EQ(escaped.cmd, 42);
    EXPECT_EQ(escaped.ret, 0);
    EXPECT_EQ(escaped.state, std::string_view(R"({"fs":2})"));
    EXPECT_FALSE(scan_message(R"({"cmd\u0000":42})").cmd.has_value());
    EXPECT_FALSE(scan_message(R"({"cm":42,"cmdx":43})").cmd.has_value());
}

TEST(ScanMessageCodes, StateMemberTextIsKeptAsSent) {
    EXPECT_EQ(scan_message(R"({"state": 5 })").state, std::string_view("5"));
    EXPECT_EQ(scan_message(R"({"state":"x","cmd":1})").state, std::string_view("\"x\""));
    EXPECT_EQ(scan_message(R"({"state":{"a":[1,{}]} ,"ret":0})").state, std::string_view(R"({"a":[1,{}]})"));
    EXPECT_EQ(scan_message(R"({"state":null})").state, std::string_view("null"));
}

TEST(ClassifyMessage, LoginReplies) {
    const MessageRules rules;
    auto meaning = [&](const std::string& text) { return classify_message(scan_message(text), rules); };
    EXPECT_TRUE(meaning(R"({"cmd":42,"ret":0})").login_reply);
    EXPECT_TRUE(meaning(R"({"cmd":42,"ret":0})").login_ok);
    EXPECT_TRUE(meaning(R"({"cmd":42,"ret":1})").login_reply);
    EXPECT_FALSE(meaning(R"({"cmd":42,"ret":1})").login_ok);
    // No ret reads as -1: a failed login.
    EXPECT_TRUE(meaning(R"({"cmd":42})").login_reply);
    EXPECT_FALSE(meaning(R"({"cmd":42})").login_ok);
    EXPECT_FALSE(meaning(R"({"cmd":42,"ret":0})").state_push);
}

TEST(ClassifyMessage, StatePushesNeedTheirRet) {
    const MessageRules rules;
    auto push = [&](const std::string& text) { return classify_message(scan_message(text), rules).state_push; };
    EXPECT_TRUE(push(R"({"cmd":1,"ret":0,"state":{}})"));
    EXPECT_TRUE(push(R"({"cmd":1.7,"ret":false})"));
    EXPECT_FALSE(push(R"({"cmd":1,"ret":1,"state":{}})"));
    EXPECT_FALSE(push(R"({"cmd":1,"state":{}})"));
    EXPECT_FALSE(push(R"({"ret":0,"state":{}})"));
    EXPECT_FALSE(push(R"({"cmd":1,"ret":0,"state":)"));
}

TEST(ClassifyMessage, DefaultsAndCodesComeFromTheRules) {
    MessageRules rules;
    rules.default_cmd = 1;
    rules.default_ret = 0;
    EXPECT_TRUE(classify_message(scan_message(R"({"state":{}})"), rules).state_push);

    MessageRules same;
    same.login_resp_cmd = 7;
    same.state_push_cmd = 7;
    const auto both = classify_message(scan_message(R"({"cmd":7,"ret":0})"), same);
    EXPECT_TRUE(both.login_reply);
    EXPECT_TRUE(both.login_ok);
    EXPECT_TRUE(both.state_push);
}
