#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "mission_fakes.h"
#include "test_support.h"

using fakes::json;
using fakes::px4_state;
using namespace std::chrono_literals;

namespace {

const char* kUploadUrl = "http://platform/upload";
const char* kLogUrl = "http://127.0.0.1:8087/carUavBackend/logFileArchive/saveUavNormalLog";

json two_point_mission(const std::string& id = "M1")
{
    return {{"carMissionId", id},
            {"carFlightMissionHistoryId", "H-" + id},
            {"carStrategyId", "S"},
            {"carPointId", "P"},
            {"carActionId", "A"},
            {"carX", "1"},
            {"carY", "2"},
            {"carYaw", "3"},
            {"warehouseNum", json::array({"A1", "A2"})},
            {"uploadMediaDataUrl", kUploadUrl},
            {"carFlightPointList", json::array({{{"id", "p0"}, {"z", "1.5"}, {"warehousePositionNum", "W0"}},
                                                {{"id", "p1"}, {"z", "2.5"}, {"warehousePositionNum", "W1"}}})}};
}

json siyi_photo(int idx)
{
    return {{"camera", "siyi"}, {"height_idx", idx}};
}

class MissionMonitorTest : public ::testing::Test {
protected:
    void SetUp() override { h.build(&runner); }
    // Accepts a mission; its start sequence is not part of these tests.
    void accept(const json& payload = two_point_mission())
    {
        h.core->intake.onCarMission(payload);
        runner.pending.clear();
    }
    void tick(const json& state)
    {
        h.px4.setState(state);
        h.core->monitor.tick();
        if (run_tasks) {
            runner.runAll();
        }
    }
    bool active()
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        return h.mission.has_task;
    }
    std::vector<std::string> log_events(const std::string& dir)
    {
        return fakes::events_of(fakes::read_jsonl(dir + "/client_log.jsonl"));
    }
    // Flies the two heights of two_point_mission from take-off to standby,
    // with photos listed as px4ctrl would list them.
    void fly(const std::string& dir, bool with_photos = false)
    {
        const json p0 = with_photos ? json::array({siyi_photo(0)}) : json::array();
        const json p1 = with_photos ? json::array({siyi_photo(0), siyi_photo(1)}) : json::array();
        tick(px4_state(2, "", -1, json::array(), dir));
        tick(px4_state(3, "takeoff", -1, json::array(), dir));
        tick(px4_state(4, "goto_height", 0, json::array(), dir));
        tick(px4_state(4, "hover_photo", 0, p0, dir));
        tick(px4_state(4, "goto_height", 1, p0, dir));
        tick(px4_state(4, "hover_photo", 1, p1, dir));
        tick(px4_state(6, "land_descend", 1, p1, dir));
        tick(px4_state(2, "", 1, p1, dir));
    }

    fakes::Harness h;
    fakes::ManualRunner runner;
    // Background work (uploads) runs right after each tick.
    bool run_tasks = false;
};

}  // namespace

TEST_F(MissionMonitorTest, FullMissionReportsEachPhaseInOrder)
{
    testsupport::TempDir dir;
    accept();
    const std::string out = fakes::printed([&] { fly(dir.path()); });

    EXPECT_EQ(h.mqtt.statusCodes(),
              (std::vector<std::string>{"406", "408", "408", "408", "408", "410", "411", "414"}));
    EXPECT_EQ(log_events(dir.path()),
              (std::vector<std::string>{"client_start", "takeoff", "executing", "executing", "arrive_point",
                                        "executing", "executing", "arrive_point", "landing", "finished"}));
    const auto records = fakes::read_jsonl(dir.file("client_log.jsonl"));
    EXPECT_EQ(records[0]["task_dir"], dir.path());
    EXPECT_EQ(records[2]["sub_state"], "goto_height");
    EXPECT_EQ(records[3]["sub_state"], "hover_photo");
    EXPECT_EQ(records[4]["height_idx"], 0);
    EXPECT_EQ(records[7]["height_idx"], 1);
    EXPECT_EQ(records[9]["reason"], "all_heights_completed");

    const auto arrivals = h.mqtt.withCmd("UploadUavArrivePoint");
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[0]["parms"]["carFlightPointId"], "p0");
    EXPECT_EQ(arrivals[1]["parms"]["carFlightPointId"], "p1");
    EXPECT_EQ(h.mqtt.count("UploadCarFlightHistory"), 8u) << "one per tick";
    EXPECT_EQ(h.car.realtime.size(), 8u);
    EXPECT_EQ(h.car.missionCodes(), (std::vector<std::string>{"1", "4", "6"}));

    ASSERT_EQ(h.stats.transitions.size(), 1u);
    EXPECT_EQ(h.stats.transitions[0], std::make_pair(std::string("2"), std::string("3")));
    EXPECT_EQ(h.stats.successes.size(), 1u);
    EXPECT_FALSE(active());
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        EXPECT_EQ(h.mission.current_point_id, "p1");
        EXPECT_EQ(h.mission.warehouse_position_num, "W1");
    }
    // The log upload ran after the end.
    runner.runAll();
    const auto posts = h.http.postsTo(kLogUrl);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].path, dir.file("client_log.jsonl"));
    // Without photos the end does not wait for an upload.
    EXPECT_EQ(h.clock.slept(), 500ms);
    EXPECT_EQ(out.find("waiting for photo upload"), std::string::npos);
}

