#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "mission_fakes.h"
#include "test_support.h"

using fakes::has;
using fakes::json;
using fakes::px4_state;
using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

namespace {

// The command px4ctrl receives for a payload.
std::string command_for(const json& payload, const std::string& prefix = "kovo")
{
    fakes::Harness h;
    h.config.mission.kovo_cmd_prefix = prefix;
    h.px4.setState(px4_state(2));
    h.px4.on_cmd = [&h] { h.px4.setState(px4_state(4, "takeoff")); };
    h.build();
    fakes::printed([&] { h.core->intake.onCarMission(payload); });
    return h.px4.commands.empty() ? "<none>" : h.px4.commands[0];
}

json with_points(json points)
{
    return {{"carFlightPointList", std::move(points)}};
}

}  // namespace

TEST(MissionIntake, FillsTheRecordAndResetsPerMissionState)
{
    fakes::Harness h;
    h.runner.hold = true;  // the start sequence stays queued
    h.build();
    h.locked([](MissionContext& m) {
        m.photos_uploaded = m.car_mission_written = true;
        m.task_dir = "/old";
        m.current_point_id = "p-last";
    });
    const std::string out = fakes::printed([&] {
        h.core->intake.onCarMission({{"carX", "1.5"},
                                     {"carStrategyId", 12},
                                     {"carPointId", "P"},
                                     {"carActionId", "A"},
                                     {"carFlightMissionHistoryId", "H"},
                                     {"carMissionId", std::string("M\xff")},
                                     {"uploadMediaDataUrl", "http://u"},
                                     {"beforeTakeoffPhotoConfig", {{"k", 1}}},
                                     {"carFlightPointList", json::array({{{"z", "10"}}, {{"z", "20"}}})}});
    });
    EXPECT_TRUE(has(out, "[CAR] carFlightPointList size=2 cmd=[kovo 10,20]"));
    EXPECT_TRUE(has(out, "[CAR] Received mission payload:\n{\n  \"beforeTakeoffPhotoConfig\""));
    EXPECT_TRUE(has(out, "\"M\xEF\xBF\xBD\"")) << "bad bytes are shown replaced";
    const Texts started = h.stats.started[0];
    EXPECT_EQ(Texts(started.begin(), started.end() - 1), (Texts{"H", "", "P", "A", "2", ""}));
    EXPECT_EQ(started.back().size(), 19u) << "the start time";

    h.locked([](MissionContext& m) {
        EXPECT_TRUE(m.has_task);
        EXPECT_EQ(m.car_x, "1.5");
        EXPECT_EQ(m.car_strategy_id, "") << "numbers are not identifiers";
        EXPECT_EQ(m.car_mission_id, "M\xff");
        EXPECT_EQ(m.battery_limit, "20");
        EXPECT_EQ(m.is_before_takeoff_photo, "0");
        EXPECT_EQ(m.before_takeoff_photo_config, json({{"k", 1}}));
        EXPECT_EQ(m.upload_media_data_url, "http://u");
        EXPECT_FALSE(m.photos_uploaded || m.car_mission_written);
        EXPECT_EQ(m.task_dir, "");
        EXPECT_EQ(m.current_point_id, "p-last") << "the last arrival is kept";
    });

    // A second mission while one is active changes nothing.
    const std::string again = fakes::printed([&] { h.core->intake.onCarMission({{"carMissionId", "second"}}); });
    EXPECT_TRUE(has(again, "[CAR] Already has an active task, ignore new mission"));
    EXPECT_EQ(h.runner.pending.size(), 1u) << "one start sequence only";
    EXPECT_EQ(h.stats.started.size(), 1u);
    EXPECT_EQ(h.locked([](MissionContext& m) { return m.car_mission_id; }), "M\xff");
}

TEST(MissionIntake, WarehouseLists)
{
    struct Row {
        json warehouse;
        std::string num, count;
        Texts list;
    };
    const std::vector<Row> rows{
        {json::array({json::array({"A1", "A2"}), "A3", 7}), "A1", "3", {"A1", "A2", "A3"}},
        {"B7", "B7", "1", {"B7"}},
        {nullptr, "", "", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.warehouse.dump());
        fakes::Harness h;
        h.runner.hold = true;
        h.build();
        fakes::printed([&] { h.core->intake.onCarMission({{"warehouseNum", row.warehouse}}); });
        h.locked([&](MissionContext& m) {
            EXPECT_EQ(m.warehouse_num, row.num);
            EXPECT_EQ(m.warehouse_count, row.count);
            EXPECT_EQ(m.warehouse_num_list, row.list);
        });
    }
}

TEST(MissionIntake, CommandHeightsOfEachPayloadType)
{
    const std::vector<std::pair<json, std::string>> rows{
        {with_points(json::array({{{"z", "1.5"}}, {{"z", 3}}, {{"z", 2.25}}})), "kovo 1.5,3,2.25"},
        {with_points(json::array({{{"z", 1.5}}})), "kovo 1.50"},
        // Missing heights: the take-off altitude.
        {with_points(json::array({json::object(), 5, {{"z", nullptr}}})), "kovo 1.2,1.2,1.2"},
        {with_points({{"a", 1}}), "kovo 1.2"},
        {json::object(), "kovo 1.2"},
        {json(), "kovo 1.2"},
        {"plain words", "kovo 1.2"},
    };
    for (const auto& [payload, command] : rows) {
        EXPECT_EQ(command_for(payload), command) << payload;
    }
    EXPECT_EQ(command_for(with_points(json::array({{{"z", "7"}}})), "go"), "go 7") << "the configured prefix";
}

