#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "config/settings.h"
#include "test_support.h"

using namespace kovo::config;
using nlohmann::json;
using testsupport::read_file;
using testsupport::write_file;
using Rule = TextRule;
using Lines = std::vector<std::string>;
using testing::ElementsAre;
using testing::MatchesRegex;

namespace {

// Texts each rule takes (the first differs from every default) and refuses, and why.
const std::multimap<Rule, const char*> kGoodTexts{
    {Rule::HOST, "fe80::1"},        {Rule::HOST, "cam_1.local"},      {Rule::URL, "ws://[::1]:9/a?b"},
    {Rule::URL, "https://h:65535"}, {Rule::REQUEST_PATH, "/a/b?c=d"}, {Rule::FILE_NAME, "..a b"},
    {Rule::STRFTIME, "%Ey %% %Od"}, {Rule::IP_ADDRESS, "::1"},        {Rule::IP_ADDRESS, "127.0.0.1"}};
const std::multimap<Rule, const char*> kBadTexts{
    {Rule::NON_EMPTY, ""},       {Rule::HOST, "a b"},           {Rule::URL, "127.0.0.1:80"},
    {Rule::URL, "http://h:0"},   {Rule::URL, "http://h:65536"}, {Rule::URL, "http://h/a b"},
    {Rule::REQUEST_PATH, "api"}, {Rule::FILE_NAME, "a/b"},      {Rule::FILE_NAME, ".."},
    {Rule::STRFTIME, "%Y-%Q"},   {Rule::STRFTIME, "%"},         {Rule::IP_ADDRESS, "1.2.3.256"}};
const std::map<Rule, std::string> kWhy{{Rule::NON_EMPTY, "empty"},
                                       {Rule::HOST, "not a host name or address"},
                                       {Rule::URL, "not a URL scheme://host[:port][/path]"},
                                       {Rule::REQUEST_PATH, "not a path beginning with /"},
                                       {Rule::FILE_NAME, "not a file name (no /, not . or ..)"},
                                       {Rule::STRFTIME, "not a strftime pattern"},
                                       {Rule::IP_ADDRESS, "not a numeric IP address"}};

// A document holding value at the dotted path.
json nest(const std::string& path, const json& value) {
    const auto dot = path.find('.');
    if (dot == std::string::npos) return {{path, value}};
    return {{path.substr(0, dot), nest(path.substr(dot + 1), value)}};
}

json defaults_with(const std::string& path, const json& value) {
    json doc = AppConfig{}.toJson();
    doc.merge_patch(nest(path, value));
    return doc;
}

// Values other than the default that the rule accepts; the first serves the hot update and the save.
std::vector<json> valid_values(const Setting& s) {
    const json& d = s.default_value;
    if (d.is_boolean()) return {!d.get<bool>()};
    if (d.is_array()) return {json::array({s.rule.max, s.rule.min})};
    if (d.is_number())
        return d == s.rule.max ? std::vector<json>{s.rule.min} : std::vector<json>{s.rule.max, s.rule.min};
    std::vector<json> out;
    for (auto [it, end] = kGoodTexts.equal_range(s.rule.text); it != end; ++it)
        out.push_back(it->second);
    if (out.empty()) out.push_back(d.get<std::string>() + "~");
    return out;
}

// Values the setting refuses, with the reason it gives.
std::vector<std::pair<json, std::string>> refused_values(const Setting& s) {
    const std::string type = s.typeName();
    const std::string range = std::to_string(s.rule.min) + ".." + std::to_string(s.rule.max);
    if (type == "bool") return {{"true", "expected true or false"}};
    if (type == "string") {
        std::vector<std::pair<json, std::string>> out{{12, "expected a string"}};
        for (auto [it, end] = kBadTexts.equal_range(s.rule.text); it != end; ++it)
            out.emplace_back(it->second, kWhy.at(s.rule.text));
        return out;
    }
    if (type.rfind("list", 0) == 0) {
        return {{5, "expected a list"},
                {json::array({s.rule.min - 1}), "element out of range " + range},
                {json::array({1, s.rule.max + 1}), "element out of range " + range}};
    }
    return {{2.0, "expected an integer"},
            {s.rule.min - 1, "out of range " + range},
            {s.rule.max + 1, "out of range " + range}};
}

// load's lines, tagged with their stream.
Lines tagged(const std::vector<LoadMessage>& messages) {
    Lines lines;
    for (const LoadMessage& m : messages)
        lines.push_back((m.error ? "err " : "out ") + m.text);
    return lines;
}

class ConfigFile : public ::testing::Test {
protected:
    Lines loadLines(AppConfig& config, const std::string& doc) {
        write_file(path_, doc);
        return tagged(config.load(path_));
    }
    // "Loaded from", then one "Ignoring" line for each of ignoring.
    Lines loaded(Lines ignoring = {}) {
        for (std::string& line : ignoring)
            line = "err [Config] Ignoring " + line;
        ignoring.insert(ignoring.begin(), "out [Config] Loaded from " + path_);
        return ignoring;
    }

