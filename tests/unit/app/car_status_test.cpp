#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mission_fakes.h"

using fakes::expect_members;
using fakes::json;
using Tick = CarStatusReporter::Tick;

namespace {

class CarStatus : public ::testing::Test {
protected:
    void SetUp() override { h.build(); }

    json realtime(const Tick& tick)
    {
        h.core->car_status.report(tick);
        return h.car.realtime.back();
    }
    static Tick activeTick(int fs, int idx = 0)
    {
        Tick t;
        t.fs = fs;
        t.height_idx = idx;
        t.active = true;
        return t;
    }
    void setMission()
    {
        h.locked([](MissionContext& m) {
            m.has_task = true;
            fakes::set_identifiers(m);
            m.warehouse_num = "A1";
            m.warehouse_num_list = {"A1", "A2", "A3"};
            m.car_flight_point_list = {{{"id", "first"}, {"warehousePositionNum", 12}}};
        });
    }

    fakes::Harness h;
};

}  // namespace

TEST_F(CarStatus, RealtimeTelemetryValues)
{
    json s = realtime(Tick{});
    EXPECT_EQ(s.size(), 28u);
    for (const auto& [key, value] : s.items()) {
        EXPECT_EQ(value.is_string(), key != "diagnostics") << key;
    }
    EXPECT_EQ(s["occurrenceTime"].get<std::string>().size(), 19u);
    expect_members(s, {{"altitude", "-0.00"},  // the negated zero keeps its sign
                       {"batteryVoltage", "0.0"},
                       {"accessKey", "4821-9037"},
                       {"diagnostics", json::array()}});

    Tick t;
    t.uav = {{"lpos", {{"z", -12.345}, {"vz", 0.5}, {"vx", "1.25"}, {"vy", -2}}},
             {"atti", {{"p", 0.1}, {"r", 0.2}, {"y", 0.3}}},
             {"bat", {{"remain", 87.9}, {"vol", 16.04}}}};
    expect_members(realtime(t), {{"altitude", "12.35"},
                                 {"verticalSpeed", "0.50"},  // not negated
                                 {"horizontalXSpeed", "1.25"},
                                 {"horizontalYSpeed", "-2.00"},
                                 {"pitch", "0.10"},
                                 {"roll", "0.20"},  // from atti.r
                                 {"yaw", "0.30"},   // from atti.y
                                 {"batteryPercent", "87"},  // truncated
                                 {"batteryVoltage", "16.0"}});
    // Values no int can hold are clamped, never undefined.
    t.uav = {{"bat", {{"remain", "1e30"}}}};
    EXPECT_EQ(realtime(t)["batteryPercent"], "2147483647");
    t.uav = {{"bat", {{"remain", "nan"}}}};
    EXPECT_EQ(realtime(t)["batteryPercent"], "0");
}

TEST_F(CarStatus, MissionFieldsInAndOutsideAMission)
{
    setMission();
    json s = realtime(activeTick(4));
    expect_members(s, {{"currentPointId", "first"},  // before any arrival
                       {"warehousePositionNum", "12"},
                       {"carStrategyId", "S"},
                       {"missionStatus", "4"}});
    EXPECT_EQ(h.locked([](MissionContext& m) { return m.current_point_id; }), "") << "the record is unchanged";
    const std::vector<std::pair<int, std::string>> rows{{1, "A2"}, {5, "A1"}, {-3, "A1"}};
    for (const auto& [idx, warehouse] : rows) {
        expect_members(realtime(activeTick(4, idx)), {{"warehouseNum", warehouse}, {"warehouseCount", "1"}});
    }

    // No mission: no identifiers, but the last arrival's point.
    h.locked([](MissionContext& m) { m.current_point_id = "last-point"; });
    expect_members(realtime(Tick{}), {{"carStrategyId", ""},
                                      {"carPointId", ""},
                                      {"carFlightMissionHistoryId", ""},
                                      {"warehouseNum", ""},
                                      {"warehouseCount", "1"},
                                      {"missionStatus", "0"},
                                      {"currentPointId", "last-point"}});
    EXPECT_EQ(h.car.missionCodes(), std::vector<std::string>{"4"}) << "no mission status outside a mission";
}

TEST_F(CarStatus, StatusCodesAndRebootFlag)
{
    const AppConfig cfg;
    Tick t;
    EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "0");
    t.active = true;
    const std::vector<std::pair<int, std::string>> rows{{-1, "1"}, {0, "1"}, {2, "1"}, {3, "4"},
                                                        {4, "4"},  {6, "4"}, {7, "4"}, {5, "12"}};
    for (const auto& [fs, code] : rows) {
        t.fs = fs;
        EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), code) << fs;
        EXPECT_EQ(realtime(t)["can_reboot_uav"], fs == 0 || fs == 2 ? "1" : "0") << fs;
    }
    t.finished = true;
    EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "6");
    t.active = false;
    EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "0");
}

TEST_F(CarStatus, MissionStatusOnlyOnChange)
{
    setMission();
    for (int fs : {2, 2, 3, 4, 5}) {
        realtime(activeTick(fs));
    }
    ASSERT_EQ(h.car.missionCodes(), (std::vector<std::string>{"1", "4", "12"}));
    const json m = h.car.mission.back();
    EXPECT_EQ(m.size(), 9u);
    expect_members(m, {{"carActionId", "A"},
                       {"carFlightMissionHistoryId", "H"},
                       {"warehouseNum", "A1"},
                       {"warehouseCount", "1"},
                       {"accessKey", "4821-9037"}});
}

// The reboot question is answered from the flying codes alone, mission or
// not.
TEST(RebootQuery, AnswerFollowsTheFlyingCodes)
{
    fakes::Harness h;
    h.build();
    h.locked([](MissionContext& m) { m.has_task = true; });
    const std::vector<std::pair<int, bool>> rows{{4, false}, {3, false}, {6, false}, {7, false},
                                                 {2, true},  {5, true},  {0, true},  {-1, true}};
    for (const auto& [fs, allowed] : rows) {
        h.px4.setState({{"fs", fs}});
        EXPECT_EQ(fakes::printed([&] { h.core->reboot.onCarRebootQuery(); }), "[CAR] Received reboot query\n");
        EXPECT_EQ(h.car.reboot_answers.back(), allowed) << fs;
    }
    fakes::Harness open;
    open.config.mission.flying_fs_codes.clear();
    open.build();
    open.px4.setState({{"fs", 4}});
    fakes::printed([&] { open.core->reboot.onCarRebootQuery(); });
    EXPECT_EQ(open.car.reboot_answers.all(), std::vector<bool>{true}) << "an empty flying list allows everything";
}
