#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "app/mission/mission_phase.h"
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

// px4ctrl's states while it flies the two heights of two_point_mission, with
// photos listed as px4ctrl would list them.
std::vector<json> flight(const std::string& task_dir, bool with_photos = false) {
    const json p0 = with_photos ? photos({0}) : json::array();
    const json p1 = with_photos ? photos({0, 1}) : json::array();
    return {px4_state(2, "", -1, json::array(), task_dir),
            px4_state(3, "takeoff", -1, json::array(), task_dir),
            px4_state(4, "goto_height", 0, json::array(), task_dir),
            px4_state(4, "hover_photo", 0, p0, task_dir),
            px4_state(4, "goto_height", 1, p0, task_dir),
            px4_state(4, "hover_photo", 1, p1, task_dir),
            px4_state(6, "land_descend", 1, p1, task_dir),
            px4_state(2, "", 1, p1, task_dir)};
}

class MissionMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.runner.hold = true;
        h.build();
    }
    // Accepts a mission; its start sequence is not part of these tests.
    void accept(const json& payload = two_point_mission()) {
        const bool hold = h.runner.hold;
        h.runner.hold = true;
        h.accept(payload);
        h.runner.pending.pop_back();
        h.runner.hold = hold;
    }
    void tick(const json& state, int times = 1) {
        h.px4.setState(state);
        for (int i = 0; i < times; ++i) {
            h.core->monitor.tick();
        }
    }
    // Ticks with px4ctrl working in the fixture's task directory.
    void at(int fs, const std::string& sub = "", int idx = -1, const json& listed = json::array(), int times = 1) {
        tick(px4_state(fs, sub, idx, listed, dir.path()), times);
    }
    void fly(const std::string& task_dir, bool with_photos = false) {
        for (const json& state : flight(task_dir, with_photos))
            tick(state);
    }

    TempDir dir;
    Harness h;
};

}  // namespace

// Rows: fs, sub-state, previous fs and sub-state, was flying (and for
// hovers the index and the last one reported) -> phase, entered, was flying
// after the tick, arrived; with the default codes (standby 2, take-off 3,
// executing 4, return 5, landing 6, kovo 7, idle 0; flying 3, 4, 6, 7) or
// without flying codes.
TEST(MissionPhase, EachTickIsClassifiedAndEnteredByItsOwnTrigger) {
    using P = MissionPhase;
    struct Row {
        PhaseInput in;
        P phase;
        bool entered, flying_after, arrived;
        bool no_flying_codes = false;
    };
    const std::vector<Row> rows{
        {{3, "", 2, "", false}, P::TAKEOFF, true, true, false},
        {{3, "takeoff", 3, "", true}, P::TAKEOFF, true, true, false},  // take-off reports each sub-state
        {{3, "takeoff", 3, "takeoff", true}, P::TAKEOFF, false, true, false},
        {{4, "takeoff", 2, "takeoff", false}, P::TAKEOFF, true, true, false},
        {{3, "land_descend", 4, "goto_height", true}, P::TAKEOFF, true, true, false},          // the first rule wins
        {{4, "hover_photo", 4, "hover_photo", true, 0, 0}, P::EXECUTING, false, true, false},  // one arrival a hover
        {{4, "hover_photo", 4, "hover_photo", true, 1, 0}, P::EXECUTING, false, true, true},
        {{7, "goto_height", 4, "hover_photo", true, 1, 0}, P::EXECUTING, true, true, false},
        {{4, "", 3, "takeoff", true}, P::NONE, false, true, false},
        {{6, "hover_photo", 4, "hover_photo", true, 1, 1}, P::LANDING, true, true, false},
        {{4, "land_descend", 4, "hover_photo", true}, P::LANDING, false, true, false},  // landing follows fs only
        {{2, "land_descend", 6, "land_descend", true}, P::ENDED, true, true, false},
        {{2, "", 2, "land_descend", true}, P::ENDED, false, true, false},
        {{5, "", 4, "goto_height", true}, P::RETURNING, true, true, false},
        {{7, "", 2, "", false}, P::NONE, false, true, false},  // a flying code alone counts as flown
        {{3, "", 2, "", false}, P::TAKEOFF, true, true, false, true},
        {{3, "", 3, "", false}, P::TAKEOFF, false, false, false, true},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        AppConfig::Mission codes = AppConfig{}.mission;
        if (r.no_flying_codes) codes.flying_fs_codes.clear();
        const PhaseStep step = classify_tick(codes, r.in);
        EXPECT_EQ(std::tie(step.phase, step.entered, step.was_flying, step.arrived),
                  std::tie(r.phase, r.entered, r.flying_after, r.arrived))
            << "row " << i;
    }
}