    testsupport::TempDir dir_;
    std::string path_ = dir_.file("config.json");
};

}  // namespace

// config/config.json holds every key at the value the table ships, laid out as a save writes it.
TEST(SettingsTable, DefaultFileMatchesTheTable) {
    const std::string text = read_file(testsupport::source_path("config/config.json"));
    json shipped = AppConfig{}.toJson();
    for (const Setting& s : settings()) {
        std::string pointer = "/" + s.path();
        std::replace(pointer.begin(), pointer.end(), '.', '/');
        shipped[json::json_pointer(pointer)] = s.shippedValue();
    }
    EXPECT_EQ(shipped, json::parse(text));
    EXPECT_EQ(text, json::parse(text).dump(4));
}

// A key copied into the wrong member, a range or rule off, a hot flag wrong: each changes the wrong value.
TEST_F(ConfigFile, EverySettingTakesWhatItsRuleAcceptsAndIgnoresTheRest) {
    const json defaults = AppConfig{}.toJson();
    for (const Setting& s : settings()) {
        SCOPED_TRACE(s.path());
        for (const json& value : valid_values(s)) {
            AppConfig c;
            EXPECT_TRUE(c.loadFromJson(nest(s.path(), value)).refused.empty()) << value;
            EXPECT_EQ(c.toJson(), defaults_with(s.path(), value));
        }
        const json valid = valid_values(s).front();
        const json with_valid = defaults_with(s.path(), valid);
        AppConfig loaded_config, hot_config;
        EXPECT_EQ(loadLines(loaded_config, nest(s.path(), valid).dump()), loaded());
        const ApplyResult hot = hot_config.updateHotConfig(nest(s.path(), valid));
        EXPECT_EQ(hot.accepted.empty(), !s.hot());
        EXPECT_EQ(hot_config.toJson(), s.hot() ? with_valid : defaults);
        if (!s.hot()) {
            EXPECT_EQ(hot.refused.at(0).why, "not changeable while running");
        }
        for (const auto& [value, why] : refused_values(s)) {
            SCOPED_TRACE(value.dump());
            EXPECT_EQ(loadLines(loaded_config, nest(s.path(), value).dump()), loaded({s.path() + ": " + why}));
            EXPECT_EQ(loaded_config.toJson(), with_valid);
            const ApplyResult refused = hot_config.updateHotConfig(nest(s.path(), value));
            EXPECT_TRUE(refused.accepted.empty());
            EXPECT_EQ(refused.refused.at(0).why, s.hot() ? why : "not changeable while running");
        }
    }
}

