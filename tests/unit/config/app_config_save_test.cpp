#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

#include "config/app_config.h"
#include "config_fields.h"
#include "test_support.h"

using nlohmann::json;
using configtest::hot_paths;
using configtest::keyed_fields;
using configtest::nest;
using testsupport::directory_entries;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

// The text save writes for the fifteen hot settings at their defaults.
const char* const kDefaultHotFile = R"({
    "mqtt": {
        "host": "127.0.0.1",
        "port": 1883,
        "request_topic": "/api/carUavModule/indoorPlatform/cmd/request",
        "response_topic": "/api/carUavModule/indoorPlatform/cmd/response"
    },
    "platform": {
        "site_id": "qtpe-8264",
        "url": "http://127.0.0.1:8087"
    },
    "px4ctrl": {
        "host": "127.0.0.1",
        "port": 53001
    },
    "siyi": {
        "http_port": 82,
        "img_dir": "101SIYI_IMG",
        "ip": "192.168.144.25"
    },
    "socketio": {
        "access_key": "4821-9037",
        "uri": "http://127.0.0.1:8080"
    },
    "stats": {
        "enabled": true,
        "web_port": 18080
    }
})";

}  // namespace

TEST(HotUpdate, AssignsAKnownKeyAndIgnoresUnknownOnes)
{
    AppConfig c;
    EXPECT_TRUE(c.updateHotConfig(json::parse(R"({"siyi":{"http_port":80},"unknown":{"a":1}})")));
    EXPECT_EQ(c.siyi.http_port, 80);
}

TEST(HotUpdate, WrongTypeAloneIsNoUpdate)
{
    AppConfig c;
    EXPECT_FALSE(c.updateHotConfig(json::parse(R"({"siyi":{"http_port":"80"}})")));
    EXPECT_FALSE(c.updateHotConfig(json::parse(R"({"siyi":{"http_port":80.0}})")));
    EXPECT_EQ(c.siyi.http_port, 82);
}

TEST(HotUpdate, WrongTypeIsSkippedWhileOtherKeysApply)
{
    AppConfig c;
    EXPECT_TRUE(c.updateHotConfig(json::parse(R"({"siyi":{"http_port":"80","ip":"10.0.0.9"},"stats":{"enabled":1}})")));
    EXPECT_EQ(c.siyi.ip, "10.0.0.9");
    EXPECT_EQ(c.siyi.http_port, 82);
    EXPECT_TRUE(c.stats.enabled);
}

TEST(HotUpdate, EachOfTheFifteenIsAssigned)
{
    const auto defaults = keyed_fields(AppConfig{});
    for (const std::string& path : hot_paths()) {
        const json& old = defaults.at(path);
        const json value = old.is_string() ? json("new-" + old.get<std::string>())
                           : old.is_boolean() ? json(!old.get<bool>())
                                              : json(old.get<int>() + 1);
        AppConfig c;
        EXPECT_TRUE(c.updateHotConfig(nest(path, value))) << path;
        auto expected = defaults;
        expected[path] = value;
        EXPECT_EQ(keyed_fields(c), expected) << path;
    }
}

TEST(HotUpdate, NoOtherSettingIsHot)
{
    const std::set<std::string> hot(hot_paths().begin(), hot_paths().end());
    ASSERT_EQ(hot.size(), 15u);
    for (const auto& [path, value] : keyed_fields(AppConfig{})) {
        if (hot.count(path) != 0) continue;
        const json other = value.is_string() ? json("x") : value.is_boolean() ? json(!value.get<bool>()) : json(1);
        AppConfig c;
        EXPECT_FALSE(c.updateHotConfig(nest(path, other))) << path;
        EXPECT_EQ(keyed_fields(c), keyed_fields(AppConfig{})) << path;
    }
}

TEST(HotUpdate, SameValueStillCounts)
{
    AppConfig c;
    EXPECT_TRUE(c.updateHotConfig(json::parse(R"({"px4ctrl":{"host":"127.0.0.1"}})")));
}

TEST(HotUpdate, NoRangeCheckAnd32BitConversion)
{
    AppConfig c;
    EXPECT_TRUE(c.updateHotConfig(json::parse(R"({"stats":{"web_port":70000},"mqtt":{"port":0},"px4ctrl":{"port":4294967297}})")));
    EXPECT_EQ(c.stats.web_port, 70000);
    EXPECT_EQ(c.mqtt.port, 0);
    EXPECT_EQ(c.px4ctrl.port, 1);
}

TEST(HotUpdate, DocumentsWithoutHotKeys)
{
    AppConfig c;
    EXPECT_FALSE(c.updateHotConfig(json::parse(R"({"mission":{"fs_idle":9}})")));
    EXPECT_EQ(c.mission.fs_idle, 0);
    EXPECT_FALSE(c.updateHotConfig(json::array({json::object({{"siyi", {{"ip", "1.1.1.1"}}}})})));
    EXPECT_FALSE(c.updateHotConfig(json::parse(R"({"siyi":"1.1.1.1","stats":[true]})")));
    EXPECT_EQ(keyed_fields(c), keyed_fields(AppConfig{}));
}

