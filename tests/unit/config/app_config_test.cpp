#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "config/shared_config.h"
#include "config_fields.h"
#include "test_support.h"

using namespace kovo::config;

using nlohmann::json;
using namespace configtest;
using testsupport::directory_entries;
using testsupport::read_file;
using testsupport::write_file;

// A key copied into the wrong member, or read with the wrong type rule, shows
// up as a second setting that changed or as one that did not.
TEST(ConfigKeys, EachKeyReachesOnlyItsOwnSettingAndOnlyWithItsType) {
    for (const auto& [path, value] : fields(AppConfig{})) {
        if (!has_key(path)) continue;
        const json changed = other_value(value);
        EXPECT_EQ(fields(loaded_from(nest(path, changed))), defaults_with({{path, changed}})) << path;
        EXPECT_EQ(fields(loaded_from(nest(path, other_value(value, false)))), defaults_with({})) << path;
    }
}

// Keyless fields, unknown keys, sections and documents that are not objects.
TEST(ConfigKeys, DocumentsWithNothingApplicableChangeNothing) {
    for (const char* doc :
         {R"({"px4ctrl":{"lws_context_port":5},"mission":{"fs_kovo":9},"uav_defaults":{"battery_vol_f":3.0}})",
          R"({"extra":{"a":1},"siyi":{"colour":"red"},"px4ctrl":5,"socketio":{"events":"mission"}})",
          R"({"platform":{"timeout":[1,2],"endpoints":null},"mission":{"defaults":true},"app":"x"})",
          R"([{"px4ctrl":{"port":1}}])", "5", "null", R"("px4ctrl")"}) {
        EXPECT_EQ(fields(loaded_from(json::parse(doc))), defaults_with({})) << doc;
    }
}

// The value given at a key, and what the setting then holds.
TEST(ConfigKeys, ConversionRules) {
    const auto holds = [](const std::string& key, const json& given, const json& held) {
        SCOPED_TRACE(key + " = " + given.dump());
        EXPECT_EQ(fields(loaded_from(nest(key, given))).at(key), held);
    };
    holds("px4ctrl.port", "1234", 53001);
    // int keeps the low 32 bits; long holds 64, an unsigned beyond them by its bit pattern.
    holds("mqtt.port", 4294967297LL, 1);
    holds("mqtt.port", 2147483648LL, -2147483647 - 1);
    holds("platform.timeout.post_json", 9000000000LL, 9000000000LL);
    holds("platform.timeout.download", 18446744073709551615ULL, -1);
    // Lists: emptied, then the integer elements appended (low 32 bits).
    holds("px4ctrl.reconnect_backoff_ms", json::parse(R"([500,"x",1.5,800])"), {500, 800});
    holds("px4ctrl.reconnect_backoff_ms", json::array(), json::array());
    holds("px4ctrl.reconnect_backoff_ms", {-1, 4294967296LL}, {4294967295LL, 0});
    holds("mission.flying_fs_codes", json::parse("[-1,4294967298,null,7]"), {-1, 2, 7});
}

TEST(ConfigKeys, CompanionTakesTheTextsNumberOrKeepsItsValue) {
    AppConfig c;
    c.loadFromJson(json::parse(R"({"uav_defaults":{"battery_vol":"12.6V"}})"));
    EXPECT_EQ(c.uav_defaults.battery_vol, "12.6V");
    EXPECT_FLOAT_EQ(c.uav_defaults.battery_vol_f, 12.6f);
    for (const char* text : {"abc", "1e60"}) {  // no number; beyond the float range
        c.loadFromJson({{"uav_defaults", {{"battery_vol", text}}}});
        EXPECT_EQ(c.uav_defaults.battery_vol, text);
        EXPECT_FLOAT_EQ(c.uav_defaults.battery_vol_f, 12.6f);
    }
    // Recomputed for every text of a present section, key given or not.
    c.uav_defaults.atti_r = "4.25";
    c.loadFromJson(json::parse(R"({"uav_defaults":{}})"));
    EXPECT_FLOAT_EQ(c.uav_defaults.atti_r_f, 4.25f);
}