TEST_F(MissionMonitorTest, MissionCopyHoldsTheMissionRecord)
{
    testsupport::TempDir dir;
    accept();
    tick(px4_state(2, "", -1, json::array(), dir.path()));
    const json copy = json::parse(testsupport::read_file(dir.file("car_mission.json")));
    EXPECT_EQ(copy["carMissionId"], "M1");
    EXPECT_EQ(copy["carFlightMissionHistoryId"], "H-M1");
    EXPECT_EQ(copy["warehouseNum"], "A1");
    EXPECT_EQ(copy["warehouseCount"], "2");
    EXPECT_EQ(copy["warehouseNumList"], json::array({"A1", "A2"}));
    EXPECT_EQ(copy["batteryLimit"], "20");
    EXPECT_EQ(copy["isBeforeTakeoffPhoto"], "0");
    EXPECT_EQ(copy["beforeTakeoffPhotoConfig"], json::object());
    EXPECT_EQ(copy["uploadMediaDataUrl"], kUploadUrl);
    EXPECT_EQ(copy["carFlightPointList"].size(), 2u);
    EXPECT_EQ(copy.size(), 16u);
    EXPECT_NE(testsupport::read_file(dir.file("car_mission.json")).find("\n  \"batteryLimit\""), std::string::npos)
        << "indented by two";
}

TEST_F(MissionMonitorTest, InvalidUtf8InTheMissionIsWrittenWithReplacements)
{
    testsupport::TempDir dir;
    json mission = two_point_mission();
    mission["carMissionId"] = std::string("M\xff" "1");
    accept(mission);
    tick(px4_state(2, "", -1, json::array(), dir.path()));
    const json copy = json::parse(testsupport::read_file(dir.file("car_mission.json")));
    EXPECT_EQ(copy["carMissionId"], "M\xEF\xBF\xBD" "1");
    EXPECT_EQ(log_events(dir.path()), std::vector<std::string>{"client_start"});
    EXPECT_EQ(h.mqtt.count("UploadCarFlightHistory"), 1u);
}

TEST_F(MissionMonitorTest, RepeatedHoverPhotoReportsOneArrival)
{
    accept();
    tick(px4_state(4, "goto_height", 0));
    for (int i = 0; i < 5; ++i) {
        tick(px4_state(4, "hover_photo", 0));
    }
    EXPECT_EQ(h.mqtt.count("UploadUavArrivePoint"), 1u);
    // A return to hover_photo after another sub-state is a new arrival.
    tick(px4_state(4, "goto_height", 0));
    tick(px4_state(4, "hover_photo", 0));
    EXPECT_EQ(h.mqtt.count("UploadUavArrivePoint"), 2u);
}

TEST_F(MissionMonitorTest, EffectiveIndexComesFromTheFirstPhotoWhenNegative)
{
    accept();
    const std::string out =
        fakes::printed([&] { tick(px4_state(4, "hover_photo", -1, json::array({siyi_photo(2), siyi_photo(0)}))); });
    EXPECT_NE(out.find("[KOVO] hover_photo detected, effective_idx=2 kovo_idx=-1 fs=4"), std::string::npos);
    EXPECT_EQ(h.core->monitor.lastKovoIdx(), 2);
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        EXPECT_EQ(h.mission.current_point_id, "") << "index 2 is beyond the two points: ids stay";
    }
    // With no photos the index becomes 0.
    tick(px4_state(4, "goto_height", -1));
    tick(px4_state(4, "hover_photo", -1));
    EXPECT_EQ(h.core->monitor.lastKovoIdx(), 0);
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_EQ(h.mission.current_point_id, "p0");
}

