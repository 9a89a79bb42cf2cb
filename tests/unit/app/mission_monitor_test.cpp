#include <algorithm>
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "mission_fakes.h"

using namespace fakes;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUploadUrl = "http://platform/upload";
constexpr const char* kLogUrl = "http://127.0.0.1:8087/carUavBackend/logFileArchive/saveUavNormalLog";

json two_point_mission(const std::string& id = "M1") {
    return {{"carMissionId", id},
            {"carFlightMissionHistoryId", "H-" + id},
            {"warehouseNum", json::array({"A1", "A2"})},
            {"uploadMediaDataUrl", kUploadUrl},
            {"carFlightPointList", json::array({{{"id", "p0"}, {"z", "1.5"}, {"warehousePositionNum", "W0"}},
                                                {{"id", "p1"}, {"z", "2.5"}, {"warehousePositionNum", "W1"}}})}};
}

// Siyi photo entries for the heights given.
json photos(const std::vector<int>& heights) {
    json out = json::array();
    for (int idx : heights)
        out.push_back({{"camera", "siyi"}, {"height_idx", idx}});
    return out;
}

class MissionMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.runner.hold = true;
        h.build();
    }
    // Accepts a mission; its start sequence is not part of these tests.
    void accept(const json& payload = two_point_mission()) {
        h.accept(payload);
        h.runner.pending.clear();
    }
    void tick(const json& state, int times = 1) {
        h.px4.setState(state);
        for (int i = 0; i < times; ++i) {
            h.core->monitor.tick();
            if (run_tasks) h.runner.runAll();
        }
    }
    // Ticks with px4ctrl working in the fixture's task directory.
    void at(int fs, const std::string& sub = "", int idx = -1, const json& listed = json::array(), int times = 1) {
        tick(px4_state(fs, sub, idx, listed, dir.path()), times);
    }
    // Flies the two heights of two_point_mission from take-off to standby in
    // task_dir, with photos listed as px4ctrl would list them.
    void fly(const std::string& task_dir, bool with_photos = false) {
        const json p0 = with_photos ? photos({0}) : json::array();
        const json p1 = with_photos ? photos({0, 1}) : json::array();
        for (const auto& [fs, sub, idx, listed] :
             std::vector<std::tuple<int, std::string, int, json>>{{2, "", -1, json::array()},
                                                                  {3, "takeoff", -1, json::array()},
                                                                  {4, "goto_height", 0, json::array()},
                                                                  {4, "hover_photo", 0, p0},
                                                                  {4, "goto_height", 1, p0},
                                                                  {4, "hover_photo", 1, p1},
                                                                  {6, "land_descend", 1, p1},
                                                                  {2, "", 1, p1}}) {
            tick(px4_state(fs, sub, idx, listed, task_dir));
        }
    }

    TempDir dir;
    Harness h;
    // Background work (uploads) runs right after each tick.
    bool run_tasks = false;
};

}  // namespace

TEST_F(MissionMonitorTest, FullMissionReportsEachPhaseInOrder) {
    json mission = two_point_mission();
    mission["carMissionId"] = std::string(
        "M\xff"
        "1");
    accept(mission);
    const std::string out = output_of([&] { fly(dir.path()); });

    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"406", "408", "408", "408", "408", "410", "411", "414"}));
    EXPECT_EQ(log_events(dir.path()), (Texts{"client_start", "takeoff", "executing", "executing", "arrive_point",
                                             "executing", "executing", "arrive_point", "landing", "finished"}));
    const auto records = read_jsonl(dir.file("client_log.jsonl"));
    EXPECT_EQ(records[0]["task_dir"], dir.path());
    EXPECT_EQ(records[3]["sub_state"], "hover_photo");
    EXPECT_EQ(records[7]["height_idx"], 1);
    EXPECT_EQ(records[9]["reason"], "all_heights_completed");
    // The mission copy, written once, with the car's bad bytes replaced.
    const std::string text = testsupport::read_file(dir.file("car_mission.json"));
    const json copy = json::parse(text);
    EXPECT_EQ(copy.size(), 16u);
    expect_members(copy, {{"carMissionId",
                           "M\xEF\xBF\xBD"
                           "1"},
                          {"warehouseNum", "A1"},
                          {"batteryLimit", "20"},
                          {"beforeTakeoffPhotoConfig", json::object()}});
    EXPECT_THAT(text, HasSubstr("\n  \"batteryLimit\"")) << "indented by two";
    EXPECT_EQ(pluck(h.mqtt.messages("UploadUavArrivePoint"), "/parms/carFlightPointId"), (Texts{"p0", "p1"}));
    EXPECT_EQ(h.mqtt.count("UploadCarFlightHistory"), 8u) << "one per tick";
    EXPECT_EQ(h.car.realtime.size(), 8u);
    EXPECT_EQ(h.car.missionCodes(), (Texts{"1", "4", "6"})) << "sent on change only";
    EXPECT_EQ(h.stats.transitions.all(), Texts{"2>3"});
    EXPECT_EQ(h.stats.successes.size(), 1u);
    EXPECT_FALSE(h.active());
    // Without photos nothing is awaited; the log upload runs after the end.
    EXPECT_EQ(h.clock.slept(), 500ms);
    EXPECT_THAT(out, testing::Not(HasSubstr("waiting for photo upload")));
    h.runner.runAll();
    const auto posts = h.http.postsTo(kLogUrl);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].path, dir.file("client_log.jsonl"));
}