// A mission flown to its end; the car may send the next one as soon as it
// sees "6", before the monitor's next tick.
TEST_F(MissionMonitorTest, FullMissionThenTheNextRightAfterItsEnd) {
    TempDir two;
    h.runner.hold = false;  // uploads run as they are handed over
    accept(two_point_mission("M1"));
    output_of([&] { fly(dir.path(), true); });

    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"406", "408", "408", "408", "408", "410", "411", "414"}));
    const auto records = read_jsonl(dir.file("client_log.jsonl"));
    EXPECT_EQ(records[0]["task_dir"], dir.path());
    EXPECT_EQ(records[3]["sub_state"], "hover_photo");
    EXPECT_EQ(records[7]["height_idx"], 1);
    const json copy = json_file(dir.file("car_mission.json"));
    EXPECT_EQ(copy.size(), 16u);
    expect_members(copy, {{"warehouseNum", "A1"}, {"beforeTakeoffPhotoConfig", json::object()}});
    EXPECT_EQ(h.car.missionCodes(), (Texts{"1", "4", "6"})) << "sent on change only";
    EXPECT_EQ(h.stats.transitions.all(), Texts{"2>3"});
    EXPECT_EQ(h.clock.slept(), 500ms) << "every photo was tried before the end";

    accept(two_point_mission("M2"));
    tick(px4_state(0, "", -1, json::array(), two.path()));  // px4ctrl idle, then standing by: no end
    EXPECT_EQ(h.stats.states.back().last_completed_height_idx, -1);
    EXPECT_THAT(output_of([&] { fly(two.path(), true); }), HasSubstr("[UPLOAD] Photos count increased to 1,"));
    EXPECT_EQ(h.mqtt.messages("UploadUavArrivePoint").size(), 4u) << "index 0 is reported again";
    EXPECT_EQ(h.stats.successes.size(), 2u);
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 4u) << "both missions' photos";
    EXPECT_EQ(json_file(two.file("car_mission.json"))["carMissionId"], "M2");
    EXPECT_EQ(log_events(two.path()).front(), "client_start");
}

// No state (null): the tick does nothing; no mission: no state line. A
// directory px4ctrl reports between missions is usually the previous
// mission's: taken over, never written; a new mission waits for a new one,
// and a directory reported during a mission gets the later records only.
TEST_F(MissionMonitorTest, TicksBetweenMissionsAndTaskDirectoryTakeover) {
    TempDir second, third;
    tick(json());
    EXPECT_TRUE(h.car.realtime.empty() && h.mqtt.raw.empty());
    EXPECT_EQ(output_of([&] { tick(json::object()); }), "");
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
    // No directory: the last one stays. A step beyond the points is reported
    // with the last point.
    tick(px4_state(4, "hover_photo", -1, photos({2})));
    EXPECT_EQ(log_events(second.path()), (Texts{"client_start", "executing"}));
    EXPECT_EQ(log_events(third.path()), (Texts{"executing", "arrive_point", "arrive_point"}));
    EXPECT_EQ(pluck(h.mqtt.messages("UploadUavArrivePoint"), "/parms/carFlightPointId"), (Texts{"p0", "p0"}));
    EXPECT_FALSE(testsupport::file_exists(third.file("car_mission.json")));
}

// px4ctrl may take off and land by itself while the start sequence waits out
// its delay, and the car sends the next mission as soon as it sees the end.
TEST_F(MissionMonitorTest, StartSequenceOfAClosedMissionNeverSendsItsCommand) {
    h.accept(two_point_mission("M1"));
    at(3, "takeoff");
    at(2);
    h.accept(two_point_mission("M2"));
    EXPECT_THAT(output_of(h.runner.pending.front()), HasSubstr("[CAR] Mission no longer active, start sequence ends"));
    EXPECT_TRUE(h.px4.commands.empty());
    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"406", "411", "414"}));
    EXPECT_TRUE(h.active());
}