TEST_F(MissionMonitorTest, IndexBeyondThePointListKeepsThePreviousPoint)
{
    accept();
    tick(px4_state(4, "hover_photo", 1));
    tick(px4_state(4, "hover_photo", 5));
    const auto arrivals = h.mqtt.withCmd("UploadUavArrivePoint");
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[1]["parms"]["carFlightPointId"], "p1");
}

TEST_F(MissionMonitorTest, FallbackIndexWhenNoHoverPhotoWasSeen)
{
    testsupport::TempDir dir;
    accept();
    tick(px4_state(3, "takeoff", -1, json::array(), dir.path()));
    tick(px4_state(4, "goto_height", 0, json::array({siyi_photo(1)}), dir.path()));
    const std::string out =
        fakes::printed([&] { tick(px4_state(2, "", 0, json::array({siyi_photo(1)}), dir.path())); });
    EXPECT_NE(out.find("[KOVO] Fallback: task ended with photos but no hover_photo trigger, using photo_idx=1"),
              std::string::npos);
    EXPECT_EQ(h.stats.states.back().last_completed_height_idx, 1);
    EXPECT_EQ(h.mqtt.count("UploadUavArrivePoint"), 0u);
}

TEST_F(MissionMonitorTest, ReturnToLaunchThenLanding)
{
    testsupport::TempDir dir;
    accept();
    tick(px4_state(3, "takeoff", -1, json::array(), dir.path()));
    tick(px4_state(5, "", -1, json::array(), dir.path()));
    tick(px4_state(5, "", -1, json::array(), dir.path()));
    EXPECT_EQ(h.car.missionCodes().back(), "12");
    tick(px4_state(6, "", -1, json::array(), dir.path()));
    tick(px4_state(2, "", -1, json::array(), dir.path()));
    EXPECT_EQ(h.mqtt.statusCodes(), (std::vector<std::string>{"406", "416", "410", "411", "414"}));
    EXPECT_EQ(log_events(dir.path()),
              (std::vector<std::string>{"client_start", "takeoff", "rtl", "landing", "finished"}));
}

TEST_F(MissionMonitorTest, StandbyWithoutFlyingNeverEndsTheMission)
{
    accept();
    tick(px4_state(2));
    tick(px4_state(0));
    tick(px4_state(2));
    EXPECT_TRUE(active());
    EXPECT_TRUE(h.mqtt.statusCodes().empty());
}

TEST_F(MissionMonitorTest, SecondMissionStartsFresh)
{
    testsupport::TempDir one;
    testsupport::TempDir two;
    accept(two_point_mission("M1"));
    fly(one.path());
    accept(two_point_mission("M2"));
    fly(two.path());
    EXPECT_EQ(h.mqtt.count("UploadUavArrivePoint"), 4u) << "index 0 is reported again";
    EXPECT_EQ(h.car.missionCodes(), (std::vector<std::string>{"1", "4", "6", "1", "4", "6"}));
    EXPECT_EQ(h.stats.successes.size(), 2u);
    const json copy = json::parse(testsupport::read_file(two.file("car_mission.json")));
    EXPECT_EQ(copy["carMissionId"], "M2");
}

TEST_F(MissionMonitorTest, MissionAcceptedRightAfterTheEndStartsFresh)
{
    testsupport::TempDir one;
    testsupport::TempDir two;
    run_tasks = true;
    accept(two_point_mission("M1"));
    fly(one.path(), true);
    // The car answers the "6" at once, before the next tick.
    accept(two_point_mission("M2"));
    fly(two.path(), true);
    EXPECT_EQ(h.car.missionCodes(), (std::vector<std::string>{"1", "4", "6", "1", "4", "6"}));
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 4u) << "both missions' photos";
    const json result = json::parse(testsupport::read_file(two.file("upload_result.json")));
    EXPECT_EQ(result["items"].size(), 2u);
    EXPECT_EQ(log_events(two.path()).front(), "client_start");
}

