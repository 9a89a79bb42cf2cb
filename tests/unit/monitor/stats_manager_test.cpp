#include "monitor/stats_manager.h"

#include <tuple>

#include <gtest/gtest.h>

using namespace kovo::monitor;

using namespace std::chrono_literals;
using nlohmann::json;
using SteadyTime = std::chrono::steady_clock::time_point;

namespace {

// A hand-moved clock, well after the epoch that stands for "never connected".
class StatsTest : public ::testing::Test {
protected:
    SteadyTime now = SteadyTime{} + 1000s;
    std::string wall = "w0";
    StatsManager stats{[this] { return now; }, [this] { return wall; }};

    json get(const char* key) const { return stats.getStatsJson()[key]; }
    json missions(int limit) const { return stats.getMissionsJson(limit); }
    void start(const std::string& id) {
        stats.onMissionStarted(id, "s-" + id, "p-" + id, "a-" + id, 3, "/tmp/" + id, "t0");
    }
};

json link_counts(int connects, int disconnects, bool connected, int seconds) {
    return json{{"connect_count", connects},
                {"disconnect_count", disconnects},
                {"currently_connected", connected},
                {"total_connected_seconds", seconds}};
}

}  // namespace

TEST_F(StatsTest, UptimeAndEachLinksConnectedSecondsLiveAndAfterwards) {
    now += 50s;  // before the start-up
    stats.recordStartup("t-up");
    const auto counts = [&](const char* link) {
        json c = get(link);
        c.erase("down_reason");  // only the car link gives up
        return c;
    };
    // A disconnection of a link never connected only counts.
    now += 30s;
    stats.onSioDisconnected();
    EXPECT_EQ(counts("sio"), link_counts(0, 1, false, 0));
    stats.onSioConnected();
    now += 90s;
    EXPECT_EQ(counts("sio"), link_counts(1, 1, true, 90));
    now += 10900ms;
    stats.onSioDisconnected();
    now += 50s;
    EXPECT_EQ(counts("sio"), link_counts(1, 2, false, 100));
    // Each connection adds its own whole seconds: 100.9 + 5.9 is 105.
    stats.onSioConnected();
    now += 5900ms;
    EXPECT_EQ(counts("sio"), link_counts(2, 2, true, 105));
    // The other links count on their own.
    stats.onWsConnected();
    stats.onMqttConnected();
    now += 2s;
    stats.onMqttDisconnected();
    EXPECT_EQ(counts("websocket"), link_counts(1, 0, true, 2));
    EXPECT_EQ(counts("mqtt"), link_counts(1, 1, false, 2));
    EXPECT_EQ(counts("sio"), link_counts(2, 2, true, 107));
    EXPECT_EQ(std::make_tuple(get("running"), get("uptime_seconds")), std::make_tuple(json(true), json(188)));
    stats.recordShutdown("t-down");
    EXPECT_EQ(std::make_tuple(get("running"), get("uptime_seconds")), std::make_tuple(json(false), json(0)));
}

TEST_F(StatsTest, TerminalHooksCloseTheCurrentRecordOnly) {
    // A second start leaves the first record running for good.
    start("m0");
    start("m1");
    EXPECT_EQ(get("missions")["running"].dump(), "1");  // an integer, and one
    EXPECT_EQ(missions(10)[1], json::parse(R"({"mission_id": "m1", "strategy_id": "s-m1", "point_id": "p-m1",
        "action_id": "a-m1", "start_time": "t0", "end_time": "", "status": "running", "point_count": 3,
        "task_dir": "/tmp/m1", "reason": "", "photos": {"listed": 0, "uploaded": 0, "failed": 0}})"));
    stats.onMissionSuccess("t-success");
    start("m2");
    stats.onMissionPhotos(3, 1, 2);
    stats.onMissionFailed("photos_not_uploaded", "t-failed");
    // Without a current mission a terminal hook only counts.
    stats.onMissionSuccess("t-late");

    const json list = missions(10);
    json outcomes = json::array();
    for (const json& record : list)
        outcomes.push_back({record["status"], record["end_time"], record["reason"], record["photos"]["uploaded"]});
    EXPECT_EQ(outcomes, json::parse(R"([["running", "", "", 0], ["success", "t-success", "", 0],
        ["failed", "t-failed", "photos_not_uploaded", 1]])"));
    EXPECT_EQ(get("missions"), (json{{"total", 3}, {"success", 2}, {"failed", 1}, {"aborted", 0}, {"running", 0}}));
    stats.onSioGaveUp(4);
    EXPECT_EQ(get("sio")["down_reason"], "gave up after 4 reconnection attempts");
}

TEST_F(StatsTest, ListShowsTheNewestOfABoundedHistoryOldestFirst) {
    start("m1");
    const size_t started = StatsManager::kMissionHistoryLimit + 5;
    for (size_t i = 2; i <= started; ++i) {
        stats.onMissionSuccess("end");
        start("m" + std::to_string(i));
    }
    EXPECT_EQ(missions(5000)[0]["mission_id"], "m6");
    EXPECT_EQ(stats.getMissionPage(999, 20)["missions"].back()["mission_id"], "m6");

    // The current mission survived the trimming and is the one closed now;
    // the counters keep counting.
    stats.onMissionFailed("r", "the-end");
    EXPECT_EQ(missions(1)[0]["mission_id"], "m" + std::to_string(started));
    EXPECT_EQ(get("missions"),
              (json{{"total", started}, {"success", started - 1}, {"failed", 1}, {"aborted", 0}, {"running", 0}}));
}

// Up or down since the last change, the last error kept after recovery; newest errors first.
TEST_F(StatsTest, PeerHealthAndRecentErrors) {
    stats.onWsConnected();
    wall = "w1";
    stats.onTransfer(Peer::CAMERA, true, "");
    stats.onTransfer(Peer::CAMERA, true, "HTTP 404");
    stats.onSioDisconnected();
    wall = "w2";
    stats.onWsConnected();
    stats.onSioGaveUp(5);
    stats.onTransfer(Peer::PLATFORM, false, "transfer failed");
    const json peers = get("peers");
    EXPECT_EQ(peers["px4ctrl"], json::parse(R"({"up":true,"since":"w0","last_error":"","last_error_time":""})"));
    EXPECT_EQ(peers["camera"],
              json::parse(R"({"up":true,"since":"w1","last_error":"HTTP 404","last_error_time":"w1"})"));
    EXPECT_EQ(peers["car"]["since"], "w1");
    EXPECT_EQ(peers["car"]["last_error"], "gave up after 5 reconnection attempts");
    EXPECT_EQ(peers["platform"]["up"], false);
    EXPECT_EQ(peers["broker"], json::object());
    for (size_t i = 0; i < StatsManager::kRecentErrorLimit + 3; ++i)
        stats.onErrorRecord("e" + std::to_string(i));
    const json errors = get("recent_errors");
    ASSERT_EQ(errors.size(), StatsManager::kRecentErrorLimit);
    EXPECT_EQ(errors.front(), json::parse(R"({"time":"w2","text":"e22"})"));
    EXPECT_EQ(errors.back()["text"], "e3");
}
