#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "config/app_config.h"
#include "config_fields.h"
#include "test_support.h"

using nlohmann::json;
using configtest::keyed_fields;
using configtest::keyless_fields;
using configtest::nest;

namespace {

// Redirects std::cout and std::cerr for the lifetime of the object.
class CapturedOutput {
public:
    CapturedOutput() : old_out_(std::cout.rdbuf(out_.rdbuf())), old_err_(std::cerr.rdbuf(err_.rdbuf())) {}
    ~CapturedOutput()
    {
        std::cout.rdbuf(old_out_);
        std::cerr.rdbuf(old_err_);
    }
    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

private:
    std::ostringstream out_;
    std::ostringstream err_;
    std::streambuf* old_out_;
    std::streambuf* old_err_;
};

AppConfig loaded_from(const json& doc)
{
    AppConfig c;
    c.load_from_json(doc);
    return c;
}

// A value of the same JSON type as v that differs from it.
json changed_value(const json& v)
{
    if (v.is_string()) return v.get<std::string>() + "~changed";
    if (v.is_boolean()) return !v.get<bool>();
    if (v.is_array()) return json::array({9, 8});
    return v.get<int64_t>() + 7;
}

// A value of a JSON type the setting does not accept.
json wrong_type_value(const json& v)
{
    if (v.is_string()) return 12;
    if (v.is_boolean()) return "true";
    if (v.is_array()) return json::object({{"0", 1}});
    return 2.0;
}

}  // namespace

TEST(ConfigDefaults, KeylessFieldsAndCompanions)
{
    const AppConfig c;
    EXPECT_EQ(c.px4ctrl.lws_context_port, -1);
    EXPECT_EQ(c.mission.fs_kovo, 7);
    for (const auto& [name, value] : keyless_fields(c)) {
        if (name.size() > 2 && name.compare(name.size() - 2, 2, "_f") == 0) {
            EXPECT_EQ(value, 0.0) << name;
        }
    }
}

TEST(ConfigDefaults, ListsInTheirOrder)
{
    const AppConfig c;
    EXPECT_EQ(c.mission.reboot_allowed_fs_codes, (std::vector<int>{2, 0}));
    EXPECT_EQ(c.mission.flying_fs_codes, (std::vector<int>{3, 4, 6, 7}));
    EXPECT_EQ(c.px4ctrl.reconnect_backoff_ms, (std::vector<uint32_t>{1000, 2000, 3000, 4000, 5000}));
}

TEST(ConfigDefaults, EndpointsShareTheRequestTopic)
{
    const AppConfig c;
    EXPECT_EQ(c.platform.endpoints.flight_history, c.mqtt.request_topic);
    EXPECT_EQ(c.platform.endpoints.status_history, c.mqtt.request_topic);
    EXPECT_EQ(c.platform.endpoints.arrive_point, c.mqtt.request_topic);
}

TEST(ConfigDefaults, CopiesOwnTheirValues)
{
    AppConfig a;
    AppConfig b = a;
    b.siyi.ip = "10.0.0.1";
    b.mission.flying_fs_codes.push_back(9);
    EXPECT_EQ(a.siyi.ip, "192.168.144.25");
    EXPECT_EQ(a.mission.flying_fs_codes.size(), 4u);
}

TEST(ConfigKeys, EveryKeyReachesItsOwnSetting)
{
    const auto defaults = keyed_fields(AppConfig{});
    for (const auto& [path, value] : defaults) {
        const json changed = changed_value(value);
        const AppConfig c = loaded_from(nest(path, changed));
        auto expected = defaults;
        expected[path] = changed;
        EXPECT_EQ(keyed_fields(c), expected) << path;
    }
}

TEST(ConfigKeys, WrongJsonTypeKeepsTheSetting)
{
    const AppConfig defaults;
    for (const auto& [path, value] : keyed_fields(defaults)) {
        const AppConfig c = loaded_from(nest(path, wrong_type_value(value)));
        EXPECT_EQ(keyed_fields(c), keyed_fields(defaults)) << path;
        EXPECT_EQ(keyless_fields(c), keyless_fields(defaults)) << path;
    }
}