TEST_F(MissionMonitorTest, IdleDirectoryIsTakenOverWithoutTouchingItsFiles)
{
    testsupport::TempDir old_dir;
    testsupport::write_file(old_dir.file("car_mission.json"), "{\"carMissionId\":\"previous run\"}");
    tick(px4_state(2, "", -1, json::array(), old_dir.path()));
    tick(px4_state(2, "", -1, json::array(), old_dir.path()));
    EXPECT_EQ(testsupport::read_file(old_dir.file("car_mission.json")), "{\"carMissionId\":\"previous run\"}");
    EXPECT_FALSE(testsupport::file_exists(old_dir.file("client_log.jsonl")));
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_EQ(h.mission.task_dir, old_dir.path());
}

TEST_F(MissionMonitorTest, NewMissionWaitsForANewDirectory)
{
    testsupport::TempDir first;
    testsupport::TempDir second;
    accept(two_point_mission("M1"));
    fly(first.path());
    const size_t lines_before = fakes::read_jsonl(first.file("client_log.jsonl")).size();

    accept(two_point_mission("M2"));
    tick(px4_state(2, "", -1, json::array(), first.path()));
    tick(px4_state(3, "takeoff", -1, json::array(), first.path()));
    EXPECT_EQ(fakes::read_jsonl(first.file("client_log.jsonl")).size(), lines_before);
    EXPECT_EQ(json::parse(testsupport::read_file(first.file("car_mission.json")))["carMissionId"], "M1");
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        EXPECT_EQ(h.mission.task_dir, "");
    }
    tick(px4_state(4, "goto_height", 0, json::array(), second.path()));
    EXPECT_EQ(log_events(second.path()), (std::vector<std::string>{"client_start", "executing"}));
    EXPECT_EQ(json::parse(testsupport::read_file(second.file("car_mission.json")))["carMissionId"], "M2");
}

TEST_F(MissionMonitorTest, SecondDirectoryDuringAMissionGetsLaterRecordsOnly)
{
    testsupport::TempDir first;
    testsupport::TempDir second;
    accept();
    tick(px4_state(3, "takeoff", -1, json::array(), first.path()));
    tick(px4_state(4, "goto_height", 0, json::array(), second.path()));
    EXPECT_EQ(log_events(first.path()), (std::vector<std::string>{"client_start", "takeoff"}));
    EXPECT_EQ(log_events(second.path()), (std::vector<std::string>{"executing"}));
    EXPECT_FALSE(testsupport::file_exists(second.file("car_mission.json")));
}

TEST_F(MissionMonitorTest, LinkOutageSkipsTicksAndTheFirstTickAfterClosesALandedMission)
{
    testsupport::TempDir dir;
    accept();
    tick(px4_state(3, "takeoff", -1, json::array(), dir.path()));
    tick(px4_state(4, "goto_height", 0, json::array(), dir.path()));
    const size_t realtime = h.car.realtime.size();
    const size_t messages = h.mqtt.raw.size();
    const size_t states = h.stats.states.size();
    h.px4.setLink(false);
    tick(px4_state(6, "", 0, json::array(), dir.path()));
    tick(px4_state(2, "", 0, json::array(), dir.path()));
    EXPECT_EQ(h.car.realtime.size(), realtime);
    EXPECT_EQ(h.mqtt.raw.size(), messages);
    EXPECT_EQ(h.stats.states.size(), states);
    EXPECT_TRUE(active());
    // Logged in again: px4ctrl has landed meanwhile.
    h.px4.setLink(true);
    tick(px4_state(2, "", 0, json::array(), dir.path()));
    EXPECT_EQ(h.mqtt.statusCodes(), (std::vector<std::string>{"406", "408", "411", "414"}));
    EXPECT_FALSE(active());
}

TEST_F(MissionMonitorTest, ConnectedButNotLoggedInSkipsTheTick)
{
    h.px4.logined = false;
    tick(px4_state(2));
    EXPECT_TRUE(h.car.realtime.empty());
    EXPECT_EQ(h.px4.state_reads, 0);
}

TEST_F(MissionMonitorTest, EmptyStateStillSendsRealtimeStatusAndFlightHistory)
{
    const std::string out = fakes::printed([&] { tick(json::object()); });
    ASSERT_EQ(h.car.realtime.size(), 1u);
    EXPECT_EQ(h.car.realtime[0]["missionStatus"], "0");
    EXPECT_EQ(h.mqtt.count("UploadCarFlightHistory"), 1u);
    EXPECT_EQ(h.stats.states.back().fs, -1);
    EXPECT_EQ(out.find("[PX4-STATE]"), std::string::npos);
}

