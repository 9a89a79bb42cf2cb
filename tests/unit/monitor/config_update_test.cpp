#include "app/config_update.h"

#include <gtest/gtest.h>

#include "log_capture.h"
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
        record_config_stats(stats, config);
    }

    HttpReply update(const std::string& body) { return handle_config_update(config, path, body, stats); }
    json shown() const { return stats.getStatsJson()["config"]; }

    testsupport::TempDir dir;
    std::string path = dir.file("config.json");
    const std::string original = "{\"mission\": {\"fs_idle\": 9}}";
    SharedConfig config{AppConfig{}};
    StatsManager stats;
};

}  // namespace

// The page posts all fifteen settings: only those that differ are saved,
// logged and listed; those read by a link at its start wait for a restart,
// and the page shows them pending. Secrets are never shown.
TEST_F(ConfigUpdateTest, AcceptedUpdateIsPublishedSavedLoggedAndShownMasked) {
    testsupport::LogCapture log;
    const HttpReply unchanged = update(R"({"platform":{"site_id":"qtpe-8264"},"mqtt":{"port":1883}})");
    EXPECT_EQ(unchanged.body, R"({"changed":[],"message":"Config updated","restart_required":[],"success":true})");
    EXPECT_EQ(read_file(path), original) << "nothing changed, nothing saved";

    const HttpReply reply = update(R"({"socketio":{"uri":"ws://u:1","access_key":"k"},"px4ctrl":{"host":"ph","port":1},
        "mqtt":{"host":"mh","port":1883,"request_topic":"rq","response_topic":"rs"},
        "platform":{"url":"http://pu","site_id":"ps"},"siyi":{"ip":"si","http_port":3,"img_dir":"sd"},
        "stats":{"enabled":true,"web_port":4}})");
    EXPECT_EQ(reply.status, 200);
    const json body = json::parse(reply.body);
    EXPECT_EQ(body["restart_required"], json({"px4ctrl.host", "px4ctrl.port", "socketio.uri", "mqtt.host",
                                              "mqtt.response_topic", "stats.web_port"}));
    EXPECT_EQ(body["changed"].size(), 13u);
    EXPECT_EQ(config.snapshot()->socketio.access_key, "k");
    const json saved = json::parse(read_file(path));
    EXPECT_EQ(saved["platform"]["site_id"], "ps");
    EXPECT_EQ(saved["mission"]["fs_idle"], 9);
    EXPECT_EQ(log.count("[Config] Updated px4ctrl.host, px4ctrl.port, socketio.uri, socketio.access_key, mqtt.host"),
              1u);
    EXPECT_EQ(log.text().find("\"k\""), std::string::npos);
    EXPECT_EQ(shown(), json::parse(R"({"sio_uri": "ws://u:1", "sio_access_key": "******", "px4_host": "ph",
        "px4_port": 1, "mqtt_host": "mh", "mqtt_port": 1883, "mqtt_request_topic": "rq", "mqtt_response_topic": "rs",
        "platform_url": "http://pu", "platform_site_id": "ps", "siyi_ip": "si", "siyi_port": 3, "siyi_img_dir": "sd",
        "stats_enabled": true, "stats_web_port": 4, "restart_pending": ["px4_host", "px4_port", "sio_uri",
        "mqtt_host", "mqtt_response_topic", "stats_web_port"]})"));
    // Back to the start-up value: no longer pending.
    update(R"({"px4ctrl":{"port":53001}})");
    EXPECT_EQ(shown()["restart_pending"].size(), 5u);
}

// One bad value, an unwritable file: the whole request is refused; nothing
// is applied, saved or shown. An invalid document says why, always in JSON. Each setting's own
// refusals: see the configuration's tests.
TEST_F(ConfigUpdateTest, AnyRefusedValueOrInvalidBodyChangesNothing) {
    const json before = shown();
    struct Row {
        const char* body;
        json refused;  // null: "No valid fields to update"
    };
    const std::vector<Row> rows = {
        {"[1,2]", nullptr},
        {R"({"siyi":{"http_port":-5},"platform":{"site_id":"ok"}})", {{"siyi.http_port", "out of range 1..65535"}}},
        {R"({"mission":{"fs_idle":1},"siyi":{"http_port":80}})", {{"mission.fs_idle", "not changeable while running"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body);
        const HttpReply reply = update(row.body);
        EXPECT_EQ(reply.status, 400);
        const json body = json::parse(reply.body);
        EXPECT_EQ(body["success"], false);
        EXPECT_EQ(body["message"], row.refused.is_null() ? "No valid fields to update" : "Invalid values");
        EXPECT_EQ(body.value("refused", json()), row.refused);
    }
    const HttpReply broken = update("\"\xff\xfe\"");
    EXPECT_EQ(broken.status, 400);
    EXPECT_EQ(json::parse(broken.body)["message"].get<std::string>().rfind("Invalid JSON: [json.exception.", 0), 0u);
    // A file that cannot be written: refused whole and logged.
    testsupport::LogCapture log;
    const std::string missing = dir.file("gone/config.json");
    const HttpReply reply = handle_config_update(config, missing, R"({"platform":{"site_id":"new"}})", stats);
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, R"({"message":"Cannot save )" + missing + R"(: No such file or directory","success":false})");
    EXPECT_EQ(log.count("[Config] Cannot save " + missing + ": No such file or directory; update not applied"), 1u);
    EXPECT_EQ(read_file(path), original);
    EXPECT_EQ(shown(), before);
    EXPECT_EQ(config.snapshot()->platform.site_id, "qtpe-8264");
}
