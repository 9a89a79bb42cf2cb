#include <chrono>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "mission_fakes.h"

using namespace fakes;
using namespace std::chrono_literals;

namespace {

// The command px4ctrl receives for a payload.
std::string command_for(const json& payload, const std::string& prefix = "kovo") {
    Harness h;
    h.config.mission.kovo_cmd_prefix = prefix;
    h.px4.setState(px4_state(2));
    h.px4.on_cmd = [&h] { h.px4.setState(px4_state(4, "takeoff")); };
    h.build();
    h.accept(payload);
    return h.px4.commands.empty() ? "<none>" : h.px4.commands[0];
}

json with_points(json points) { return {{"carFlightPointList", std::move(points)}}; }

}  // namespace

TEST(MissionIntake, FillsTheRecordAndResetsPerMissionState) {
    Harness h;
    h.runner.hold = true;  // the start sequence stays queued
    h.build();
    h.locked([](MissionContext& m) {
        m.photos_uploaded = m.car_mission_written = true;
        m.task_dir = "/old";
        m.current_point_id = "p-last";
    });
    json payload = json::parse(R"({"carStrategyId": 12, "carPointId": "P", "carFlightMissionHistoryId": "H",
        "beforeTakeoffPhotoConfig": {"k": 1}, "warehouseNum": [["A1", "A2"], "A3", 7],
        "carFlightPointList": [{"z": "10"}, {"z": "20"}]})");
    payload["carMissionId"] = std::string("M\xff");
    const std::string out = h.accept(payload);
    EXPECT_THAT(out, HasSubstr("[CAR] carFlightPointList size=2 cmd=[kovo 10,20]"));
    EXPECT_THAT(out, HasSubstr("\"M\xEF\xBF\xBD\"")) << "bad bytes are shown replaced";
    const Texts started = h.stats.started[0];
    EXPECT_EQ(Texts(started.begin(), started.end() - 1), (Texts{"H", "", "P", "", "2", ""}));
    EXPECT_EQ(started.back().size(), 19u) << "the start time";
    h.locked([](MissionContext& m) {
        EXPECT_EQ(m.car_strategy_id, "") << "numbers are not identifiers";
        EXPECT_EQ(m.car_mission_id, "M\xff");
        EXPECT_FALSE(m.photos_uploaded || m.car_mission_written);
        EXPECT_EQ(m.task_dir, "");
        EXPECT_EQ(m.current_point_id, "p-last") << "the last arrival is kept";
        EXPECT_EQ(std::make_tuple(m.warehouse_num, m.warehouse_count, m.warehouse_num_list),
                  std::make_tuple(std::string("A1"), std::string("3"), Texts{"A1", "A2", "A3"}));
    });

    // A second mission while one is active changes nothing.
    EXPECT_THAT(h.accept({{"carMissionId", "second"}}),
                HasSubstr("[CAR] Already has an active task, ignore new mission"));
    EXPECT_EQ(h.runner.pending.size(), 1u) << "one start sequence only";
    EXPECT_EQ(h.stats.started.size(), 1u);
    EXPECT_EQ(h.locked([](MissionContext& m) { return m.car_mission_id; }), "M\xff");
}

TEST(MissionIntake, CommandHeightsOfEachPayloadType) {
    const std::vector<std::pair<json, std::string>> rows{
        {with_points(json::array({{{"z", "1.5"}}, {{"z", 3}}, {{"z", 2.25}}})), "kovo 1.5,3,2.25"},
        {with_points(json::array({{{"z", "-2"}}, {{"z", ".5"}}, {{"z", "+3."}}})), "kovo -2,.5,+3."},
        {with_points(json::array({{{"z", 1.5}}})), "kovo 1.50"},
        // Missing heights: the take-off altitude.
        {with_points(json::array({json::object(), 5, {{"z", nullptr}}})), "kovo 1.2,1.2,1.2"},
        {"plain words", "kovo 1.2"},
    };
    for (const auto& [payload, command] : rows)
        EXPECT_EQ(command_for(payload), command) << payload;
    for (const json& z : {json("1e3"), json(" 2"), json("-"), json(""), json(true), json::array({1})})
        EXPECT_EQ(command_for(with_points(json::array({{{"z", z}}}))), "<none>") << z;
    EXPECT_EQ(command_for(with_points(json::array({{{"z", "7"}}})), "go"), "go 7") << "the configured prefix";
    // A height that is not one decimal number refuses the whole mission.
    Harness h;
    h.build();
    EXPECT_THAT(h.accept(with_points(json::array({{{"z", 1}}, {{"z", "1.5,99"}}}))),
                HasSubstr("[CAR] Mission refused: flight point 1 has z \"1.5,99\", not one finite decimal number"));
    EXPECT_FALSE(h.active());
    EXPECT_TRUE(h.stats.started.empty());
}

