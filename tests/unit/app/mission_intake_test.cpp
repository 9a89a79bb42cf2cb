#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "mission_fakes.h"
#include "test_support.h"

using fakes::json;
using namespace std::chrono_literals;

namespace {

class MissionIntakeTable : public ::testing::Test {
protected:
    void SetUp() override { h.build(&runner); }

    // Intake only: the start sequence stays queued.
    void accept(const json& payload) { h.core->intake.onCarMission(payload); }

    fakes::Harness h;
    fakes::ManualRunner runner;
};

json payload_with_points(json points)
{
    return {{"carFlightPointList", std::move(points)}, {"uploadMediaDataUrl", "http://u/media"}};
}

// The command px4ctrl receives for a payload.
std::string command_for(const json& payload)
{
    fakes::Harness h;
    h.px4.setState(fakes::px4_state(2));
    h.px4.on_cmd = [&h] { h.px4.setState(fakes::px4_state(4, "takeoff")); };
    h.build();
    h.core->intake.onCarMission(payload);
    const auto cmds = h.px4.sentCommands();
    return cmds.empty() ? "<none>" : cmds.front();
}

}  // namespace

TEST_F(MissionIntakeTable, CopiesTextMembersAndDefaults)
{
    accept({{"carX", "1.5"},
            {"carY", "2"},
            {"carYaw", "90"},
            {"carStrategyId", 12},
            {"carPointId", "P"},
            {"carActionId", "A"},
            {"carFlightMissionHistoryId", "H"},
            {"carMissionId", "M"},
            {"uploadMediaDataUrl", "http://u"},
            {"beforeTakeoffPhotoConfig", {{"k", 1}}}});
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_TRUE(h.mission.has_task);
    EXPECT_EQ(h.mission.car_x, "1.5");
    EXPECT_EQ(h.mission.car_yaw, "90");
    EXPECT_EQ(h.mission.car_strategy_id, "") << "numbers are not identifiers";
    EXPECT_EQ(h.mission.car_flight_mission_history_id, "H");
    EXPECT_EQ(h.mission.car_mission_id, "M");
    EXPECT_EQ(h.mission.battery_limit, "20");
    EXPECT_EQ(h.mission.is_before_takeoff_photo, "0");
    EXPECT_EQ(h.mission.before_takeoff_photo_config, json({{"k", 1}}));
    EXPECT_EQ(h.mission.upload_media_data_url, "http://u");
}

TEST_F(MissionIntakeTable, FlattensNestedWarehouseLists)
{
    accept({{"warehouseNum", json::array({json::array({"A1", "A2"}), "A3", 7})}});
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_EQ(h.mission.warehouse_num, "A1");
    EXPECT_EQ(h.mission.warehouse_count, "3");
    EXPECT_EQ(h.mission.warehouse_num_list, (std::vector<std::string>{"A1", "A2", "A3"}));
}

TEST_F(MissionIntakeTable, SingleWarehouseStringGivesListOfOne)
{
    accept({{"warehouseNum", "B7"}});
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_EQ(h.mission.warehouse_num, "B7");
    EXPECT_EQ(h.mission.warehouse_count, "1");
    EXPECT_EQ(h.mission.warehouse_num_list, (std::vector<std::string>{"B7"}));
}

TEST_F(MissionIntakeTable, SecondMissionWhileActiveIsIgnored)
{
    accept({{"carMissionId", "first"}});
    testing::internal::CaptureStdout();
    accept({{"carMissionId", "second"}});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[CAR] Already has an active task, ignore new mission"), std::string::npos);
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_EQ(h.mission.car_mission_id, "first");
    EXPECT_EQ(runner.pending.size(), 1u) << "one start sequence only";
    EXPECT_EQ(h.stats.started.size(), 1u);
}

TEST_F(MissionIntakeTable, ResetsPerMissionFieldsButKeepsLastArrival)
{
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.photos_uploaded = true;
        h.mission.car_mission_written = true;
        h.mission.task_dir = "/old";
        h.mission.current_point_id = "p-last";
    }
    accept(json::object());
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_FALSE(h.mission.photos_uploaded);
    EXPECT_FALSE(h.mission.car_mission_written);
    EXPECT_EQ(h.mission.task_dir, "");
    EXPECT_EQ(h.mission.current_point_id, "p-last");
}