// The list goes out three ticks after it last grew; photos listed after that
// follow as a batch of their own.
TEST_F(MissionMonitorTest, PhotosGoOutOnceTheListIsStable) {
    h.runner.hold = false;
    accept();
    auto uploads = [&] { return h.http.postsTo(kUploadUrl).size(); };
    const std::string out = output_of([&] {
        at(4, "hover_photo", 0, photos({0}));
        at(4, "goto_height", 1, photos({0}), 2);
        EXPECT_EQ(uploads(), 0u);
        at(4, "goto_height", 1, photos({0}));
        EXPECT_EQ(uploads(), 1u);
        at(4, "hover_photo", 1, photos({0, 1}), 3);
        EXPECT_EQ(uploads(), 1u);
        at(4, "hover_photo", 1, photos({0, 1}));
    });
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Photos stable at 1, starting upload...\n"));
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Photos stable at 2, uploading 1 more...\n"));
    ASSERT_EQ(uploads(), 2u);
    EXPECT_EQ(h.http.postsTo(kUploadUrl)[1].fields.at("height"), "2.5");
}

// A directory no one can write (under a regular file: not even root) costs
// one line per file and mission, and no log upload.
TEST_F(MissionMonitorTest, UnwritableRecordsAreSaidOncePerFileAndMission) {
    testsupport::write_file(dir.file("file"), "x");
    h.runner.hold = false;
    for (const char* id : {"M1", "M2"}) {
        accept(two_point_mission(id));
        const std::string blocked = dir.file("file") + "/" + id;
        testsupport::LogCapture log(false);
        fly(blocked, true);
        for (const char* name : {"client_log.jsonl", "car_mission.json", "upload_result.json"})
            EXPECT_EQ(log.count("[FILE] Cannot write " + blocked + "/" + name + ": Not a directory"), 1u) << name;
        EXPECT_EQ(log.count("[LOG] Not uploading " + blocked + "/client_log.jsonl: Not a directory"), 1u);
    }
    EXPECT_TRUE(h.http.postsTo(kLogUrl).empty());
}

// The end hands over the photos not handed over yet and waits for them, at
// most 60 s; an upload finishing after its mission never marks the next one.
TEST_F(MissionMonitorTest, EndWaitsForThePhotosAtMostAMinute) {
    TempDir two;
    accept(two_point_mission("M1"));
    at(3, "takeoff");
    at(6, "", 1, photos({0}));
    int waited = 0;  // the upload finishes in the third second of the wait
    h.clock.on_sleep = [&](std::chrono::milliseconds d) {
        if (d == 1000ms && ++waited == 3) h.runner.runAll();
    };
    const std::string out = output_of([&] { at(2, "", 1, photos({0, 1})); });
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Task ended, uploading 2 photo(s) not handed over yet...\n"
                               "[UPLOAD] Task ended, waiting for photo upload to complete...\n"));
    EXPECT_THAT(out, HasSubstr("[UPLOAD] Photo upload completed"));
    EXPECT_EQ(h.http.postsTo(kUploadUrl).size(), 2u);
    EXPECT_EQ(h.clock.slept(), 3500ms);

    // Returning to launch, the photo handed over, never finishing.
    accept(two_point_mission("M2"));
    tick(px4_state(3, "takeoff", -1, photos({0}), two.path()));
    json rtl = px4_state(5, "", -1, photos({0}), two.path());
    rtl["uav"] = {{"bat", {{"remain", 55.5}}}, {"lpos", {{"z", -2.5}, {"vz", "0.25"}}}};
    tick(rtl, 3);
    const InternalState s = h.stats.states.back();  // what the dashboard shows
    EXPECT_EQ(std::tie(s.kovo_sub, s.has_task, s.photo_count, s.mission_id, s.battery_remain, s.lpos_z, s.lpos_vz),
              std::make_tuple(std::string(""), true, 1, std::string("H-M2"), 55.5f, -2.5f, 0.25f));
    EXPECT_THAT(output_of([&] { tick(px4_state(2, "", -1, photos({0}), two.path())); }),
                HasSubstr("[UPLOAD] Timeout waiting for photo upload"));
    EXPECT_EQ(h.clock.slept(), 3500ms + 60500ms);
    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"406", "410", "411", "414", "406", "416", "411", "414"}));
    EXPECT_EQ(log_events(two.path()), (Texts{"client_start", "takeoff", "rtl", "finished"}));
    h.accept(two_point_mission("M3"));
    ASSERT_EQ(h.runner.pending.size(), 2u) << "photo worker (the log uploads after the photos), start sequence";
    output_of(h.runner.pending.front());
    EXPECT_FALSE(h.photosUploaded());
}