TEST(ConfigKeys, KeylessFieldsAreNeverRead)
{
    const AppConfig c = loaded_from({{"px4ctrl", {{"lws_context_port", 5}}},
                                     {"mission", {{"fs_kovo", 9}}},
                                     {"uav_defaults", {{"battery_vol_f", 3.0}}}});
    EXPECT_EQ(keyless_fields(c), keyless_fields(AppConfig{}));
}

TEST(ConfigKeys, SectionsThatAreNotObjectsChangeNothing)
{
    const AppConfig c = loaded_from({{"px4ctrl", 5},
                                     {"socketio", {{"events", "mission"}}},
                                     {"platform", {{"timeout", json::array({1, 2})}, {"endpoints", nullptr}}},
                                     {"mission", {{"defaults", true}}},
                                     {"app", "x"}});
    EXPECT_EQ(keyed_fields(c), keyed_fields(AppConfig{}));
}

TEST(ConfigKeys, DocumentThatIsNotAnObjectChangesNothing)
{
    for (const json& doc : {json::array({json::object({{"px4ctrl", {{"port", 1}}}})}), json(5), json(nullptr),
                            json("px4ctrl")}) {
        EXPECT_EQ(keyed_fields(loaded_from(doc)), keyed_fields(AppConfig{})) << doc.dump();
    }
}

TEST(ConfigIntegers, FractionalNumbersAndTextAreNotIntegers)
{
    EXPECT_EQ(loaded_from(json::parse(R"({"px4ctrl":{"port":"1234"}})")).px4ctrl.port, 53001);
    EXPECT_EQ(loaded_from(json::parse(R"({"px4ctrl":{"port":1234.0}})")).px4ctrl.port, 53001);
    EXPECT_EQ(loaded_from(json::parse(R"({"px4ctrl":{"port":1234.5}})")).px4ctrl.port, 53001);
    EXPECT_EQ(loaded_from(json::parse(R"({"px4ctrl":{"port":1234}})")).px4ctrl.port, 1234);
}

TEST(ConfigIntegers, IntKeepsTheLow32Bits)
{
    EXPECT_EQ(loaded_from(json::parse(R"({"mqtt":{"port":4294967297}})")).mqtt.port, 1);
    EXPECT_EQ(loaded_from(json::parse(R"({"mqtt":{"port":2147483648}})")).mqtt.port, -2147483647 - 1);
    EXPECT_EQ(loaded_from(json::parse(R"({"mqtt":{"port":-4294967295}})")).mqtt.port, 1);
    EXPECT_EQ(loaded_from(json::parse(R"({"mission":{"fs_idle":-3}})")).mission.fs_idle, -3);
}

TEST(ConfigIntegers, TimeoutsAre64Bit)
{
    const AppConfig c = loaded_from(json::parse(
        R"({"platform":{"timeout":{"post_json":2147483648,"post_form":9000000000,"post_file":-5,"download":18446744073709551615}}})"));
    EXPECT_EQ(c.platform.timeout.post_json, int64_t{2147483648});
    EXPECT_EQ(c.platform.timeout.post_form, int64_t{9000000000});
    EXPECT_EQ(c.platform.timeout.post_file, -5);
    // An unsigned value beyond the signed range keeps its bit pattern.
    EXPECT_EQ(c.platform.timeout.download, -1);
    EXPECT_EQ(loaded_from(json::parse(R"({"platform":{"timeout":{"download":30.0}}})")).platform.timeout.download,
              30);
}

TEST(ConfigLists, OnlyIntegerElementsAreKept)
{
    const AppConfig c = loaded_from(json::parse(R"({"px4ctrl":{"reconnect_backoff_ms":[500,"x",1.5,800]}})"));
    EXPECT_EQ(c.px4ctrl.reconnect_backoff_ms, (std::vector<uint32_t>{500, 800}));
}

