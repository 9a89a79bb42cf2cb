#include <string>
#include <vector>

#include "mission_fakes.h"

using namespace fakes;
using Tick = CarStatusReporter::Tick;

namespace {

// What the car and the platform are told, over the car's identifiers.
class StatusReports : public ::testing::Test {
protected:
    void SetUp() override {
        h.build();
        h.locked(set_identifiers);
    }
    json realtime(const Tick& tick) {
        h.core->car_status.report(tick);
        return h.car.realtime.back();
    }
    static Tick activeTick(int fs, int idx = 0) {
        Tick t;
        t.fs = fs;
        t.height_idx = idx;
        t.active = true;
        return t;
    }
    json flightHistory(const json& uav) {
        h.core->reports.sendPlatformFlightHistory(uav);
        return h.mqtt.messages().back()["parms"];
    }

    Harness h;
};

}  // namespace

TEST_F(StatusReports, RealtimeTelemetryValues) {
    json s = realtime(Tick{});
    EXPECT_EQ(s.size(), 28u);
    for (const auto& [key, value] : s.items())
        EXPECT_EQ(value.is_string(), key != "diagnostics") << key;
    // The negated zero keeps its sign.
    expect_members(s, json::parse(R"({"altitude": "-0.00", "batteryVoltage": "0.0", "accessKey": "4821-9037",
        "diagnostics": []})"));

    Tick t;
    t.uav = json::parse(R"({"lpos": {"z": -12.345, "vz": 0.5, "vx": "1.25", "vy": -2},
        "atti": {"p": 0.1, "r": 0.2, "y": 0.3}, "bat": {"remain": 87.9, "vol": 16.04}})");
    // The vertical speed is not negated, roll is atti.r, yaw atti.y, the percentage is truncated.
    expect_members(realtime(t), json::parse(R"({"altitude": "12.35", "verticalSpeed": "0.50",
        "horizontalXSpeed": "1.25", "horizontalYSpeed": "-2.00", "pitch": "0.10", "roll": "0.20", "yaw": "0.30",
        "batteryPercent": "87", "batteryVoltage": "16.0"})"));
    // Values no int can hold are clamped, never undefined.
    t.uav = {{"bat", {{"remain", "1e30"}}}};
    EXPECT_EQ(realtime(t)["batteryPercent"], "2147483647");
    t.uav = {{"bat", {{"remain", "nan"}}}};
    EXPECT_EQ(realtime(t)["batteryPercent"], "0");
}

TEST_F(StatusReports, MissionFieldsInAndOutsideAMission) {
    h.locked([](MissionContext& m) {
        m.has_task = true;
        m.warehouse_num = "A1";
        m.warehouse_num_list = {"A1", "A2", "A3"};
        m.car_flight_point_list = {{{"id", "first"}, {"warehousePositionNum", 12}}};
    });
    // Before any arrival: the first point.
    expect_members(realtime(activeTick(4)), json::parse(R"({"currentPointId": "first", "warehousePositionNum": "12",
        "carStrategyId": "S", "missionStatus": "4"})"));
    EXPECT_EQ(h.locked([](MissionContext& m) { return m.current_point_id; }), "") << "the record is unchanged";
    ASSERT_EQ(h.car.mission.size(), 1u);
    const json m = h.car.mission.back();
    EXPECT_EQ(m.size(), 9u);
    expect_members(m, json::parse(R"({"carActionId": "A", "carFlightMissionHistoryId": "H", "warehouseNum": "A1",
        "warehouseCount": "1", "accessKey": "4821-9037", "missionStatus": "4"})"));
    for (const auto& [idx, warehouse] : std::vector<std::pair<int, std::string>>{{1, "A2"}, {5, "A1"}, {-3, "A1"}})
        expect_members(realtime(activeTick(4, idx)), {{"warehouseNum", warehouse}, {"warehouseCount", "1"}});

    // No mission: no identifiers, but the last arrival's point.
    h.locked([](MissionContext& m) { m.current_point_id = "last-point"; });
    expect_members(realtime(Tick{}), json::parse(R"({"carStrategyId": "", "carPointId": "",
        "carFlightMissionHistoryId": "", "warehouseNum": "", "missionStatus": "0", "currentPointId": "last-point"})"));
    EXPECT_EQ(h.car.missionCodes(), Texts{"4"}) << "unchanged, and none outside a mission";
}

