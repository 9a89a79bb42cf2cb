#include <string>

#include "mission_fakes.h"

using namespace fakes;

namespace {

class PlatformReportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        h.build();
        h.locked([](MissionContext& m) {
            set_identifiers(m);
            m.current_point_id = "p7";
        });
    }
    json flightHistory(const json& uav) {
        h.core->reports.sendPlatformFlightHistory(uav);
        return h.mqtt.messages().back()["parms"];
    }

    Harness h;
};

}  // namespace

// Mission fields come from the car: bad UTF-8 is replaced, never thrown on.
TEST_F(PlatformReportsTest, StatusAndArrivalInTheEnvelope) {
    h.locked([](MissionContext& m) { m.car_mission_id = std::string("bad\xc3\x28"); });
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
        EXPECT_EQ(m["parms"]["occurrenceTime"].get<std::string>().size(), 19u);
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

TEST_F(PlatformReportsTest, FlightHistoryHasAllFiftyFourMembersAndTheirValues) {
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
    // A text is not a boolean; without one "dataLink" follows the configured default.
    expect_members(flightHistory({{"bat", {{"remain", 87.5}}}, {"online", "true"}}),
                   {{"batteryPercent", "87.50"}, {"dataLink", "0"}});
    EXPECT_EQ(flightHistory({{"lpos", {{"x", std::string("\xff")}}}})["uavX"], "\xEF\xBF\xBD");
    Harness other;
    other.config.uav_defaults.online = true;
    other.build();
    other.core->reports.sendPlatformFlightHistory({{"online", nullptr}});
    EXPECT_EQ(other.mqtt.messages().back()["parms"]["dataLink"], "1");
}