TEST(ConfigLists, EmptyArrayEmptiesTheList)
{
    const AppConfig c = loaded_from(json::parse(R"({"px4ctrl":{"reconnect_backoff_ms":[]},"mission":{"flying_fs_codes":[]}})"));
    EXPECT_TRUE(c.px4ctrl.reconnect_backoff_ms.empty());
    EXPECT_TRUE(c.mission.flying_fs_codes.empty());
}

TEST(ConfigLists, NonArrayLeavesTheDefault)
{
    const AppConfig c = loaded_from(json::parse(R"({"px4ctrl":{"reconnect_backoff_ms":1000},"mission":{"reboot_allowed_fs_codes":"2,0"}})"));
    EXPECT_EQ(c.px4ctrl.reconnect_backoff_ms, AppConfig{}.px4ctrl.reconnect_backoff_ms);
    EXPECT_EQ(c.mission.reboot_allowed_fs_codes, (std::vector<int>{2, 0}));
}

TEST(ConfigLists, ElementsKeepTheirLow32Bits)
{
    const AppConfig c = loaded_from(
        json::parse(R"({"px4ctrl":{"reconnect_backoff_ms":[-1,4294967296]},"mission":{"flying_fs_codes":[-1,4294967298,null,7]}})"));
    EXPECT_EQ(c.px4ctrl.reconnect_backoff_ms, (std::vector<uint32_t>{4294967295u, 0}));
    EXPECT_EQ(c.mission.flying_fs_codes, (std::vector<int>{-1, 2, 7}));
}

TEST(UavDefaultsCompanions, TextIsKeptVerbatimAndItsNumberTaken)
{
    const AppConfig c = loaded_from(json::parse(R"({"uav_defaults":{"battery_vol":"12.6V","lpos_x":" 7","lpos_y":"1e3","atti_y":"-0.5"}})"));
    EXPECT_EQ(c.uav_defaults.battery_vol, "12.6V");
    EXPECT_FLOAT_EQ(c.uav_defaults.battery_vol_f, 12.6f);
    EXPECT_FLOAT_EQ(c.uav_defaults.lpos_x_f, 7.0f);
    EXPECT_FLOAT_EQ(c.uav_defaults.lpos_y_f, 1000.0f);
    EXPECT_FLOAT_EQ(c.uav_defaults.atti_y_f, -0.5f);
}

TEST(UavDefaultsCompanions, TextWithoutNumberKeepsThePreviousCompanion)
{
    AppConfig c = loaded_from(json::parse(R"({"uav_defaults":{"lpos_z":"abc","lpos_vx":"","atti_p":"1e60"}})"));
    EXPECT_EQ(c.uav_defaults.lpos_z, "abc");
    EXPECT_EQ(c.uav_defaults.lpos_z_f, 0.0f);
    EXPECT_EQ(c.uav_defaults.lpos_vx_f, 0.0f);
    EXPECT_EQ(c.uav_defaults.atti_p, "1e60");
    EXPECT_EQ(c.uav_defaults.atti_p_f, 0.0f);

    c.load_from_json(json::parse(R"({"uav_defaults":{"lpos_z":"3.5"}})"));
    c.load_from_json(json::parse(R"({"uav_defaults":{"lpos_z":"m"}})"));
    EXPECT_EQ(c.uav_defaults.lpos_z, "m");
    EXPECT_FLOAT_EQ(c.uav_defaults.lpos_z_f, 3.5f);
}

TEST(UavDefaultsCompanions, RecomputedFromTheCurrentTextWhenTheKeyIsAbsent)
{
    AppConfig c;
    c.uav_defaults.atti_r = "4.25";
    c.load_from_json(json::parse(R"({"uav_defaults":{}})"));
    EXPECT_FLOAT_EQ(c.uav_defaults.atti_r_f, 4.25f);
}

TEST(UavDefaultsCompanions, FlagsOnlyFromBooleans)
{
    EXPECT_FALSE(loaded_from(json::parse(R"({"uav_defaults":{"online":"true","armed":1}})")).uav_defaults.online);
    const AppConfig c = loaded_from(json::parse(R"({"uav_defaults":{"online":true,"armed":true,"battery_remain":87}})"));
    EXPECT_TRUE(c.uav_defaults.online);
    EXPECT_TRUE(c.uav_defaults.armed);
    EXPECT_EQ(c.uav_defaults.battery_remain, 87);
}