// The reboot flag follows its own list of codes; the answer to the reboot query the flying codes alone.
TEST_F(StatusReports, StatusCodesRebootFlagAndRebootAnswer) {
    struct Row {
        int fs;
        std::string code, flag;
        bool answer;
    };
    for (const Row& row : std::vector<Row>{{-1, "1", "0", true},
                                           {0, "1", "1", true},
                                           {2, "1", "1", true},
                                           {3, "4", "0", false},
                                           {5, "12", "0", true}}) {
        SCOPED_TRACE(row.fs);
        const json s = realtime(activeTick(row.fs));
        EXPECT_EQ(s["missionStatus"], row.code);
        EXPECT_EQ(s["can_reboot_uav"], row.flag);
        h.px4.setState({{"fs", row.fs}});
        EXPECT_EQ(output_of([&] { h.core->reboot.onCarRebootQuery(); }), "[CAR] Received reboot query\n");
        EXPECT_EQ(h.car.reboot_answers.back(), row.answer);
    }
    Tick t = activeTick(2);
    t.finished = true;
    EXPECT_EQ(realtime(t)["missionStatus"], "6");
    t.active = false;
    EXPECT_EQ(realtime(t)["missionStatus"], "0");

    Harness open;
    open.config.mission.flying_fs_codes.clear();
    open.build();
    open.px4.setState({{"fs", 4}});
    output_of([&] { open.core->reboot.onCarRebootQuery(); });
    EXPECT_EQ(open.car.reboot_answers.all(), std::vector<bool>{true}) << "an empty flying list allows everything";
}

// Mission fields come from the car: bad UTF-8 is replaced, never thrown on.
TEST_F(StatusReports, StatusAndArrivalInTheEnvelope) {
    h.locked([](MissionContext& m) {
        m.car_mission_id = std::string("bad\xc3\x28");
        m.current_point_id = "p7";
    });
    h.mqtt.connected = false;  // lost quietly: handed over once, never retried
    h.core->reports.sendPlatformStatusHistory("400");
    h.mqtt.connected = true;
    h.core->reports.sendPlatformArrivePoint();
    ASSERT_EQ(h.mqtt.raw.size(), 2u);
    // Compact, members in ascending order.
    EXPECT_EQ(h.mqtt.raw[0].rfind("{\"parms\":{\"carActionId\":\"A\",", 0), 0u) << h.mqtt.raw[0];
    const auto messages = h.mqtt.messages();
    for (const json& m : messages) {
        EXPECT_EQ(m.size(), 5u);
        expect_members(m, {{"platformCallModule", "indoorCar"}, {"siteId", "qtpe-8264"}});
        expect_members(m["parms"], {{"carMissionId", "bad\xEF\xBF\xBD("}, {"carFlightPointId", "p7"}});
    }
    EXPECT_NE(messages[0]["platformCmdID"], messages[1]["platformCmdID"]);
    EXPECT_EQ(messages[0]["platformCmd"], "UploadUavStatusHistory");
    EXPECT_EQ(messages[0]["parms"].size(), 10u);
    expect_members(messages[0]["parms"], json::parse(R"({"uavStatusCode": "400", "uavStatus": "无人机状态",
        "carFlightPointActionId": "", "carMissionHistoryId": "H", "carStrategyId": "S", "carPointId": "P"})"));
    EXPECT_EQ(messages[1]["platformCmd"], "UploadUavArrivePoint");
    EXPECT_EQ(messages[1]["parms"].size(), 9u);
    EXPECT_EQ(messages[1]["parms"]["uavArrivePoint"], "1");
}

TEST_F(StatusReports, FlightHistoryHasAllFiftyFourMembersAndTheirValues) {
    h.locked([](MissionContext& m) { m.current_point_id = "p7"; });
    const json p = flightHistory(json::object());
    EXPECT_EQ(h.mqtt.messages().back()["platformCmd"], "UploadCarFlightHistory");
    EXPECT_EQ(p.size(), 54u);
    for (const auto& [key, value] : p.items())
        EXPECT_TRUE(value.is_string()) << key;
    EXPECT_FALSE(p.contains("carMissionId"));
    expect_members(p, json::parse(R"({"height": "-0.00", "hSpeed": "0.0", "batteryPercent": "0", "dataLink": "0",
        "zoomRatio": "", "carFlightPointId": "p7"})"));
    // Yaw from atti.r, roll from atti.y.
    expect_members(flightHistory(json::parse(R"({"lpos": {"x": 1, "y": "2.5", "z": -1.234, "vx": 3, "vy": 4,
        "vz": 0.5}, "atti": {"p": 0.1, "r": 0.2, "y": 0.3}, "bat": {"remain": 87, "vol": 16.2}, "online": true})")),
                   json::parse(R"({"hSpeed": "5.0", "height": "1.23", "uavZ": "-1.23", "uavX": "1", "uavY": "2.5",
        "xSpeed": "3", "vSpeed": "0.50", "zSpeed": "0.50", "batteryPercent": "87", "batteryVoltage": "16.20",
        "dataLink": "1", "ptzPitch": "0.10", "uavYaw": "0.20", "ptzYaw": "0.20", "uavRoll": "0.30",
        "ptzRoll": "0.30"})"));
    // A text is not a boolean.
    expect_members(flightHistory({{"bat", {{"remain", 87.5}}}, {"online", "true"}}),
                   {{"batteryPercent", "87.50"}, {"dataLink", "0"}});
    EXPECT_EQ(flightHistory({{"lpos", {{"x", std::string("\xff")}}}})["uavX"], "\xEF\xBF\xBD");
}