TEST_F(ConfigFile, UnknownMisshapenAndUnreadablePartsAreNamed) {
    AppConfig c;
    EXPECT_EQ(loadLines(c, R"({"extra": {"a": 1}, "app": "x", "socketio": {"events": [1]}, "mission": {"fs_kovo": 9},
        "uav_defaults": {"battery_vol_f": 3.0}})"),
              loaded({"app: expected an object", "extra: unknown section", "mission.fs_kovo: unknown key",
                      "socketio.events: expected an object", "uav_defaults.battery_vol_f: unknown key"}));
    // Only the first value of a file counts; one that is no object gives nothing.
    for (const char* doc : {R"([{"px4ctrl": {"port": 1}}])", "5", R"({"mqtt": {"qos": 2}} {"mqtt": {"qos": 0}} x)"}) {
        EXPECT_EQ(loadLines(c, doc), loaded()) << doc;
    }
    // A file that cannot be read (broken JSON, a directory) keeps the record as it was.
    write_file(path_, R"({"px4ctrl": {"port": 1234},)");
    for (const std::string& path : {path_, dir_.path()}) {
        EXPECT_THAT(tagged(c.load(path)),
                    ElementsAre(MatchesRegex("err \\[Config\\] Parse error in " + path + ": .+, using defaults")));
    }
    EXPECT_EQ(c.toJson(), defaults_with("mqtt.qos", 2));
    EXPECT_TRUE(c.updateHotConfig(json::parse(R"([{"siyi": {"ip": "h"}}])")).accepted.empty());
}

TEST(ConfigValues, ListsSkipElementsOfOtherTypesAndCompanionsFollowTheirTexts) {
    AppConfig c;
    c.loadFromJson(json::parse(R"({"px4ctrl": {"reconnect_backoff_ms": [500, "x", 1.5, 800]},
        "uav_defaults": {"battery_vol": " 12.6V"}})"));
    EXPECT_EQ(c.px4ctrl.reconnect_backoff_ms, (std::vector<uint32_t>{500, 800}));
    EXPECT_FLOAT_EQ(c.uav_defaults.battery_vol_f, 12.6f);
    for (const char* text : {"abc", "1e60"}) {  // no number; beyond the float range: the value stays
        c.loadFromJson({{"uav_defaults", {{"battery_vol", text}}}});
        EXPECT_EQ(c.uav_defaults.battery_vol, text);
        EXPECT_FLOAT_EQ(c.uav_defaults.battery_vol_f, 12.6f);
    }
}

// Every hot setting written, the file's other readable keys kept; replaced whole with its permissions, or not at all.
TEST_F(ConfigFile, SaveWritesTheHotSettingsIntoWhatTheFileHeld) {
    AppConfig c;
    json hot = json::object();
    for (const Setting& s : settings()) {
        c.loadFromJson(nest(s.path(), valid_values(s).front()));
        if (s.hot()) hot.merge_patch(nest(s.path(), valid_values(s).front()));
    }
    const auto saves = [&](const char* content, const char* kept) {
        SCOPED_TRACE(content);
        write_file(path_, content);
        ASSERT_TRUE(c.save(path_));
        json expected = json::parse(kept);
        expected.merge_patch(hot);
        EXPECT_EQ(read_file(path_), expected.dump(4));
    };
    saves(R"({"mission": {"fs_idle": 9}, "custom": {"list": [1, "二"]}, "siyi": {"ip": "old", "note": "手"}})",
          R"({"mission": {"fs_idle": 9}, "custom": {"list": [1, "二"]}, "siyi": {"note": "手"}})");
    saves(R"({"custom": {"a": 1}, "siyi": {"note": "x"}, "tail": [1, )",
          R"({"custom": {"a": 1}, "siyi": {"note": "x"}, "tail": [1]})");
    for (const char* content : {R"({"siyi": 5, "stats": [1]})", "", "[1,2]", "nonsense {"})
        saves(content, "{}");
    c.platform.site_id = "ab\xff";
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ASSERT_TRUE(c.save(path_));
    EXPECT_EQ(json::parse(read_file(path_))["platform"]["site_id"], "ab\xEF\xBF\xBD");
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_FALSE(c.save(dir_.file("absent/config.json")));
    EXPECT_EQ(testsupport::directory_entries(dir_.path()), (std::set<std::string>{"config.json"}));
}