class ConfigSave : public ::testing::Test {
protected:
    TempDir dir_;
    std::string path_ = dir_.file("config.json");
    AppConfig config_;
};

TEST_F(ConfigSave, NewFileHoldsTheHotKeysSortedIndentedWithoutFinalNewline)
{
    ASSERT_TRUE(config_.save(path_));
    EXPECT_EQ(read_file(path_), kDefaultHotFile);
}

TEST_F(ConfigSave, KeepsEveryOtherSectionAndKey)
{
    write_file(path_, R"({"mission":{"fs_idle":9},"custom":{"list":[1,"two"]},"siyi":{"ip":"old","note":"hand-edited"}})");
    config_.siyi.ip = "10.9.8.7";
    config_.mission.fs_idle = 4;  // only in memory: never written
    ASSERT_TRUE(config_.save(path_));

    const json saved = json::parse(read_file(path_));
    EXPECT_EQ(saved["mission"], json::parse(R"({"fs_idle":9})"));
    EXPECT_EQ(saved["custom"], json::parse(R"({"list":[1,"two"]})"));
    EXPECT_EQ(saved["siyi"]["note"], "hand-edited");
    EXPECT_EQ(saved["siyi"]["ip"], "10.9.8.7");
    json expected_hot = json::parse(kDefaultHotFile);
    expected_hot["siyi"]["ip"] = "10.9.8.7";
    expected_hot["siyi"]["note"] = "hand-edited";
    json without_extra = saved;
    without_extra.erase("mission");
    without_extra.erase("custom");
    EXPECT_EQ(without_extra, expected_hot);
}

TEST_F(ConfigSave, WritesRawUtf8)
{
    config_.platform.site_id = "站点-7";
    ASSERT_TRUE(config_.save(path_));
    const std::string text = read_file(path_);
    EXPECT_NE(text.find("\"site_id\": \"站点-7\""), std::string::npos) << text;
    EXPECT_EQ(text.find("\\u"), std::string::npos);
}

TEST_F(ConfigSave, InvalidUtf8IsReplacedNotThrown)
{
    config_.platform.site_id = std::string("ab\xff", 3);
    ASSERT_TRUE(config_.save(path_));
    EXPECT_EQ(json::parse(read_file(path_))["platform"]["site_id"], "ab\xEF\xBF\xBD");
}

TEST_F(ConfigSave, MissingDirectoryFails)
{
    const std::string path = dir_.file("absent/config.json");
    EXPECT_FALSE(config_.save(path));
    EXPECT_FALSE(testsupport::file_exists(path));
    EXPECT_TRUE(directory_entries(dir_.path()).empty());
}

TEST_F(ConfigSave, LeavesNoTemporaryFile)
{
    write_file(path_, R"({"custom":1})");
    ASSERT_TRUE(config_.save(path_));
    ASSERT_TRUE(config_.save(path_));
    EXPECT_EQ(directory_entries(dir_.path()), (std::set<std::string>{"config.json"}));
}

TEST_F(ConfigSave, FailedRenameLeavesTargetAndNoTemporaryFile)
{
    const std::string target = dir_.file("is_a_dir");
    ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
    EXPECT_FALSE(config_.save(target));
    EXPECT_EQ(directory_entries(dir_.path()), (std::set<std::string>{"is_a_dir"}));
}

TEST_F(ConfigSave, KeepsTheFilePermissions)
{
    write_file(path_, "{}");
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ASSERT_TRUE(config_.save(path_));
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ConfigSave, DamagedFileKeepsWhatWasReadBeforeTheError)
{
    write_file(path_, R"({"custom": {"a": 1}, "siyi": {"note": "x"}, "tail": [1, )");
    ASSERT_TRUE(config_.save(path_));
    const json saved = json::parse(read_file(path_));
    EXPECT_EQ(saved["custom"], json::parse(R"({"a":1})"));
    EXPECT_EQ(saved["siyi"]["note"], "x");
    EXPECT_EQ(saved["siyi"]["ip"], "192.168.144.25");
    EXPECT_EQ(saved["tail"], json::array({1}));
}

TEST_F(ConfigSave, NonObjectDocumentsStartFromScratch)
{
    for (const char* content : {"", "[1,2]", "\"text\"", "nonsense {"}) {
        write_file(path_, content);
        ASSERT_TRUE(config_.save(path_)) << content;
        EXPECT_EQ(read_file(path_), kDefaultHotFile) << content;
    }
}

TEST_F(ConfigSave, SectionThatIsNotAnObjectIsReplaced)
{
    write_file(path_, R"({"siyi": 5, "stats": [1]})");
    ASSERT_TRUE(config_.save(path_));
    EXPECT_EQ(read_file(path_), kDefaultHotFile);
}

TEST_F(ConfigSave, WhatIsSavedLoadsBack)
{
    config_.updateHotConfig(json::parse(R"({"px4ctrl":{"host":"10.2.3.4","port":6000},"stats":{"enabled":false}})"));
    ASSERT_TRUE(config_.save(path_));
    AppConfig loaded;
    ASSERT_TRUE(loaded.load(path_));
    EXPECT_EQ(keyed_fields(loaded), keyed_fields(config_));
}