TEST_F(MissionMonitorTest, NullStateEndsTheTick)
{
    tick(json());
    EXPECT_TRUE(h.car.realtime.empty());
    EXPECT_TRUE(h.mqtt.raw.empty());
}

TEST_F(MissionMonitorTest, UnchangedCodeSendsOneMissionStatus)
{
    accept();
    for (int i = 0; i < 6; ++i) {
        tick(px4_state(4, "goto_height", 0));
    }
    EXPECT_EQ(h.car.missionCodes(), std::vector<std::string>{"4"});
    EXPECT_EQ(h.car.realtime.size(), 6u);
}

TEST_F(MissionMonitorTest, StatisticsSeeEachTick)
{
    testsupport::TempDir dir;
    accept();
    json state = px4_state(4, "hover_photo", 1, json::array({siyi_photo(0), siyi_photo(1)}), dir.path());
    state["uav"] = {{"bat", {{"remain", 55.5}}}, {"lpos", {{"z", -2.5}, {"vz", "0.25"}}}};
    tick(state);
    const InternalState& s = h.stats.states.back();
    EXPECT_EQ(s.fs, 4);
    EXPECT_EQ(s.kovo_sub, "hover_photo");
    EXPECT_EQ(s.kovo_idx, 1);
    EXPECT_TRUE(s.has_task);
    EXPECT_EQ(s.photo_count, 2);
    EXPECT_EQ(s.last_completed_height_idx, 1);
    EXPECT_EQ(s.mission_id, "H-M1");
    EXPECT_EQ(s.strategy_id, "S");
    EXPECT_FLOAT_EQ(s.battery_remain, 55.5f);
    EXPECT_FLOAT_EQ(s.lpos_z, -2.5f);
    EXPECT_FLOAT_EQ(s.lpos_vz, 0.25f);
}

// Photo hand-over and the end sequence's wait.

TEST_F(MissionMonitorTest, PhotosAreHandedOverThreeTicksAfterTheLastIncrease)
{
    testsupport::TempDir dir;
    accept();
    const std::vector<int> counts{1, 2, 2, 2, 2};
    testing::internal::CaptureStdout();
    for (int count : counts) {
        json photos = json::array();
        for (int i = 0; i < count; ++i) {
            photos.push_back(siyi_photo(i));
        }
        tick(px4_state(4, "goto_height", 0, photos, dir.path()));
        if (runner.pending.empty()) {
            EXPECT_FALSE(h.stats.states.back().upload_started);
        }
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[UPLOAD] Photos count increased to 1, waiting for stability..."), std::string::npos);
    EXPECT_NE(out.find("[UPLOAD] Photos count increased to 2, waiting for stability..."), std::string::npos);
    EXPECT_NE(out.find("[UPLOAD] Photos stable at 2, starting upload..."), std::string::npos);
    EXPECT_TRUE(h.stats.states.back().upload_started);
    ASSERT_EQ(runner.pending.size(), 1u) << "one upload worker";
    runner.runAll();
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 2u);
}

TEST_F(MissionMonitorTest, NoUploadWithoutUrlOrDirectory)
{
    json mission = two_point_mission();
    mission.erase("uploadMediaDataUrl");
    accept(mission);
    testsupport::TempDir dir;
    for (int i = 0; i < 5; ++i) {
        tick(px4_state(4, "goto_height", 0, json::array({siyi_photo(0)}), dir.path()));
    }
    tick(px4_state(2, "", 0, json::array({siyi_photo(0)}), dir.path()));
    EXPECT_TRUE(runner.pending.size() <= 1u) << "at most the log upload";
    runner.runAll();
    EXPECT_TRUE(h.http.postsTo(kUploadUrl).empty());
    EXPECT_EQ(h.clock.slept(), 500ms) << "nothing to wait for";
    EXPECT_FALSE(active());
}

