#include "monitor/stats_manager.h"

#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

using namespace kovo::monitor;

using namespace std::chrono_literals;
using nlohmann::json;
using SteadyTime = std::chrono::steady_clock::time_point;

namespace {

// The statistics over a steady clock the test moves by hand; it starts well
// after the epoch so that "never connected" (the epoch) stays distinct.
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

TEST_F(StatsTest, UptimeCountsFromStartupUntilShutdown) {
    now += 50s;  // before the start-up
    stats.recordStartup("2026-05-17 10:00:00");
    now += 42900ms;
    EXPECT_EQ(get("running"), true);
    EXPECT_EQ(get("uptime_seconds"), 42u);
    EXPECT_EQ(get("startup_time"), "2026-05-17 10:00:00");
    stats.recordShutdown("2026-05-17 10:00:42");
    EXPECT_EQ(get("running"), false);
    EXPECT_EQ(get("uptime_seconds"), 0u);
    EXPECT_EQ(get("shutdown_time"), "2026-05-17 10:00:42");
}

TEST_F(StatsTest, EachLinkCountsItsConnectedSecondsLiveAndAfterwards) {
    struct Link {
        const char* name;
        void (StatsManager::*up)();
        void (StatsManager::*down)();
    };
    const std::vector<Link> links = {{"sio", &StatsManager::onSioConnected, &StatsManager::onSioDisconnected},
                                     {"websocket", &StatsManager::onWsConnected, &StatsManager::onWsDisconnected},
                                     {"mqtt", &StatsManager::onMqttConnected, &StatsManager::onMqttDisconnected}};
    for (const Link& link : links) {
        SCOPED_TRACE(link.name);
        StatsManager s{[this] { return now; }};
        const auto counts = [&] {
            json c = s.getStatsJson()[link.name];
            c.erase("down_reason");  // only the car link gives up
            return c;
        };
        // A disconnection of a link never connected only counts.
        now += 30s;
        (s.*link.down)();
        EXPECT_EQ(counts(), link_counts(0, 1, false, 0));
        (s.*link.up)();
        now += 90s;
        EXPECT_EQ(counts(), link_counts(1, 1, true, 90));
        now += 10900ms;
        (s.*link.down)();
        now += 50s;
        EXPECT_EQ(counts(), link_counts(1, 2, false, 100));
        // Each connection adds its own whole seconds: 100.9 + 5.9 is 105.
        (s.*link.up)();
        now += 5900ms;
        EXPECT_EQ(counts(), link_counts(2, 2, true, 105));
        (s.*link.down)();
        EXPECT_EQ(counts()["total_connected_seconds"], 105u);
        int connects = 0;
        for (const Link& any : links)
            connects += s.getStatsJson()[any.name]["connect_count"].get<int>();
        EXPECT_EQ(connects, 2);  // the other links saw nothing
    }
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
    EXPECT_EQ(get("sio")["down_reason"], "");
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
    const json list = missions(100);
    ASSERT_EQ(list.size(), 100u);
    EXPECT_EQ(list.front()["mission_id"], "m" + std::to_string(started - 99));
    EXPECT_EQ(list.back()["mission_id"], "m" + std::to_string(started));
    EXPECT_EQ(missions(5000).size(), StatsManager::kMissionHistoryLimit);
    EXPECT_EQ(missions(5000)[0]["mission_id"], "m6");
    EXPECT_EQ(missions(0), json::array());
    // Pages of the dashboard, newest first; past the last is the last.
    EXPECT_EQ(stats.getMissionPage(2, 20)["missions"][0]["mission_id"], "m" + std::to_string(started - 20));
    const json last = stats.getMissionPage(999, 20);
    EXPECT_EQ(std::make_tuple(last["page"], last["missions"].size(), last["missions"].back()["mission_id"]),
              std::make_tuple(json(50), size_t{20}, json("m6")));
    EXPECT_EQ(StatsManager().getMissionPage(0, 20), json::parse(R"({"page":1,"pages":1,"total":0,"missions":[]})"));

    // The current mission survived the trimming and is the one closed now;
    // the counters keep counting.
    stats.onMissionFailed("r", "the-end");
    EXPECT_EQ(missions(1)[0]["status"], "failed");
    EXPECT_EQ(missions(1)[0]["mission_id"], "m" + std::to_string(started));
    EXPECT_EQ(get("missions"),
              (json{{"total", started}, {"success", started - 1}, {"failed", 1}, {"aborted", 0}, {"running", 0}}));
}

// Up or down since the last change (not the last event), the last error kept
// after recovery; the newest failure lines, newest first.
TEST_F(StatsTest, PeerHealthAndRecentErrors) {
    EXPECT_EQ(get("peers")["camera"], json::object());
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