// load's result and the settings it leaves. Its messages are checked on the
// daemon's own output (tests/integration/cli).
TEST(ConfigLoadFile, ResultAndSettingsLeft) {
    testsupport::TempDir dir;
    const auto loads = [&dir](const char* content, bool loaded, const Fields& changed) {
        SCOPED_TRACE(content);
        write_file(dir.file("c.json"), content);
        AppConfig c;
        EXPECT_EQ(c.load(dir.file("c.json")), loaded);
        EXPECT_EQ(fields(c), defaults_with(changed));
    };
    loads(R"({"px4ctrl": {"port": 1234, "host": "h"},)", false, {});
    loads("{}", true, {});
    loads(R"([{"px4ctrl": {"port": 1}}])", true, {});
    loads(R"({"px4ctrl": {"port": 1}} {"px4ctrl": {"port": 2}} not json)", true, {{"px4ctrl.port", 1}});
    AppConfig c;
    EXPECT_FALSE(c.load(dir.file("absent.json")));
    EXPECT_FALSE(c.load(dir.path()));  // a directory: reported, not thrown
    EXPECT_EQ(fields(c), defaults_with({}));
}

TEST(HotUpdate, EachOfTheFifteenIsAssignedAndNoOtherSetting) {
    ASSERT_EQ(kHotPaths.size(), 15u);
    for (const auto& [path, value] : fields(AppConfig{})) {
        const json other = other_value(value);
        const bool hot = kHotPaths.count(path) == 1;
        AppConfig c;
        EXPECT_EQ(c.updateHotConfig(nest(path, other)), hot) << path;
        EXPECT_EQ(fields(c), defaults_with(hot ? Fields{{path, other}} : Fields{})) << path;
    }
}

// A document, updateHotConfig's result and the settings it changed.
TEST(HotUpdate, TypeRulesAndResult) {
    const auto updates = [](const char* doc, bool updated, const Fields& changed) {
        SCOPED_TRACE(doc);
        AppConfig c;
        EXPECT_EQ(c.updateHotConfig(json::parse(doc)), updated);
        EXPECT_EQ(fields(c), defaults_with(changed));
    };
    updates(R"({"siyi":{"http_port":80},"unknown":{"a":1}})", true, {{"siyi.http_port", 80}});
    updates(R"({"siyi":{"http_port":"80","ip":"10.0.0.9"},"stats":{"enabled":1}})", true, {{"siyi.ip", "10.0.0.9"}});
    updates(R"({"px4ctrl":{"host":"127.0.0.1"}})", true, {});  // the same value still counts
    // No range check; integers keep their low 32 bits.
    updates(R"({"stats":{"web_port":70000},"mqtt":{"port":0},"px4ctrl":{"port":4294967297}})", true,
            {{"stats.web_port", 70000}, {"mqtt.port", 0}, {"px4ctrl.port", 1}});
    for (const char* doc :
         {R"({"siyi":{"http_port":"80"}})", R"({"siyi":{"http_port":80.0}})", R"({"mission":{"fs_idle":9}})",
          R"([{"siyi":{"ip":"1.1.1.1"}}])", R"({"siyi":"1.1.1.1","stats":[true]})"}) {
        updates(doc, false, {});
    }
}

class ConfigSave : public ::testing::Test {
protected:
    // The file save wrote: a 4-space, key-sorted dump with raw UTF-8 and no
    // final newline, holding the fifteen hot settings of config_ and extra.
    void expectSaved(Fields extra = {}) {
        const std::string text = read_file(path_);
        EXPECT_EQ(text, json::parse(text).dump(4, ' ', false));
        for (const std::string& path : kHotPaths)
            extra[path] = fields(config_).at(path);
        EXPECT_EQ(flatten(json::parse(text)), extra);
    }

    testsupport::TempDir dir_;
    std::string path_ = dir_.file("config.json");
    AppConfig config_;
};