// Nothing that may block (a log line, a report, a sleep, an upload) runs under
// the mission lock: a stalled pipe or broker would hold the car link and the
// monitor loop up behind it. Each such call checks from another thread that
// the lock is free.
TEST(MissionLock, IsFreeWheneverTheMissionLogicCallsOut) {
    TempDir dir;
    Harness h;
    Log<std::string> held;
    auto probe = [&](const std::string& call) {
        auto free = [&] { return std::unique_lock<std::mutex>(h.mission.mutex, std::try_to_lock).owns_lock(); };
        if (!std::async(std::launch::async, free).get()) held.add(call);
    };
    h.mqtt.on_publish = [&] { probe("publish"); };
    h.clock.on_sleep = [&](std::chrono::milliseconds) { probe("sleep"); };
    h.http.post_reply = [&] { return probe("upload"), HttpReply{200, "{}"}; };
    h.px4.on_cmd = [&] { h.px4.setState(px4_state(3, "takeoff")); };
    h.px4.setState(px4_state(2));
    h.build();
    const auto sink = kovo::log::set_sink(
        [&](kovo::log::Level, kovo::log::Colour, const std::string& text) { probe(text.substr(0, 40)); });
    // Background work runs at once, on this thread.
    h.core->intake.onCarMission(two_point_mission());
    h.core->intake.onCarMission(two_point_mission("busy"));
    h.core->reboot.onCarRebootQuery();
    for (const json& state : flight(dir.path(), true)) {
        h.px4.setState(state);
        h.core->monitor.tick();
    }
    h.px4.setState(px4_state(0));  // never standing by: the next mission is given up
    h.core->intake.onCarMission(two_point_mission("M2"));
    kovo::log::set_sink(sink);
    EXPECT_EQ(h.mqtt.statusCodes(), (Texts{"400", "406", "408", "408", "408", "408", "410", "411", "414", "415"}));
    EXPECT_EQ(h.http.posts.size(), 3u) << "two photos and the log";
    EXPECT_EQ(held.all(), Texts{});
}