// The start sequence in virtual time, per px4ctrl behaviour.
TEST(StartSequence, OutcomesOfEachPx4ctrlBehaviour) {
    TempDir dir;  // the task directory px4ctrl reports while it is not entering KOVO
    struct Row {
        const char* name;
        int fs;  // the state pushed before the start; -1: none
        size_t commands;
        const char* codes;
        bool active;
        int slept_s;
        std::string lines;
        std::function<void(Harness&)> setup;
    };
    const std::vector<Row> rows{
        {"already flying", 3, 0, "", true, 10, "[CAR] px4ctrl already in flight state (fs=3), mission started\n",
         nullptr},
        {"not standby, then standby, then entering", 0, 1, "400", true, 15,
         "[CAR] Retry 1/3: fs=0 not STANDBY, wait...\n[CAR] Send to px4ctrl (retry 2/3): kovo 1.2\n"
         "[CAR] px4ctrl entered KOVO state, mission started\n",
         [](Harness& h) {
             h.clock.on_sleep = [&h](std::chrono::milliseconds d) {
                 if (d == 2000ms) h.px4.setState(px4_state(2));
             };
             h.px4.on_cmd = [&h] { h.px4.setState(px4_state(4, "takeoff")); };
         }},
        {"never connected", -1, 0, "415", false, 16,
         "[CAR] Retry 3/3: fs=-1 not STANDBY, wait...\n[CAR] Failed to start mission after 3 retries\n",
         [](Harness& h) { h.px4.setLink(false); }},
        {"never entering", 2, 3, "400,400,400,415", false, 19,
         "[CAR] Retry 3/3: px4ctrl did not enter KOVO (fs=2), will retry\n",
         [&dir](Harness& h) { h.px4.on_cmd = [&] { h.locked([&](MissionContext& m) { m.task_dir = dir.path(); }); }; }},
        // Flown and landed (or px4ctrl restarted) before the check: never sent again.
        {"flown before the check", 2, 1, "408,400", true, 13, "[CAR] px4ctrl entered KOVO state, mission started\n",
         [](Harness& h) {
             h.px4.on_cmd = [&h] {
                 h.px4.setState(px4_state(4, "goto_height", 0));
                 h.core->monitor.tick();
                 h.px4.setState(px4_state(2));
             };
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        if (row.fs >= 0) h.px4.setState(px4_state(row.fs));
        if (row.setup) row.setup(h);
        h.build();
        EXPECT_THAT(h.accept(json::object()), HasSubstr(row.lines));
        EXPECT_EQ(h.px4.commands.all(), Texts(row.commands, "kovo 1.2"));
        std::string codes;
        for (const std::string& code : h.mqtt.statusCodes())
            codes += (codes.empty() ? "" : ",") + code;
        EXPECT_EQ(codes, row.codes);
        EXPECT_EQ(h.active(), row.active);
        EXPECT_EQ(h.clock.slept(), std::chrono::seconds(row.slept_s));
        EXPECT_EQ(h.stats.failures.all(), row.active ? Texts{} : Texts{"max_retries_exceeded"});
    }
    // Giving up is recorded in the task directory reported meanwhile.
    const auto records = read_jsonl(dir.file("client_log.jsonl"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].size(), 3u);
    expect_members(records[0], {{"event", "start_failed"}, {"reason", "max_retries_exceeded"}});
}