TEST_F(MissionIntakeTable, InformsStatisticsAndLogsTheCommand)
{
    testing::internal::CaptureStdout();
    accept({{"carFlightMissionHistoryId", "H"},
            {"carStrategyId", "S"},
            {"carPointId", "P"},
            {"carActionId", "A"},
            {"carFlightPointList", json::array({{{"z", "10"}}, {{"z", "20"}}, {{"z", "30"}}})}});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[CAR] carFlightPointList size=3 cmd=[kovo 10,20,30]"), std::string::npos) << out;
    EXPECT_NE(out.find("[CAR] Received mission payload:\n{\n  \"carActionId\": \"A\""), std::string::npos) << out;
    ASSERT_EQ(h.stats.started.size(), 1u);
    const auto& s = h.stats.started[0];
    EXPECT_EQ(s[0], "H");
    EXPECT_EQ(s[1], "S");
    EXPECT_EQ(s[2], "P");
    EXPECT_EQ(s[3], "A");
    EXPECT_EQ(s[4], "3");
    EXPECT_EQ(s[5], "");
    EXPECT_EQ(s[6].size(), 19u);
}

TEST_F(MissionIntakeTable, InvalidUtf8IsLoggedWithReplacementsAndAccepted)
{
    testing::internal::CaptureStdout();
    accept({{"carMissionId", std::string("M\xff\xfe")}, {"carStrategyId", "S"}});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("M\xEF\xBF\xBD\xEF\xBF\xBD"), std::string::npos) << "replacement characters";
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_TRUE(h.mission.has_task);
    EXPECT_EQ(h.mission.car_strategy_id, "S");
}

TEST(MissionCommand, JoinsHeightsOfStringIntegerAndFloat)
{
    EXPECT_EQ(command_for(payload_with_points(json::array({{{"z", "1.5"}}, {{"z", 3}}, {{"z", 2.25}}}))),
              "kovo 1.5,3,2.25");
    EXPECT_EQ(command_for(payload_with_points(json::array({{{"z", 1.5}}}))), "kovo 1.50");
}

TEST(MissionCommand, MissingHeightsUseTheTakeOffAltitude)
{
    EXPECT_EQ(command_for(json::object()), "kovo 1.2");
    EXPECT_EQ(command_for(payload_with_points({{"a", 1}})), "kovo 1.2") << "an object is not a point list";
    EXPECT_EQ(command_for(payload_with_points(json::array({json::object(), 5, {{"z", nullptr}}}))),
              "kovo 1.2,1.2,1.2");
    EXPECT_EQ(command_for(json()), "kovo 1.2") << "null payload is accepted with defaults";
    EXPECT_EQ(command_for("plain words"), "kovo 1.2");
}

TEST(MissionCommand, UsesTheConfiguredPrefix)
{
    fakes::Harness h;
    h.config.mission.kovo_cmd_prefix = "go";
    h.px4.setState(fakes::px4_state(2));
    h.px4.on_cmd = [&h] { h.px4.setState(fakes::px4_state(3)); };
    h.build();
    h.core->intake.onCarMission(payload_with_points(json::array({{{"z", "7"}}})));
    EXPECT_EQ(h.px4.sentCommands(), std::vector<std::string>{"go 7"});
}

// The start sequence, with virtual time.
class StartSequence : public ::testing::Test {
protected:
    // Accepts a mission; the inline runner runs its start sequence at once.
    void start()
    {
        h.build();
        h.core->intake.onCarMission(json::object());
    }
    bool active()
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        return h.mission.has_task;
    }

    fakes::Harness h;
};

TEST_F(StartSequence, AlreadyFlyingSendsNoCommand)
{
    h.px4.setState(fakes::px4_state(3));
    testing::internal::CaptureStdout();
    start();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(h.px4.sentCommands().empty());
    EXPECT_TRUE(h.mqtt.statusCodes().empty());
    EXPECT_NE(out.find("[CAR] px4ctrl already in flight state (fs=3), mission started"), std::string::npos);
    EXPECT_EQ(h.clock.sleeps.front(), 10000ms) << "the fixed start delay";
    EXPECT_TRUE(active());
}

TEST_F(StartSequence, StandbyThenEnteringReportsOnce)
{
    h.px4.setState(fakes::px4_state(2));
    h.px4.on_cmd = [this] { h.px4.setState(fakes::px4_state(4, "takeoff")); };
    testing::internal::CaptureStdout();
    start();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(h.px4.sentCommands(), std::vector<std::string>{"kovo 1.2"});
    EXPECT_EQ(h.mqtt.statusCodes(), std::vector<std::string>{"400"});
    EXPECT_NE(out.find("[CAR] Send to px4ctrl (retry 1/3): kovo 1.2"), std::string::npos);
    EXPECT_NE(out.find("[CAR] px4ctrl entered KOVO state, mission started"), std::string::npos);
    EXPECT_EQ(h.clock.sleeps, (std::vector<std::chrono::milliseconds>{10000ms, 3000ms}));
    EXPECT_TRUE(active());
}

