#include "app/config_update.h"

#include <gtest/gtest.h>

#include "test_support.h"

using namespace kovo::config;
using namespace kovo::monitor;
using namespace kovo::app;

using nlohmann::json;
using testsupport::read_file;

namespace {

class ConfigUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::write_file(path, original);
        record_config_stats(stats, *config.snapshot());
    }

    std::string update(const std::string& body) { return handle_config_update(config, path, body, stats); }
    json shown() const { return stats.getStatsJson()["config"]; }

    testsupport::TempDir dir;
    std::string path = dir.file("config.json");
    const std::string original = "{\"mission\": {\"fs_idle\": 9}}";
    SharedConfig config{AppConfig{}};
    StatsManager stats;
};

}  // namespace

// The page always posts all fifteen settings; the statistics show them under
// the names the page reads.
TEST_F(ConfigUpdateTest, EverySettingIsPublishedSavedAndShownUnderItsName) {
    EXPECT_EQ(update(R"({"socketio":{"uri":"ws://u:1","access_key":"k"},"px4ctrl":{"host":"ph","port":1},
        "mqtt":{"host":"mh","port":2,"request_topic":"rq","response_topic":"rs"},
        "platform":{"url":"http://pu","site_id":"ps"},"siyi":{"ip":"si","http_port":3,"img_dir":"sd"},
        "stats":{"enabled":false,"web_port":4},"unknown":1})"),
              "{\"success\":true,\"message\":\"Config updated\"}");
    EXPECT_EQ(config.snapshot()->platform.site_id, "ps");
    const json saved = json::parse(read_file(path));
    EXPECT_EQ(saved["platform"]["site_id"], "ps");
    EXPECT_EQ(saved["mission"]["fs_idle"], 9);
    EXPECT_EQ(shown(), (json{{"sio_uri", "ws://u:1"},
                             {"sio_access_key", "k"},
                             {"px4_host", "ph"},
                             {"px4_port", 1},
                             {"mqtt_host", "mh"},
                             {"mqtt_port", 2},
                             {"mqtt_request_topic", "rq"},
                             {"mqtt_response_topic", "rs"},
                             {"platform_url", "http://pu"},
                             {"platform_site_id", "ps"},
                             {"siyi_ip", "si"},
                             {"siyi_port", 3},
                             {"siyi_img_dir", "sd"},
                             {"stats_enabled", false},
                             {"stats_web_port", 4}}));
}

// Nothing taken: no save, the statistics unchanged. Invalid JSON: the
// parser's message quotes the input (quotes, backslashes, bad UTF-8), yet the
// reply is always JSON.
TEST_F(ConfigUpdateTest, RefusedOrInvalidBodiesChangeNothing) {
    const json before = shown();
    for (const char* body : {"{}", R"({"siyi":{"http_port":"80"},"mission":{"fs_idle":1}})",
                             R"({"siyi":{"http_port":70000},"px4ctrl":{"port":4294967297}})", "[1,2]"}) {
        EXPECT_EQ(update(body), "{\"success\":false,\"message\":\"No valid fields to update\"}") << body;
    }
    const std::string invalid = "{\"success\":false,\"message\":\"Invalid JSON: ";
    EXPECT_EQ(update("nope").rfind(invalid + "[json.exception.parse_error.101] ", 0), 0u);
    for (const std::string& body : {std::string("{\"a\":\"b"), std::string("\"\\q\""), std::string("\"\xff\xfe\""),
                                    std::string("{\"x\":\"\x01\"}"), std::string("")}) {
        const std::string reply = update(body);
        EXPECT_EQ(reply.rfind(invalid, 0), 0u) << reply;
        EXPECT_TRUE(json::accept(reply)) << reply;
    }
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(shown(), before);
}
