#include <gtest/gtest.h>

#include <string>

#include "mission_fakes.h"

using fakes::json;

namespace {

class CarStatus : public ::testing::Test {
protected:
    void SetUp() override { h.build(); }

    json realtime(const CarStatusReporter::Tick& tick)
    {
        h.core->car_status.report(tick);
        return h.car.realtime.back();
    }
    static CarStatusReporter::Tick activeTick(int fs, int idx = 0)
    {
        CarStatusReporter::Tick t;
        t.fs = fs;
        t.height_idx = idx;
        t.active = true;
        return t;
    }
    void setMission()
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.has_task = true;
        fakes::set_identifiers(h.mission);
        h.mission.warehouse_num = "A1";
        h.mission.warehouse_num_list = {"A1", "A2", "A3"};
        h.mission.car_flight_point_list = {{{"id", "first"}, {"warehousePositionNum", 12}}};
    }

    fakes::Harness h;
};

}  // namespace

TEST_F(CarStatus, DefaultsWithoutTelemetry)
{
    const json s = realtime(CarStatusReporter::Tick{});
    EXPECT_EQ(s["altitude"], "-0.00") << "the negated zero keeps its sign";
    EXPECT_EQ(s["verticalSpeed"], "0.00");
    EXPECT_EQ(s["batteryVoltage"], "0.0");
    EXPECT_EQ(s["batteryPercent"], "0");
    EXPECT_EQ(s["isUavOn"], "1");
    EXPECT_EQ(s["accessKey"], "4821-9037");
    EXPECT_EQ(s["upLink"], "100");
    EXPECT_EQ(s["batteryTemperature"], "25.0");
    EXPECT_EQ(s["diagnostics"], json::array());
    EXPECT_EQ(s["occurrenceTime"].get<std::string>().size(), 19u);
    EXPECT_EQ(s.size(), 28u);
    for (const auto& [key, value] : s.items()) {
        if (key != "diagnostics") {
            EXPECT_TRUE(value.is_string()) << key;
        }
    }
}

TEST_F(CarStatus, TelemetryValues)
{
    CarStatusReporter::Tick t;
    t.uav = {{"lpos", {{"z", -12.345}, {"vz", 0.5}, {"vx", "1.25"}, {"vy", -2}}},
             {"atti", {{"p", 0.1}, {"r", 0.2}, {"y", 0.3}}},
             {"bat", {{"remain", 87.9}, {"vol", 16.04}}}};
    const json s = realtime(t);
    EXPECT_EQ(s["altitude"], "12.35");
    EXPECT_EQ(s["verticalSpeed"], "0.50") << "not negated";
    EXPECT_EQ(s["horizontalXSpeed"], "1.25");
    EXPECT_EQ(s["horizontalYSpeed"], "-2.00");
    EXPECT_EQ(s["pitch"], "0.10");
    EXPECT_EQ(s["roll"], "0.20") << "roll from atti.r";
    EXPECT_EQ(s["yaw"], "0.30") << "yaw from atti.y";
    EXPECT_EQ(s["batteryPercent"], "87") << "truncated";
    EXPECT_EQ(s["batteryVoltage"], "16.0");
}

TEST_F(CarStatus, UnrepresentableBatteryValuesAreClamped)
{
    CarStatusReporter::Tick t;
    t.uav = {{"bat", {{"remain", "1e30"}}}};
    EXPECT_EQ(realtime(t)["batteryPercent"], "2147483647");
    t.uav = {{"bat", {{"remain", "nan"}}}};
    EXPECT_EQ(realtime(t)["batteryPercent"], "0");
}

TEST_F(CarStatus, NoMissionShowsEmptyIdentifiersButTheLastPoint)
{
    setMission();
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.current_point_id = "last-point";
    }
    const json s = realtime(CarStatusReporter::Tick{});
    EXPECT_EQ(s["carStrategyId"], "");
    EXPECT_EQ(s["carPointId"], "");
    EXPECT_EQ(s["carFlightMissionHistoryId"], "");
    EXPECT_EQ(s["warehouseNum"], "");
    EXPECT_EQ(s["warehouseCount"], "1");
    EXPECT_EQ(s["missionStatus"], "0");
    EXPECT_EQ(s["currentPointId"], "last-point");
    EXPECT_TRUE(h.car.mission.empty()) << "no mission status outside a mission";
}