TEST_F(StartSequence, StandbyAfterRetriesThenEntering)
{
    int reads = 0;
    h.px4.setState(fakes::px4_state(0));
    h.clock.on_sleep = [&](std::chrono::milliseconds d) {
        if (d == 2000ms && ++reads == 1) {
            h.px4.setState(fakes::px4_state(2));
        }
    };
    h.px4.on_cmd = [this] { h.px4.setState(fakes::px4_state(7)); };
    testing::internal::CaptureStdout();
    start();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[CAR] Retry 1/3: fs=0 not STANDBY, wait..."), std::string::npos) << out;
    EXPECT_NE(out.find("[CAR] Send to px4ctrl (retry 2/3): kovo 1.2"), std::string::npos) << out;
    EXPECT_EQ(h.mqtt.statusCodes(), std::vector<std::string>{"400"});
    EXPECT_TRUE(active());
}

TEST_F(StartSequence, NeverConnectedGivesUpAfterTheRetries)
{
    h.px4.setLink(false);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    start();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    for (const char* line : {"[CAR] Retry 1/3: fs=-1 not STANDBY, wait...", "[CAR] Retry 2/3: fs=-1 not STANDBY, wait...",
                             "[CAR] Retry 3/3: fs=-1 not STANDBY, wait..."}) {
        EXPECT_NE(out.find(line), std::string::npos) << line;
    }
    EXPECT_NE(err.find("[CAR] Failed to start mission after 3 retries"), std::string::npos);
    EXPECT_EQ(h.mqtt.statusCodes(), std::vector<std::string>{"415"});
    EXPECT_FALSE(active());
    ASSERT_EQ(h.stats.failures.size(), 1u);
    EXPECT_EQ(h.stats.failures[0].first, "max_retries_exceeded");
    EXPECT_EQ(h.clock.slept(), 16000ms);

    // The next mission is accepted again.
    h.px4.setLink(true);
    h.px4.setState(fakes::px4_state(3));
    h.core->intake.onCarMission(json::object());
    EXPECT_TRUE(active());
}

TEST_F(StartSequence, DefaultCodeEqualToStandbyReachesTheCommand)
{
    h.config.mission.default_fs_value = 2;
    h.px4.accept_cmd = false;
    testing::internal::CaptureStdout();
    start();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[CAR] px4ctrl not ready, wait for reconnect..."), std::string::npos);
    EXPECT_EQ(h.mqtt.statusCodes(), std::vector<std::string>{"415"});
}

TEST_F(StartSequence, RetriesExhaustedReportEachCommandAndWriteTheFailureRecord)
{
    testsupport::TempDir dir;
    h.px4.setState(fakes::px4_state(2));
    h.px4.on_cmd = [&] {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.task_dir = dir.path();  // px4ctrl reported a directory meanwhile
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    start();
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(h.px4.sentCommands().size(), 3u);
    EXPECT_EQ(h.mqtt.statusCodes(), (std::vector<std::string>{"400", "400", "400", "415"}));
    EXPECT_NE(out.find("[CAR] Retry 3/3: px4ctrl did not enter KOVO (fs=2), will retry"), std::string::npos);
    const auto records = fakes::read_jsonl(dir.file("client_log.jsonl"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["event"], "start_failed");
    EXPECT_EQ(records[0]["reason"], "max_retries_exceeded");
    EXPECT_EQ(records[0]["time"].get<std::string>().size(), 19u);
    EXPECT_EQ(records[0].size(), 3u);
    EXPECT_FALSE(active());
}

TEST_F(StartSequence, NoRetriesGivesUpRightAfterTheDelay)
{
    h.config.mission.max_start_retries = 0;
    h.px4.setState(fakes::px4_state(2));
    testing::internal::CaptureStderr();
    start();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[CAR] Failed to start mission after 0 retries"), std::string::npos);
    EXPECT_TRUE(h.px4.sentCommands().empty());
    EXPECT_EQ(h.clock.slept(), 10000ms);
    EXPECT_FALSE(active());
}

TEST_F(StartSequence, StoppingDuringTheDelayAbandonsQuietly)
{
    h.px4.setState(fakes::px4_state(2));
    h.clock.stopped = true;
    start();
    EXPECT_TRUE(h.px4.sentCommands().empty());
    EXPECT_TRUE(h.mqtt.statusCodes().empty());
    EXPECT_TRUE(h.stats.failures.empty());
}

TEST_F(StartSequence, LateFailureNeverClearsTheNextMission)
{
    fakes::ManualRunner runner;
    h.px4.setLink(false);
    h.build(&runner);
    h.core->intake.onCarMission({{"carMissionId", "one"}});
    // Mission one is closed meanwhile and mission two accepted.
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.has_task = false;
    }
    h.core->intake.onCarMission({{"carMissionId", "two"}});
    ASSERT_EQ(runner.pending.size(), 2u);
    auto first = std::move(runner.pending.front());
    runner.pending.pop_front();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    first();
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(active()) << "mission two stays active";
    EXPECT_TRUE(h.mqtt.statusCodes().empty());
    EXPECT_TRUE(h.stats.failures.empty());
}
