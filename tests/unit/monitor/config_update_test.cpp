#include "app/config_update.h"

#include <gtest/gtest.h>

#include "test_support.h"

using nlohmann::json;
using testsupport::read_file;
using testsupport::TempDir;
using testsupport::write_file;

namespace {

const char kUpdated[] = "{\"success\":true,\"message\":\"Config updated\"}";
const char kNoFields[] = "{\"success\":false,\"message\":\"No valid fields to update\"}";
const char kInvalidPrefix[] = "{\"success\":false,\"message\":\"Invalid JSON: ";

class ConfigUpdateTest : public ::testing::Test {
protected:
    void SetUp() override { write_file(path, original); }

    std::string update(const std::string& body) { return handle_config_update(config, path, body, stats); }
    json shown() const { return stats.getStatsJson()["config"]; }

    TempDir dir;
    std::string path = dir.file("config.json");
    const std::string original = "{\"mission\": {\"fs_idle\": 9}}";
    SharedConfig config{AppConfig{}};
    StatsManager stats;
};

}  // namespace

TEST_F(ConfigUpdateTest, AcceptedFieldIsPublishedSavedAndShown) {
    EXPECT_EQ(update(R"({"platform":{"site_id":"new-site"},"unknown":1})"), kUpdated);

    EXPECT_EQ(config.snapshot()->platform.site_id, "new-site");
    const json saved = json::parse(read_file(path));
    EXPECT_EQ(saved["platform"]["site_id"], "new-site");
    EXPECT_EQ(saved["mission"]["fs_idle"], 9);
    EXPECT_EQ(saved["px4ctrl"]["port"], 53001);

    const json cfg = shown();
    EXPECT_EQ(cfg["platform_site_id"], "new-site");
    EXPECT_EQ(cfg["px4_port"], 53001);
    EXPECT_EQ(cfg["stats_enabled"], true);
}

TEST_F(ConfigUpdateTest, UnchangedValueStillCountsAsUpdated) {
    EXPECT_EQ(update(R"({"siyi":{"http_port":82}})"), kUpdated);
    EXPECT_NE(read_file(path), original);
}

TEST_F(ConfigUpdateTest, NothingApplicableChangesNothing) {
    for (const char* body : {"{}", R"({"siyi":{"http_port":"80"}})", R"({"mission":{"fs_idle":1}})", "[1,2]"}) {
        EXPECT_EQ(update(body), kNoFields) << body;
    }
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(shown()["platform_site_id"], "");
}

TEST_F(ConfigUpdateTest, ParseErrorKeepsThePlainPrefixAndMessage) {
    std::string what;
    try {
        what = json::parse("not json").dump();
    } catch (const std::exception& e) {
        what = e.what();
    }
    ASSERT_FALSE(what.empty());
    EXPECT_EQ(update("not json"), std::string(kInvalidPrefix) + what + "\"}");
    EXPECT_EQ(read_file(path), original);
}

TEST_F(ConfigUpdateTest, InvalidJsonReplyIsAlwaysJson) {
    // Parser messages quote the input: quotes, backslashes, bad UTF-8.
    for (const std::string& body : {std::string("{\"a\":\"b"), std::string("\"\\q\""), std::string("\"\xff\xfe\""),
                                   std::string("{\"x\":\"\x01\"}"), std::string("")}) {
        const std::string reply = update(body);
        EXPECT_EQ(reply.rfind(kInvalidPrefix, 0), 0u) << reply;
        json parsed;
        ASSERT_NO_THROW(parsed = json::parse(reply)) << reply;
        EXPECT_EQ(parsed["success"], false);
        EXPECT_EQ(parsed["message"].get<std::string>().rfind("Invalid JSON: ", 0), 0u);
    }
}

TEST_F(ConfigUpdateTest, UnwritableFileStillAnswersUpdated) {
    const std::string missing = dir.file("no-such-dir/config.json");
    EXPECT_EQ(handle_config_update(config, missing, R"({"mqtt":{"port":1999}})", stats), kUpdated);
    EXPECT_EQ(config.snapshot()->mqtt.port, 1999);
    EXPECT_EQ(shown()["mqtt_port"], 1999);
    EXPECT_FALSE(testsupport::file_exists(missing));
}

TEST(ConfigStats, FifteenValuesUnderTheirNames) {
    AppConfig c;
    c.socketio.uri = "u";
    c.socketio.access_key = "k";
    c.px4ctrl.host = "ph";
    c.px4ctrl.port = 1;
    c.mqtt.host = "mh";
    c.mqtt.port = 2;
    c.mqtt.request_topic = "rq";
    c.mqtt.response_topic = "rs";
    c.platform.url = "pu";
    c.platform.site_id = "ps";
    c.siyi.ip = "si";
    c.siyi.http_port = 3;
    c.siyi.img_dir = "sd";
    c.stats.enabled = false;
    c.stats.web_port = 4;
    StatsManager stats;
    stats.recordConfig("x", "x", "x", 9, "x", 9, "x", "x", "x", "x", "x", 9, "x", true, 9);
    record_config_stats(stats, c);
    EXPECT_EQ(stats.getStatsJson()["config"], (json{{"sio_uri", "u"},
                                                    {"sio_access_key", "k"},
                                                    {"px4_host", "ph"},
                                                    {"px4_port", 1},
                                                    {"mqtt_host", "mh"},
                                                    {"mqtt_port", 2},
                                                    {"mqtt_request_topic", "rq"},
                                                    {"mqtt_response_topic", "rs"},
                                                    {"platform_url", "pu"},
                                                    {"platform_site_id", "ps"},
                                                    {"siyi_ip", "si"},
                                                    {"siyi_port", 3},
                                                    {"siyi_img_dir", "sd"},
                                                    {"stats_enabled", false},
                                                    {"stats_web_port", 4}}));
}