// The file's former content (nullptr: no file) and what of it is kept: every
// key but the hot ones, as far as it can be read. A setting that is not hot
// is never written.
TEST_F(ConfigSave, KeepsWhatTheFileHeldAndReplacesTheHotKeys) {
    config_.platform.site_id = "站点-7";
    config_.mission.fs_idle = 4;
    const auto keeps = [this](const char* content, const Fields& kept) {
        SCOPED_TRACE(content == nullptr ? "no file" : content);
        std::remove(path_.c_str());
        if (content != nullptr) write_file(path_, content);
        ASSERT_TRUE(config_.save(path_));
        expectSaved(kept);
    };
    keeps(R"({"mission":{"fs_idle":9},"custom":{"list":[1,"two"]},"siyi":{"ip":"old","note":"hand"}})",
          {{"mission.fs_idle", 9}, {"custom.list", {1, "two"}}, {"siyi.note", "hand"}});
    keeps(R"({"custom": {"a": 1}, "siyi": {"note": "x"}, "tail": [1, )",
          {{"custom.a", 1}, {"siyi.note", "x"}, {"tail", {1}}});
    for (const char* content : {R"({"siyi": 5, "stats": [1]})", "", "[1,2]", "\"text\"", "nonsense {"}) {
        keeps(content, {});
    }
    keeps(nullptr, {});
}

TEST_F(ConfigSave, ReplacesInvalidUtf8) {
    config_.platform.site_id = "ab\xff";
    ASSERT_TRUE(config_.save(path_));
    EXPECT_EQ(json::parse(read_file(path_))["platform"]["site_id"], "ab\xEF\xBF\xBD");
}

TEST_F(ConfigSave, ReplacesTheFileWholeOrNotAtAll) {
    EXPECT_FALSE(config_.save(dir_.file("absent/config.json")));
    EXPECT_TRUE(directory_entries(dir_.path()).empty());
    const std::string a_dir = dir_.file("is_a_dir");
    ASSERT_EQ(::mkdir(a_dir.c_str(), 0755), 0);
    EXPECT_FALSE(config_.save(a_dir));
    EXPECT_EQ(directory_entries(dir_.path()), (std::set<std::string>{"is_a_dir"}));

    write_file(path_, R"({"custom":1})");
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    ASSERT_TRUE(config_.save(path_));
    ASSERT_TRUE(config_.save(path_));
    EXPECT_EQ(directory_entries(dir_.path()), (std::set<std::string>{"config.json", "is_a_dir"}));
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(ConfigSave, SharedConfigPublishesATakenUpdateAndSavesIt) {
    SharedConfig shared{config_};
    const auto before = shared.snapshot();
    EXPECT_FALSE(shared.applyHotUpdate(json::parse(R"({"mission":{"fs_idle":3}})"), path_));
    EXPECT_EQ(shared.snapshot(), before);
    EXPECT_FALSE(testsupport::file_exists(path_));

    ASSERT_TRUE(shared.applyHotUpdate(json::parse(R"({"siyi":{"ip":"10.0.0.2"}})"), path_));
    EXPECT_EQ(before->siyi.ip, "192.168.144.25");
    config_.siyi.ip = "10.0.0.2";
    EXPECT_EQ(fields(*shared.snapshot()), fields(config_));
    expectSaved();
    // A failed save does not undo the update.
    EXPECT_TRUE(shared.applyHotUpdate(json::parse(R"({"mqtt":{"host":"broker"}})"), dir_.file("no/c.json")));
    EXPECT_EQ(shared.snapshot()->mqtt.host, "broker");
}

// Readers on several threads copy strings while hot updates replace them:
// ThreadSanitizer reports any unsynchronised access, and each pair read must
// be one that was published together (long values, so that a torn copy of a
// heap-allocated string would show).
TEST(SharedConfig, ReadersNeverSeeAHalfAssignedValue) {
    const std::string url[2] = {"http://a/" + std::string(200, 'a'), "http://b/" + std::string(300, 'b')};
    AppConfig initial;
    initial.platform.url = url[0];
    initial.platform.site_id = "site-0";
    SharedConfig shared{initial};
    testsupport::TempDir dir;  // the saves fail: the race under test is in memory
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            for (; !stop; ++reads) {
                const auto snap = shared.snapshot();
                const std::string u = snap->platform.url;
                const std::string site = snap->platform.site_id;
                if (!(u == url[0] && site == "site-0") && !(u == url[1] && site == "site-1")) ++bad;
            }
        });
    }
    for (int i = 1; i <= 400; ++i) {
        const std::string n = std::to_string(i % 2);
        shared.applyHotUpdate({{"platform", {{"url", url[i % 2]}, {"site_id", "site-" + n}}}}, dir.file("no/c.json"));
    }
    testsupport::wait_until([&] { return reads > 1000; }, std::chrono::seconds(5));
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(shared.snapshot()->platform.url, url[0]);
}