TEST_F(CarStatus, WarehouseFollowsTheHeightIndex)
{
    setMission();
    EXPECT_EQ(realtime(activeTick(4, 1))["warehouseNum"], "A2");
    EXPECT_EQ(realtime(activeTick(4, 1))["warehouseCount"], "1");
    EXPECT_EQ(realtime(activeTick(4, 5))["warehouseNum"], "A1") << "beyond the list: warehouse_num";
    EXPECT_EQ(realtime(activeTick(4, -3))["warehouseNum"], "A1") << "negative counts as 0";
}

TEST_F(CarStatus, ActiveMissionBeforeAnyArrivalShowsTheFirstPoint)
{
    setMission();
    const json s = realtime(activeTick(4));
    EXPECT_EQ(s["currentPointId"], "first");
    EXPECT_EQ(s["warehousePositionNum"], "12");
    EXPECT_EQ(s["carStrategyId"], "S");
    std::lock_guard<std::mutex> lock(h.mission.mutex);
    EXPECT_EQ(h.mission.current_point_id, "") << "the record is not changed";
}

TEST_F(CarStatus, RebootFlagFollowsTheAllowedCodes)
{
    CarStatusReporter::Tick t;
    t.fs = 2;
    EXPECT_EQ(realtime(t)["can_reboot_uav"], "1");
    t.fs = 0;
    EXPECT_EQ(realtime(t)["can_reboot_uav"], "1");
    t.fs = 4;
    EXPECT_EQ(realtime(t)["can_reboot_uav"], "0");
    t.fs = 5;
    EXPECT_EQ(realtime(t)["can_reboot_uav"], "0");
}

TEST_F(CarStatus, MissionStatusCodes)
{
    const AppConfig cfg;
    CarStatusReporter::Tick t;
    EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "0");
    t.active = true;
    for (int fs : {-1, 0, 1, 2}) {
        t.fs = fs;
        EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "1") << fs;
    }
    for (int fs : {3, 4, 6, 7}) {
        t.fs = fs;
        EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "4") << fs;
    }
    t.fs = 5;
    EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "12");
    t.finished = true;
    EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "6");
    t.active = false;
    EXPECT_EQ(CarStatusReporter::missionStatusCode(cfg, t), "0");
}

TEST_F(CarStatus, MissionStatusOnlyOnChange)
{
    setMission();
    realtime(activeTick(2));
    realtime(activeTick(3));
    realtime(activeTick(4));
    realtime(activeTick(5));
    ASSERT_EQ(h.car.missionCodes(), (std::vector<std::string>{"1", "4", "12"}));
    const json& m = h.car.mission.back();
    EXPECT_EQ(m.size(), 9u);
    EXPECT_EQ(m["carActionId"], "A");
    EXPECT_EQ(m["carFlightMissionHistoryId"], "H");
    EXPECT_EQ(m["warehouseNum"], "A1");
    EXPECT_EQ(m["warehouseCount"], "1");
    EXPECT_EQ(m["accessKey"], "4821-9037");
}

// The reboot question is answered from the flying codes alone.
TEST(RebootQuery, AnswerFollowsTheFlyingCodes)
{
    fakes::Harness h;
    h.build();
    const std::vector<std::pair<int, bool>> cases{{4, false}, {3, false}, {6, false}, {7, false},
                                                  {2, true},  {5, true},  {0, true},  {-1, true}};
    for (const auto& [fs, allowed] : cases) {
        h.px4.setState({{"fs", fs}});
        h.core->reboot.onCarRebootQuery();
        EXPECT_EQ(h.car.reboot_answers.back(), allowed) << fs;
    }
}

TEST(RebootQuery, ActiveMissionDoesNotMatter)
{
    fakes::Harness h;
    h.build();
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.has_task = true;
    }
    h.px4.setState({{"fs", 0}});
    const std::string out = fakes::printed([&] { h.core->reboot.onCarRebootQuery(); });
    EXPECT_NE(out.find("[CAR] Received reboot query"), std::string::npos);
    EXPECT_EQ(h.car.reboot_answers, std::vector<bool>{true});
}

TEST(RebootQuery, EmptyFlyingListAllowsEverything)
{
    fakes::Harness h;
    h.config.mission.flying_fs_codes.clear();
    h.build();
    h.px4.setState({{"fs", 4}});
    h.core->reboot.onCarRebootQuery();
    EXPECT_EQ(h.car.reboot_answers, std::vector<bool>{true});
}