TEST_F(MissionMonitorTest, ArrivalRules) {
    accept();
    at(4, "goto_height", 0);
    at(4, "hover_photo", 0, json::array(), 5);
    EXPECT_EQ(h.mqtt.count("UploadUavArrivePoint"), 1u) << "one per hover";
    at(4, "hover_photo", 1);
    EXPECT_EQ(h.locked([](MissionContext& m) { return m.current_point_id; }), "p1");
    // A negative index is taken from the first photo; index 2 is beyond the
    // two points, so the arrival names the previous point.
    EXPECT_THAT(output_of([&] {
                    at(4, "hover_photo", -1, photos({2, 0}));
                }),
                HasSubstr("[KOVO] hover_photo detected, effective_idx=2 kovo_idx=-1 fs=4"));
    EXPECT_EQ(h.mqtt.messages("UploadUavArrivePoint").back()["parms"]["carFlightPointId"], "p1");
    // Negative without photos: index 0, again after another sub-state.
    EXPECT_THAT(output_of([&] {
                    at(4, "goto_height", 0);
                    at(4, "hover_photo", -1);
                }),
                HasSubstr("[KOVO] hover_photo detected, effective_idx=0 kovo_idx=-1 fs=4"));
    EXPECT_EQ(h.locked([](MissionContext& m) { return m.current_point_id; }), "p0");
    EXPECT_EQ(h.mqtt.count("UploadUavArrivePoint"), 4u);
}

TEST_F(MissionMonitorTest, FallbackIndexWhenNoHoverPhotoWasSeen) {
    accept();
    at(3, "takeoff");
    json state = px4_state(4, "goto_height", 0, photos({1, 1}), dir.path());
    state["uav"] = {{"bat", {{"remain", 55.5}}}, {"lpos", {{"z", -2.5}, {"vz", "0.25"}}}};
    tick(state);
    const InternalState s = h.stats.states.back();  // what the dashboard shows
    EXPECT_EQ(std::tie(s.kovo_sub, s.has_task, s.photo_count, s.mission_id, s.battery_remain, s.lpos_z, s.lpos_vz),
              std::make_tuple(std::string("goto_height"), true, 2, std::string("H-M1"), 55.5f, -2.5f, 0.25f));

    EXPECT_THAT(output_of([&] {
                    at(2, "", 0, photos({1, 1}));
                }),
                HasSubstr("[KOVO] Fallback: task ended with photos but no hover_photo trigger, using photo_idx=1"));
    EXPECT_EQ(h.stats.states.back().last_completed_height_idx, 1);
    EXPECT_EQ(h.mqtt.count("UploadUavArrivePoint"), 0u);
}