class ConfigLoadFile : public ::testing::Test {
protected:
    bool load(const std::string& content)
    {
        testsupport::write_file(path_, content);
        CapturedOutput capture;
        const bool ok = config_.load(path_);
        out_ = capture.out();
        err_ = capture.err();
        return ok;
    }

    testsupport::TempDir dir_;
    std::string path_ = dir_.file("config.json");
    AppConfig config_;
    std::string out_;
    std::string err_;
};

TEST_F(ConfigLoadFile, MissingFileKeepsDefaultsAndSaysSo)
{
    const std::string missing = dir_.file("absent.json");
    CapturedOutput capture;
    EXPECT_FALSE(config_.load(missing));
    EXPECT_EQ(capture.err(), "[Config] Failed to open " + missing + ", using defaults\n");
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(keyed_fields(config_), keyed_fields(AppConfig{}));
}

TEST_F(ConfigLoadFile, SyntaxErrorAppliesNothing)
{
    EXPECT_FALSE(load(R"({"px4ctrl": {"port": 1234, "host": "h"},)"));
    const std::string prefix = "[Config] Parse error in " + path_ + ": ";
    ASSERT_EQ(err_.compare(0, prefix.size(), prefix), 0) << err_;
    const std::string suffix = ", using defaults\n";
    ASSERT_GT(err_.size(), prefix.size() + suffix.size());
    EXPECT_EQ(err_.compare(err_.size() - suffix.size(), suffix.size(), suffix), 0) << err_;
    EXPECT_EQ(out_, "");
    EXPECT_EQ(keyed_fields(config_), keyed_fields(AppConfig{}));
}

TEST_F(ConfigLoadFile, EmptyFileIsASyntaxError)
{
    EXPECT_FALSE(load(""));
    EXPECT_NE(err_.find("[Config] Parse error in " + path_), std::string::npos);
}

TEST_F(ConfigLoadFile, EmptyObjectLoadsAndChangesNothing)
{
    EXPECT_TRUE(load("{}"));
    EXPECT_EQ(out_, "[Config] Loaded from " + path_ + "\n");
    EXPECT_EQ(err_, "");
    EXPECT_EQ(keyed_fields(config_), keyed_fields(AppConfig{}));
}

TEST_F(ConfigLoadFile, TopLevelArrayLoadsAndChangesNothing)
{
    EXPECT_TRUE(load(R"([{"px4ctrl": {"port": 1}}])"));
    EXPECT_EQ(out_, "[Config] Loaded from " + path_ + "\n");
    EXPECT_EQ(keyed_fields(config_), keyed_fields(AppConfig{}));
}

TEST_F(ConfigLoadFile, ContentAfterTheFirstValueIsNotRead)
{
    EXPECT_TRUE(load(R"({"px4ctrl": {"port": 1}} {"px4ctrl": {"port": 2}} not json)"));
    EXPECT_EQ(config_.px4ctrl.port, 1);
    EXPECT_EQ(err_, "");
}

TEST_F(ConfigLoadFile, UnknownKeysAreIgnored)
{
    EXPECT_TRUE(load(R"({"extra": {"a": 1}, "px4ctrl": {"colour": "red", "host": "10.1.1.1"}})"));
    EXPECT_EQ(config_.px4ctrl.host, "10.1.1.1");
    auto expected = keyed_fields(AppConfig{});
    expected["px4ctrl.host"] = "10.1.1.1";
    EXPECT_EQ(keyed_fields(config_), expected);
}

TEST_F(ConfigLoadFile, DirectoryIsReportedNotThrown)
{
    CapturedOutput capture;
    EXPECT_FALSE(config_.load(dir_.path()));
    EXPECT_NE(capture.err().find(dir_.path()), std::string::npos);
    EXPECT_NE(capture.err().find(", using defaults\n"), std::string::npos);
    EXPECT_EQ(keyed_fields(config_), keyed_fields(AppConfig{}));
}
