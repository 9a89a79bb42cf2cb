#include "monitor/stats_manager.h"

#include <regex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// A steady clock the test moves by hand; it starts well after the epoch so
// that "never connected" (the epoch) stays distinguishable.
struct ManualClock {
    std::chrono::steady_clock::time_point now = std::chrono::steady_clock::time_point{} + 1000s;
    void advance(std::chrono::milliseconds d) { now += d; }
};

class StatsTest : public ::testing::Test {
protected:
    ManualClock clock;
    StatsManager stats{[this] { return clock.now; }};

    json link(const char* name) const { return stats.getStatsJson()[name]; }
    void start(const std::string& id, const std::string& start_time = "2026-05-17 13:50:30") {
        stats.onMissionStarted(id, "s-" + id, "p-" + id, "a-" + id, 3, "/tmp/" + id, start_time);
    }
    json missions(int limit) const { return stats.getMissionsJson(limit); }
};

}  // namespace

TEST(TimeHelpers, CurrentTimeIsLocalTimeToTheSecond) {
    const std::string text = current_time_str();
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})"))) << text;
}

TEST(TimeHelpers, ElapsedSecondsTruncates) {
    EXPECT_EQ(elapsed_seconds(std::chrono::steady_clock::now() - 3500ms), 3u);
    EXPECT_EQ(elapsed_seconds(std::chrono::steady_clock::now()), 0u);
    // An instant in the future is no time at all, not a huge unsigned value.
    EXPECT_EQ(elapsed_seconds(std::chrono::steady_clock::now() + 10s), 0u);
}

TEST_F(StatsTest, BeforeStartupNothingRuns) {
    const json s = stats.getStatsJson();
    EXPECT_EQ(s["startup_time"], "");
    EXPECT_EQ(s["shutdown_time"], "");
    EXPECT_EQ(s["running"], false);
    clock.advance(50s);
    EXPECT_EQ(stats.getStatsJson()["uptime_seconds"], 0u);
}

TEST_F(StatsTest, UptimeCountsFromStartupUntilShutdown) {
    stats.recordStartup();
    clock.advance(42900ms);
    json s = stats.getStatsJson();
    EXPECT_EQ(s["running"], true);
    EXPECT_EQ(s["uptime_seconds"], 42u);
    EXPECT_EQ(s["startup_time"].get<std::string>().size(), 19u);

    stats.recordShutdown();
    s = stats.getStatsJson();
    EXPECT_EQ(s["running"], false);
    EXPECT_EQ(s["uptime_seconds"], 0u);
    EXPECT_EQ(s["shutdown_time"].get<std::string>().size(), 19u);
}

TEST_F(StatsTest, LiveConnectionCountsUpAndStopsAtDisconnection) {
    stats.onSioConnected();
    clock.advance(90s);
    json sio = link("sio");
    EXPECT_EQ(sio["currently_connected"], true);
    EXPECT_EQ(sio["total_connected_seconds"], 90u);
    EXPECT_EQ(sio["connect_count"], 1u);

    clock.advance(10900ms);
    EXPECT_EQ(link("sio")["total_connected_seconds"], 100u);

    stats.onSioDisconnected();
    clock.advance(50s);
    sio = link("sio");
    EXPECT_EQ(sio["currently_connected"], false);
    EXPECT_EQ(sio["disconnect_count"], 1u);
    EXPECT_EQ(sio["total_connected_seconds"], 100u);

    // A second connection adds to the closed ones.
    stats.onSioConnected();
    clock.advance(5s);
    sio = link("sio");
    EXPECT_EQ(sio["total_connected_seconds"], 105u);
    EXPECT_EQ(sio["connect_count"], 2u);
}

TEST_F(StatsTest, DisconnectionOfANeverConnectedLinkOnlyCounts) {
    clock.advance(30s);
    stats.onMqttDisconnected();
    const json mqtt = link("mqtt");
    EXPECT_EQ(mqtt["disconnect_count"], 1u);
    EXPECT_EQ(mqtt["connect_count"], 0u);
    EXPECT_EQ(mqtt["total_connected_seconds"], 0u);
}

TEST_F(StatsTest, ClosedConnectionsAddWholeSecondsEach) {
    for (int i = 0; i < 3; ++i) {
        stats.onWsConnected();
        clock.advance(1999ms);
        stats.onWsDisconnected();
    }
    EXPECT_EQ(link("websocket")["total_connected_seconds"], 3u);
}

TEST_F(StatsTest, EachLinkKeepsItsOwnCounters) {
    stats.onSioConnected();
    stats.onWsConnected();
    stats.onWsDisconnected();
    stats.onMqttConnected();
    stats.onMqttConnected();
    const json s = stats.getStatsJson();
    EXPECT_EQ(s["sio"], (json{{"connect_count", 1}, {"disconnect_count", 0}, {"currently_connected", true},
                              {"total_connected_seconds", 0}}));
    EXPECT_EQ(s["websocket"]["disconnect_count"], 1u);
    EXPECT_EQ(s["websocket"]["currently_connected"], false);
    EXPECT_EQ(s["mqtt"]["connect_count"], 2u);
}