// Photos of a mission without an upload URL are neither uploaded nor awaited.
TEST_F(MissionMonitorTest, ReturnToLaunchThenLandingWithoutUploadUrl) {
    json mission = two_point_mission();
    mission.erase("uploadMediaDataUrl");
    accept(mission);
    at(3, "takeoff", 0, photos({0}));
    at(5, "", 0, photos({0}), 4);
    EXPECT_EQ(h.car.missionCodes().back(), "12");
    at(6, "", 0, photos({0}));
    at(2, "", 0, photos({0}));
    h.runner.runAll();
    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"406", "416", "410", "411", "414"}));
    EXPECT_EQ(log_events(dir.path()), (Texts{"client_start", "takeoff", "rtl", "landing", "finished"}));
    EXPECT_TRUE(h.http.postsTo(kUploadUrl).empty());
    EXPECT_EQ(h.clock.slept(), 500ms) << "nothing to wait for";
}

// The car may send the next mission as soon as it sees "6", before the
// monitor's next tick.
TEST_F(MissionMonitorTest, MissionAcceptedRightAfterTheEndStartsFresh) {
    TempDir two;
    run_tasks = true;
    accept(two_point_mission("M1"));
    fly(dir.path(), true);
    accept(two_point_mission("M2"));
    fly(two.path(), true);
    EXPECT_EQ(h.mqtt.count("UploadUavArrivePoint"), 4u) << "index 0 is reported again";
    EXPECT_EQ(h.car.missionCodes(), (Texts{"1", "4", "6", "1", "4", "6"}));
    EXPECT_EQ(h.stats.successes.size(), 2u);
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 4u) << "both missions' photos";
    EXPECT_EQ(json_file(two.file("upload_result.json"))["items"].size(), 2u);
    EXPECT_EQ(json_file(two.file("car_mission.json"))["carMissionId"], "M2");
    EXPECT_EQ(log_events(two.path()).front(), "client_start");
}

// A directory px4ctrl reports between missions is usually the previous
// mission's: taken over, never written; a new mission waits for a new one,
// and a directory reported during a mission gets the later records only.
TEST_F(MissionMonitorTest, TaskDirectoryTakeover) {
    TempDir second, third;
    testsupport::write_file(dir.file("car_mission.json"), "{\"carMissionId\":\"previous run\"}");
    at(2, "", -1, json::array(), 2);
    EXPECT_EQ(h.locked([](MissionContext& m) { return m.task_dir; }), dir.path());

    accept(two_point_mission("M2"));
    at(2);
    at(3, "takeoff");
    EXPECT_EQ(testsupport::read_file(dir.file("car_mission.json")), "{\"carMissionId\":\"previous run\"}");
    EXPECT_FALSE(testsupport::file_exists(dir.file("client_log.jsonl")));
    EXPECT_EQ(h.locked([](MissionContext& m) { return m.task_dir; }), "");

    tick(px4_state(4, "goto_height", 0, json::array(), second.path()));
    EXPECT_EQ(json_file(second.file("car_mission.json"))["carMissionId"], "M2");
    tick(px4_state(4, "hover_photo", 0, json::array(), third.path()));
    EXPECT_EQ(log_events(second.path()), (Texts{"client_start", "executing"}));
    EXPECT_EQ(log_events(third.path()), (Texts{"executing", "arrive_point"}));
    EXPECT_FALSE(testsupport::file_exists(third.file("car_mission.json")));
}

// No state (null) or no link: the tick does nothing. An empty state still
// reports.
TEST_F(MissionMonitorTest, TicksWithoutAStateOrLinkAndTheFirstTickAfterAnOutage) {
    tick(json());
    EXPECT_TRUE(h.car.realtime.empty() && h.mqtt.raw.empty());
    EXPECT_EQ(output_of([&] { tick(json::object()); }), "") << "no mission, no state line";
    EXPECT_EQ(h.car.realtime[0]["missionStatus"], "0");
    EXPECT_EQ(h.mqtt.count("UploadCarFlightHistory"), 1u);
    EXPECT_EQ(h.stats.states.back().fs, -1);

    accept();
    at(3, "takeoff");
    at(4, "goto_height", 0);
    const size_t sent = h.car.realtime.size() + h.mqtt.raw.size() + h.stats.states.size();
    h.px4.setLink(false);
    at(6, "", 0);
    h.px4.connected = true;  // connected again, not logged in yet
    at(2, "", 0);
    EXPECT_EQ(h.car.realtime.size() + h.mqtt.raw.size() + h.stats.states.size(), sent);
    EXPECT_TRUE(h.active());
    // Logged in: px4ctrl has landed meanwhile.
    h.px4.setLink(true);
    at(2, "", 0);
    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"406", "408", "411", "414"}));
    EXPECT_FALSE(h.active());
}