// The start sequence, in virtual time: the runner runs it at once.
class StartSequence : public ::testing::Test {
protected:
    std::string start()
    {
        h.build();
        return fakes::printed([&] { h.core->intake.onCarMission(json::object()); });
    }

    fakes::Harness h;
};

TEST_F(StartSequence, AlreadyFlyingSendsNoCommand)
{
    h.px4.setState(px4_state(3));
    EXPECT_TRUE(has(start(), "[CAR] px4ctrl already in flight state (fs=3), mission started"));
    EXPECT_TRUE(h.px4.commands.empty());
    EXPECT_TRUE(h.mqtt.statusCodes().empty());
    EXPECT_EQ(h.clock.slept(), 10000ms) << "the fixed start delay";
    EXPECT_TRUE(h.active());
}

TEST_F(StartSequence, NotStandbyThenStandbyThenEntering)
{
    h.px4.setState(px4_state(0));
    h.clock.on_sleep = [this](std::chrono::milliseconds d) {
        if (d == 2000ms) {
            h.px4.setState(px4_state(2));
        }
    };
    h.px4.on_cmd = [this] { h.px4.setState(px4_state(4, "takeoff")); };
    const std::string out = start();
    EXPECT_TRUE(has(out, "[CAR] Retry 1/3: fs=0 not STANDBY, wait..."));
    EXPECT_TRUE(has(out, "[CAR] Send to px4ctrl (retry 2/3): kovo 1.2"));
    EXPECT_TRUE(has(out, "[CAR] px4ctrl entered KOVO state, mission started"));
    EXPECT_EQ(h.px4.commands.all(), Texts{"kovo 1.2"});
    EXPECT_EQ(h.mqtt.statusCodes(), Texts{"400"}) << "reported once";
    EXPECT_EQ(h.clock.sleeps.all(), (std::vector<std::chrono::milliseconds>{10000ms, 2000ms, 3000ms}));
    EXPECT_TRUE(h.active());
}

TEST_F(StartSequence, NeverConnectedGivesUpAfterTheRetries)
{
    h.px4.setLink(false);
    const std::string out = start();
    for (const char* line : {"[CAR] Retry 1/3: fs=-1 not STANDBY, wait...",
                             "[CAR] Retry 3/3: fs=-1 not STANDBY, wait...",
                             "[CAR] Failed to start mission after 3 retries"}) {
        EXPECT_TRUE(has(out, line));
    }
    EXPECT_EQ(h.mqtt.statusCodes(), Texts{"415"});
    EXPECT_FALSE(h.active());
    EXPECT_EQ(h.stats.failures.all().at(0).first, "max_retries_exceeded");
    EXPECT_EQ(h.clock.slept(), 16000ms);
    // The next mission is accepted again.
    h.px4.setLink(true);
    h.px4.setState(px4_state(3));
    fakes::printed([&] { h.core->intake.onCarMission(json::object()); });
    EXPECT_TRUE(h.active());
}

TEST_F(StartSequence, DefaultCodeEqualToStandbyReachesTheCommand)
{
    h.config.mission.default_fs_value = 2;
    h.px4.accept_cmd = false;
    EXPECT_TRUE(has(start(), "[CAR] px4ctrl not ready, wait for reconnect..."));
    EXPECT_EQ(h.mqtt.statusCodes(), Texts{"415"});
}

TEST_F(StartSequence, RetriesExhaustedReportEachCommandAndWriteTheFailureRecord)
{
    testsupport::TempDir dir;
    h.px4.setState(px4_state(2));
    // px4ctrl reports a task directory meanwhile.
    h.px4.on_cmd = [&] { h.locked([&](MissionContext& m) { m.task_dir = dir.path(); }); };
    const std::string out = start();
    EXPECT_EQ(h.px4.commands.size(), 3u);
    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"400", "400", "400", "415"}));
    EXPECT_TRUE(has(out, "[CAR] Retry 3/3: px4ctrl did not enter KOVO (fs=2), will retry"));
    const auto records = fakes::read_jsonl(dir.file("client_log.jsonl"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].size(), 3u);
    fakes::expect_members(records[0], {{"event", "start_failed"}, {"reason", "max_retries_exceeded"}});
    EXPECT_EQ(records[0]["time"].get<std::string>().size(), 19u);
    EXPECT_FALSE(h.active());
}

TEST_F(StartSequence, StoppingDuringTheDelayAbandonsQuietly)
{
    h.px4.setState(px4_state(2));
    h.clock.stopped = true;
    start();
    EXPECT_TRUE(h.px4.commands.empty());
    EXPECT_TRUE(h.mqtt.statusCodes().empty());
    EXPECT_TRUE(h.stats.failures.empty());
}

TEST_F(StartSequence, LateFailureNeverClearsTheNextMission)
{
    h.runner.hold = true;
    h.px4.setLink(false);
    h.build();
    fakes::printed([&] {
        h.core->intake.onCarMission({{"carMissionId", "one"}});
        // Mission one is closed meanwhile and mission two accepted.
        h.locked([](MissionContext& m) { m.has_task = false; });
        h.core->intake.onCarMission({{"carMissionId", "two"}});
        ASSERT_EQ(h.runner.pending.size(), 2u);
        h.runner.pending.front()();
    });
    EXPECT_TRUE(h.active()) << "mission two stays active";
    EXPECT_TRUE(h.mqtt.statusCodes().empty());
    EXPECT_TRUE(h.stats.failures.empty());
}