TEST_F(StatsTest, MissionStartedMakesARunningRecord) {
    start("m1");
    const json s = stats.getStatsJson();
    EXPECT_EQ(s["missions"]["total"], 1u);
    EXPECT_EQ(s["missions"]["running"], 1);
    EXPECT_TRUE(s["missions"]["running"].is_number_integer());
    EXPECT_EQ(missions(10), json::array({{{"mission_id", "m1"},
                                          {"strategy_id", "s-m1"},
                                          {"point_id", "p-m1"},
                                          {"action_id", "a-m1"},
                                          {"start_time", "2026-05-17 13:50:30"},
                                          {"end_time", ""},
                                          {"status", "running"},
                                          {"point_count", 3},
                                          {"task_dir", "/tmp/m1"}}}));
}

TEST_F(StatsTest, TerminalHooksCloseTheCurrentRecord) {
    start("m1");
    stats.onMissionSuccess("t-success");
    start("m2");
    stats.onMissionFailed("max_retries_exceeded", "t-failed");
    start("m3");
    stats.onMissionAborted("t-aborted");

    const json list = missions(10);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["status"], "success");
    EXPECT_EQ(list[0]["end_time"], "t-success");
    EXPECT_EQ(list[1]["status"], "failed");
    EXPECT_EQ(list[1]["end_time"], "t-failed");
    EXPECT_EQ(list[2]["status"], "aborted");
    EXPECT_EQ(list[2]["end_time"], "t-aborted");

    const json s = stats.getStatsJson();
    EXPECT_EQ(s["missions"], (json{{"total", 3}, {"success", 1}, {"failed", 1}, {"aborted", 1}, {"running", 0}}));
    // The failure reason is kept nowhere.
    EXPECT_EQ(s.dump().find("max_retries_exceeded"), std::string::npos);
    EXPECT_EQ(list.dump().find("max_retries_exceeded"), std::string::npos);
}

TEST_F(StatsTest, TerminalHookWithoutCurrentMissionOnlyCounts) {
    start("m1");
    stats.onMissionSuccess("t1");
    stats.onMissionSuccess("t2");
    stats.onMissionFailed("r", "t3");
    const json list = missions(10);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["end_time"], "t1");
    EXPECT_EQ(list[0]["status"], "success");
    const json counts = stats.getStatsJson()["missions"];
    EXPECT_EQ(counts["success"], 2u);
    EXPECT_EQ(counts["failed"], 1u);
}

TEST_F(StatsTest, SecondStartLeavesTheFirstRecordRunningForGood) {
    start("m1");
    start("m2");
    stats.onMissionSuccess("t");
    const json list = missions(10);
    EXPECT_EQ(list[0]["status"], "running");
    EXPECT_EQ(list[0]["end_time"], "");
    EXPECT_EQ(list[1]["status"], "success");
    EXPECT_EQ(stats.getStatsJson()["missions"]["total"], 2u);
}

TEST_F(StatsTest, MissionListHoldsTheNewestOldestFirst) {
    for (int i = 1; i <= 3; ++i) start("m" + std::to_string(i));
    json list = missions(50);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["mission_id"], "m1");
    EXPECT_EQ(list[2]["mission_id"], "m3");

    for (int i = 4; i <= 120; ++i) start("m" + std::to_string(i));
    list = missions(100);
    ASSERT_EQ(list.size(), 100u);
    EXPECT_EQ(list.front()["mission_id"], "m21");
    EXPECT_EQ(list.back()["mission_id"], "m120");

    EXPECT_EQ(missions(0), json::array());
    EXPECT_EQ(missions(-5), json::array());
    EXPECT_EQ(missions(120).size(), 120u);
}

TEST_F(StatsTest, HistoryKeepsTheNewestThousandWhileCountersKeepCounting) {
    const size_t started = StatsManager::kMissionHistoryLimit + 5;
    for (size_t i = 1; i <= started; ++i) {
        start("m" + std::to_string(i));
        if (i < started) stats.onMissionSuccess("end");
    }
    const json list = missions(5000);
    ASSERT_EQ(list.size(), StatsManager::kMissionHistoryLimit);
    EXPECT_EQ(list.front()["mission_id"], "m6");
    EXPECT_EQ(list.back()["mission_id"], "m" + std::to_string(started));

    // The current mission survived the trimming and is the one closed now.
    EXPECT_EQ(stats.getStatsJson()["missions"]["running"], 1);
    stats.onMissionFailed("r", "the-end");
    const json last = missions(1)[0];
    EXPECT_EQ(last["mission_id"], "m" + std::to_string(started));
    EXPECT_EQ(last["status"], "failed");
    EXPECT_EQ(last["end_time"], "the-end");
    const json counts = stats.getStatsJson()["missions"];
    EXPECT_EQ(counts["total"], started);
    EXPECT_EQ(counts["success"], started - 1);
    EXPECT_EQ(counts["running"], 0);
}