// Success needs evidence: every height seen (or px4ctrl's own end over a link
// that held throughout the flight) and every listed photo uploaded. The
// platform reports end the task either way; the client log goes out last.
// Events before a tick: D logged out (a tick without login does nothing),
// U logged in again, R logged in anew, F uploads refused, N the mission has
// no upload URL (its photos are neither uploaded nor awaited).
TEST_F(MissionMonitorTest, TheOutcomeFollowsTheEvidence) {
    struct Step {
        int fs;
        const char* sub;
        int idx;
        std::vector<int> listed;
        char event = 0;
    };
    struct Row {
        std::vector<Step> steps;
        std::string reason;       // empty: a success
        std::vector<int> photos;  // listed, uploaded, failed
        bool fallback = false;    // photos but no hover: the first photo's height counts
    };
    const Row rows[] = {
        {{{3, "takeoff", -1, {}}, {4, "hover_photo", 0, {0}}, {4, "hover_photo", 1, {0, 1}}, {2, "", 1, {0, 1}}},
         "",
         {2, 2, 0}},
        // Lost on the way to the last height; px4ctrl comes back listing no
        // photo: the one listed before still goes out.
        {{{3, "takeoff", -1, {}}, {4, "hover_photo", 0, {0}}, {4, "goto_height", 1, {0}, 'D'}, {2, "", -1, {}, 'U'}},
         "px4ctrl_link_lost",
         {1, 1, 0}},
        {{{4, "hover_photo", 0, {}}, {2, "", -1, {}, 'R'}}, "px4ctrl_link_lost", {0, 0, 0}},
        {{{4, "hover_photo", 0, {}}, {6, "land_descend", 0, {}}, {2, "", 0, {}}}, "heights_incomplete", {0, 0, 0}},
        {{{3, "takeoff", -1, {}}, {2, "", -1, {}}}, "", {0, 0, 0}},
        {{{3, "takeoff", -1, {}}, {2, "", -1, {1}}}, "", {1, 1, 0}, true},
        {{{4, "hover_photo", 1, {0, 1}, 'F'}, {2, "", 1, {0, 1}}}, "photos_not_uploaded", {2, 0, 2}},
        {{{4, "hover_photo", 1, {1}, 'N'}, {2, "", 1, {1}}}, "photos_not_uploaded", {1, 0, 0}},
    };
    h.runner.hold = false;  // uploads run as they are handed over
    for (const Row& row : rows) {
        SCOPED_TRACE(row.reason);
        const TempDir task;
        const size_t ends = h.stats.successes.size() + h.stats.failures.size();
        const auto slept = h.clock.slept();
        h.http.post_reply = nullptr;
        accept();
        const std::string out = output_of([&] {
            for (const Step& step : row.steps) {
                if (step.event == 'D' || step.event == 'U') h.px4.logined = step.event == 'U';
                if (step.event == 'R') ++h.px4.logins;
                if (step.event == 'F') h.http.post_reply = [] { return HttpReply{500, ""}; };
                if (step.event == 'N') h.locked([](MissionContext& m) { m.upload_media_data_url.clear(); });
                tick(px4_state(step.fs, step.sub, step.idx, photos(step.listed), task.path()));
            }
        });
        EXPECT_EQ(h.stats.successes.size() + h.stats.failures.size(), ends + 1);
        EXPECT_EQ(row.reason.empty() ? "" : h.stats.failures.back(), row.reason);
        EXPECT_EQ(out.find("[KOVO] Mission failed: " + row.reason + "\n") != std::string::npos, !row.reason.empty());
        EXPECT_EQ(h.stats.photos.back(), row.photos);
        EXPECT_EQ(out.find("no hover_photo trigger, using photo_idx=1\n") != std::string::npos, row.fallback);
        EXPECT_EQ(h.mqtt.statusCodes().back(), "414");
        EXPECT_EQ(read_jsonl(task.file("client_log.jsonl")).back()["reason"],
                  row.reason.empty() ? "all_heights_completed" : row.reason);
        EXPECT_EQ(h.http.posts.back().url, kLogUrl) << "after the photos";
        EXPECT_EQ(h.http.posts.back().path, task.file("client_log.jsonl"));
        EXPECT_LT(h.clock.slept() - slept, 60s) << "the photo wait is never waited out";
    }
}

// Photos handed over after landing are each filed under their own step: its
// point and position, and the pose and time (the zone tells the clock
// readings apart) when its arrival was seen; a photo of no step keeps the
// last point, the current pose and the time of its upload.
TEST_F(MissionMonitorTest, EachPhotoFormNamesItsOwnStep) {
    h.config.app.time_format = "%Z";
    h.build();
    json mission = two_point_mission();
    mission["carFlightPointList"].push_back({{"id", "p2"}, {"z", "3.5"}, {"warehousePositionNum", "W2"}});
    accept(mission);
    h.runner.hold = false;
    auto at_pose = [&](int fs, const std::string& sub, int idx, double z, const json& listed = json::array()) {
        json state = px4_state(fs, sub, idx, listed, dir.path());
        state["uav"] = {{"lpos", {{"x", idx}, {"y", 2}, {"z", z}}}, {"atti", {{"y", idx * 10}}}};
        output_of([&] { tick(state); });
    };
    setenv("TZ", "ARR0", 1), tzset();
    for (int idx = 0; idx < 3; ++idx)
        at_pose(4, "hover_photo", idx, idx + 1.5);
    setenv("TZ", "UPL0", 1), tzset();
    at_pose(2, "", 9, 0, photos({0, 1, 2, 7}));
    unsetenv("TZ"), tzset();
    std::vector<Texts> forms;
    for (const auto& post : h.http.postsTo(kUploadUrl)) {
        const auto& f = post.fields;
        forms.push_back({f.at("carFlightPointId"), f.at("warehousePositionNum"), f.at("height"), f.at("uavX"),
                         f.at("uavZ"), f.at("uavYaw"), f.at("occurrenceTime")});
    }
    EXPECT_EQ(forms, (std::vector<Texts>{{"p0", "W0", "1.5", "0", "1.50", "0", "ARR"},
                                         {"p1", "W1", "2.5", "1", "2.50", "10", "ARR"},
                                         {"p2", "W2", "3.5", "2", "3.50", "20", "ARR"},
                                         {"p2", "W2", "1.2", "9", "0.00", "90", "UPL"}}));
}