// Photo hand-over and the end sequence's wait.

TEST_F(MissionMonitorTest, PhotosAreHandedOverThreeTicksAfterTheLastIncrease) {
    accept();
    const std::string out = output_of([&] {
        at(4, "goto_height", 0, photos({0}));
        at(4, "goto_height", 0, photos({0, 0}), 3);
        EXPECT_TRUE(h.runner.pending.empty());
        EXPECT_FALSE(h.stats.states.back().upload_started);
        at(4, "goto_height", 0, photos({0, 0}));
    });
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Photos count increased to 1, waiting for stability..."));
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Photos count increased to 2, waiting for stability..."));
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Photos stable at 2, starting upload..."));
    EXPECT_TRUE(h.stats.states.back().upload_started);
    ASSERT_EQ(h.runner.pending.size(), 1u) << "one upload worker";
    h.runner.runAll();
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 2u);
}

TEST_F(MissionMonitorTest, PhotosFarApartAreAllUploaded) {
    run_tasks = true;
    accept();
    at(3, "takeoff");
    at(4, "hover_photo", 0, photos({0}));
    at(4, "goto_height", 1, photos({0}), 10);
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 1u);
    EXPECT_THAT(output_of([&] {
                    at(4, "hover_photo", 1, photos({0, 1}), 11);
                }),
                HasSubstr("[UPLOAD] Photos stable at 2, uploading 1 more..."));
    at(2, "", 1, photos({0, 1}));

    const auto posts = h.http.postsTo(kUploadUrl);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].fields.at("height"), "1.5");
    EXPECT_EQ(posts[1].fields.at("height"), "2.5");
    const json result = json_file(dir.file("upload_result.json"));
    ASSERT_EQ(result["items"].size(), 2u);
    EXPECT_EQ(result["items"][1]["height_idx"], 1);
    const auto events = log_events(dir.path());
    EXPECT_EQ(std::count(events.begin(), events.end(), "upload"), 2);
    EXPECT_EQ(h.clock.slept(), 500ms) << "every photo was tried before the end";
}

TEST_F(MissionMonitorTest, PhotosListedAtTheEndAreUploadedAndAwaited) {
    accept();
    at(3, "takeoff");
    at(6, "", 1, photos({0}));
    // The upload worker finishes during the third second of the wait.
    int waited = 0;
    h.clock.on_sleep = [&](std::chrono::milliseconds d) {
        if (d == 1000ms && ++waited == 3) h.runner.runAll();
    };
    const std::string out = output_of([&] { at(2, "", 1, photos({0, 1})); });
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Task ended, uploading 2 photo(s) not handed over yet...\n"
                               "[UPLOAD] Task ended, waiting for photo upload to complete...\n"));
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Photo upload completed"));
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 2u);
    EXPECT_EQ(h.mqtt.statusCodes().back(), "414");
    EXPECT_EQ(h.clock.slept(), 3500ms);
}

TEST_F(MissionMonitorTest, EndWaitIsBoundedAndALateUploadNeverMarksTheNextMission) {
    accept(two_point_mission("M1"));
    at(3, "takeoff");
    at(4, "hover_photo", 0, photos({0}), 4);
    ASSERT_EQ(h.runner.pending.size(), 1u) << "handed over, never finishing";
    EXPECT_THAT(output_of([&] { at(2, "", 0, photos({0})); }), HasSubstr("[UPLOAD] Timeout waiting for photo upload"));
    EXPECT_EQ(h.clock.slept(), 60500ms);
    EXPECT_EQ(h.mqtt.statusCodes().back(), "414");
    EXPECT_FALSE(h.active());

    // Mission two is accepted; then mission one's upload finishes.
    h.accept(two_point_mission("M2"));
    ASSERT_EQ(h.runner.pending.size(), 3u) << "photo worker, log upload, start sequence";
    output_of(h.runner.pending.front());
    EXPECT_FALSE(h.photosUploaded());
}