TEST_F(StatsTest, TrimmingDropsAReplacedCurrentMissionSafely) {
    // The mission left running is replaced, then ages out of the history.
    start("stale");
    for (size_t i = 1; i <= StatsManager::kMissionHistoryLimit; ++i) start("m" + std::to_string(i));
    stats.onMissionAborted("t");
    const json list = missions(5000);
    EXPECT_EQ(list.front()["mission_id"], "m1");
    EXPECT_EQ(list.back()["status"], "aborted");
}

TEST_F(StatsTest, InternalStateIsOverwrittenWholesale) {
    stats.updateInternalState(4, "flying", 2, true, false, true, 7, 1, "m9", "s9", 87.5f, 1.25f, -0.5f);
    stats.updateInternalState(2, "", -1, false, true, false, 0, -1, "", "", 50.0f, 0.0f, 0.0f);
    const json st = stats.getStatsJson()["internal_state"];
    EXPECT_EQ(st, (json{{"fs", 2},
                        {"kovo_sub", ""},
                        {"kovo_idx", -1},
                        {"has_task", false},
                        {"photos_uploaded", true},
                        {"upload_started", false},
                        {"photo_count", 0},
                        {"last_completed_height_idx", -1},
                        {"mission_id", ""},
                        {"strategy_id", ""},
                        {"battery_remain", 50.0},
                        {"lpos_z", 0.0},
                        {"lpos_vz", 0.0}}));
}

TEST_F(StatsTest, InitialInternalStateAndConfigSnapshot) {
    const json s = stats.getStatsJson();
    EXPECT_EQ(s["internal_state"]["fs"], -1);
    EXPECT_EQ(s["internal_state"]["kovo_idx"], -1);
    EXPECT_EQ(s["internal_state"]["last_completed_height_idx"], -1);
    EXPECT_EQ(s["config"]["stats_enabled"], false);
    EXPECT_EQ(s["config"]["px4_port"], 0);
    EXPECT_EQ(s["config"]["sio_uri"], "");
    EXPECT_EQ(s["config"].size(), 15u);
}

TEST_F(StatsTest, ConfigSnapshotKeepsEachValueUnderItsName) {
    stats.recordConfig("uri", "key", "px4h", 1, "mqh", 2, "req", "resp", "url", "site", "ip", 3, "dir", true, 4);
    EXPECT_EQ(stats.getStatsJson()["config"], (json{{"sio_uri", "uri"},
                                                    {"sio_access_key", "key"},
                                                    {"px4_host", "px4h"},
                                                    {"px4_port", 1},
                                                    {"mqtt_host", "mqh"},
                                                    {"mqtt_port", 2},
                                                    {"mqtt_request_topic", "req"},
                                                    {"mqtt_response_topic", "resp"},
                                                    {"platform_url", "url"},
                                                    {"platform_site_id", "site"},
                                                    {"siyi_ip", "ip"},
                                                    {"siyi_port", 3},
                                                    {"siyi_img_dir", "dir"},
                                                    {"stats_enabled", true},
                                                    {"stats_web_port", 4}}));
}

TEST_F(StatsTest, VersionAndTransitions) {
    stats.recordVersion("1.3.0", "abc123", "2026-05-17 10:00:00");
    stats.onStatusTransition("400", "406");
    stats.onStatusTransition("406", "408");
    const json s = stats.getStatsJson();
    EXPECT_EQ(s["version"], (json{{"version", "1.3.0"}, {"git_hash", "abc123"}, {"build_time", "2026-05-17 10:00:00"}}));
    EXPECT_EQ(s["status_transitions"], 2u);
}

TEST(StatsSingleton, InstanceIsOneObject) { EXPECT_EQ(&StatsManager::instance(), &StatsManager::instance()); }

// Hooks arrive from the link, monitor and web server threads at once.
TEST(StatsConcurrency, HooksAndRenderingFromManyThreads) {
    StatsManager stats;
    stats.recordStartup();
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
            stats.onSioConnected();
            stats.onSioDisconnected();
            stats.onMqttConnected();
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
            stats.onMissionStarted("m" + std::to_string(i), "s", "p", "a", 2, "", "t");
            stats.onStatusTransition("a", "b");
            stats.onMissionSuccess("e");
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 300; ++i) {
            stats.updateInternalState(i, "sub", i, true, false, true, i, i, "m", "s", 1.0f, 2.0f, 3.0f);
            stats.recordConfig("u", "k", "h", i, "mh", i, "rq", "rs", "url", "site", "ip", i, "d", true, i);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 50; ++i) {
            (void)stats.getStatsJson();
            (void)stats.getMissionsJson(100);
            (void)stats.getDashboardHtml();
        }
    });
    for (auto& t : threads) t.join();
    const json s = stats.getStatsJson();
    EXPECT_EQ(s["missions"]["total"], 300u);
    EXPECT_EQ(s["missions"]["success"], 300u);
    EXPECT_EQ(s["status_transitions"], 300u);
    EXPECT_EQ(s["sio"]["connect_count"], 300u);
    EXPECT_EQ(s["internal_state"]["fs"], 299);
}