TEST_F(MissionMonitorTest, PhotosFarApartAreAllUploaded)
{
    testsupport::TempDir dir;
    run_tasks = true;
    accept();
    const json one = json::array({siyi_photo(0)});
    const json both = json::array({siyi_photo(0), siyi_photo(1)});
    tick(px4_state(3, "takeoff", -1, json::array(), dir.path()));
    tick(px4_state(4, "hover_photo", 0, one, dir.path()));
    for (int i = 0; i < 10; ++i) {
        tick(px4_state(4, "goto_height", 1, one, dir.path()));
    }
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 1u);
    const std::string out = fakes::printed([&] {
        for (int i = 0; i < 11; ++i) {
            tick(px4_state(4, "hover_photo", 1, both, dir.path()));
        }
    });
    EXPECT_NE(out.find("[UPLOAD] Photos stable at 2, uploading 1 more..."), std::string::npos);
    tick(px4_state(2, "", 1, both, dir.path()));

    const auto posts = h.http.postsTo(kUploadUrl);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].fields.at("height"), "1.5");
    EXPECT_EQ(posts[1].fields.at("height"), "2.5");
    const json result = json::parse(testsupport::read_file(dir.file("upload_result.json")));
    ASSERT_EQ(result["items"].size(), 2u);
    EXPECT_EQ(result["items"][0]["height_idx"], 0);
    EXPECT_EQ(result["items"][1]["height_idx"], 1);
    const auto events = log_events(dir.path());
    EXPECT_EQ(std::count(events.begin(), events.end(), "upload"), 2);
    EXPECT_EQ(h.clock.slept(), 500ms) << "every photo was tried before the end";
}

TEST_F(MissionMonitorTest, PhotosListedAtTheEndAreUploadedAndAwaited)
{
    testsupport::TempDir dir;
    accept();
    const json both = json::array({siyi_photo(0), siyi_photo(1)});
    tick(px4_state(3, "takeoff", -1, json::array(), dir.path()));
    tick(px4_state(6, "", 1, json::array({siyi_photo(0)}), dir.path()));
    // The upload worker finishes during the third second of the wait.
    int waited = 0;
    h.clock.on_sleep = [&](std::chrono::milliseconds d) {
        if (d == 1000ms && ++waited == 3) {
            runner.runAll();
        }
    };
    const std::string out = fakes::printed([&] { tick(px4_state(2, "", 1, both, dir.path())); });
    EXPECT_NE(out.find("[UPLOAD] Task ended, uploading 2 photo(s) not handed over yet..."), std::string::npos) << out;
    EXPECT_NE(out.find("[UPLOAD] Task ended, waiting for photo upload to complete..."), std::string::npos);
    EXPECT_NE(out.find("[UPLOAD] Photo upload completed"), std::string::npos);
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 2u);
    EXPECT_EQ(h.mqtt.statusCodes().back(), "414");
    EXPECT_EQ(h.clock.slept(), 3500ms);
}

TEST_F(MissionMonitorTest, EndWaitIsBoundedBySixtySeconds)
{
    testsupport::TempDir dir;
    accept();
    const json photos = json::array({siyi_photo(0)});
    tick(px4_state(3, "takeoff", -1, json::array(), dir.path()));
    for (int i = 0; i < 4; ++i) {
        tick(px4_state(4, "hover_photo", 0, photos, dir.path()));
    }
    ASSERT_EQ(runner.pending.size(), 1u) << "handed over, never finishing";
    const std::string out = fakes::printed([&] { tick(px4_state(2, "", 0, photos, dir.path())); });
    EXPECT_NE(out.find("[UPLOAD] Timeout waiting for photo upload"), std::string::npos);
    EXPECT_EQ(h.clock.slept(), 60500ms);
    EXPECT_EQ(h.mqtt.statusCodes().back(), "414");
    EXPECT_FALSE(active());
}

TEST_F(MissionMonitorTest, UploadOfAnEarlierMissionNeverMarksTheNextOne)
{
    testsupport::TempDir one;
    testsupport::TempDir two;
    accept(two_point_mission("M1"));
    const json photos = json::array({siyi_photo(0)});
    tick(px4_state(3, "takeoff", -1, json::array(), one.path()));
    for (int i = 0; i < 4; ++i) {
        tick(px4_state(4, "hover_photo", 0, photos, one.path()));
    }
    tick(px4_state(2, "", 0, photos, one.path()));  // times out; the upload is still pending
    accept(two_point_mission("M2"));
    runner.runAll();  // mission one's upload finishes late
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_FALSE(h.mission.photos_uploaded);
}
