#include <gtest/gtest.h>

#include <set>
#include <string>

#include "mission_fakes.h"

using fakes::json;

namespace {

class PlatformReportsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        h.build();
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        fakes::set_identifiers(h.mission);
        h.mission.current_point_id = "p7";
    }
    json flightHistory(const json& uav)
    {
        h.core->reports.sendPlatformFlightHistory(uav);
        return h.mqtt.messages().back();
    }

    fakes::Harness h;
};

}  // namespace

TEST_F(PlatformReportsTest, EnvelopeAroundEachReport)
{
    h.core->reports.sendPlatformStatusHistory("408");
    const json m = h.mqtt.messages().back();
    EXPECT_EQ(m.size(), 5u);
    EXPECT_EQ(m["platformCallModule"], "indoorCar");
    EXPECT_EQ(m["platformCmd"], "UploadUavStatusHistory");
    EXPECT_EQ(m["siteId"], "site-1");
    const std::string id = m["platformCmdID"];
    EXPECT_NE(id.find('-'), std::string::npos);
    // Compact, members in ascending order.
    EXPECT_EQ(h.mqtt.raw.back().rfind("{\"parms\":{\"carActionId\":\"A\",", 0), 0u) << h.mqtt.raw.back();
}

TEST_F(PlatformReportsTest, StatusHistoryBody)
{
    h.core->reports.sendPlatformStatusHistory("400");
    const json p = h.mqtt.messages().back()["parms"];
    EXPECT_EQ(p.size(), 10u);
    EXPECT_EQ(p["uavStatusCode"], "400");
    EXPECT_EQ(p["uavStatus"], "无人机状态");
    EXPECT_EQ(p["carMissionId"], "M");
    EXPECT_EQ(p["carFlightPointId"], "p7");
    EXPECT_EQ(p["carFlightPointActionId"], "");
    EXPECT_EQ(p["carMissionHistoryId"], "H");
    EXPECT_EQ(p["occurrenceTime"].get<std::string>().size(), 19u);
}

TEST_F(PlatformReportsTest, ArrivePointBody)
{
    h.core->reports.sendPlatformArrivePoint();
    const json m = h.mqtt.messages().back();
    EXPECT_EQ(m["platformCmd"], "UploadUavArrivePoint");
    EXPECT_EQ(m["parms"].size(), 9u);
    EXPECT_EQ(m["parms"]["uavArrivePoint"], "1");
    EXPECT_EQ(m["parms"]["carMissionId"], "M");
}

TEST_F(PlatformReportsTest, FlightHistoryOfAnEmptyUavHasAllFiftyFourMembers)
{
    const json m = flightHistory(json::object());
    EXPECT_EQ(m["platformCmd"], "UploadCarFlightHistory");
    const json& p = m["parms"];
    EXPECT_EQ(p.size(), 54u);
    for (const auto& [key, value] : p.items()) {
        EXPECT_TRUE(value.is_string()) << key;
    }
    EXPECT_FALSE(p.contains("carMissionId"));
    EXPECT_EQ(p["height"], "-0.00");
    EXPECT_EQ(p["hSpeed"], "0.0");
    EXPECT_EQ(p["uavX"], "0");
    EXPECT_EQ(p["batteryPercent"], "0");
    EXPECT_EQ(p["batteryVoltage"], "0");
    EXPECT_EQ(p["dataLink"], "0");
    EXPECT_EQ(p["actionType"], "1");
    EXPECT_EQ(p["imageTransSignal"], "100");
    EXPECT_EQ(p["zoomRatio"], "");
    EXPECT_EQ(p["carFlightPointId"], "p7");
}

TEST_F(PlatformReportsTest, FlightHistoryValues)
{
    const json p = flightHistory({{"lpos", {{"x", 1}, {"y", "2.5"}, {"z", -1.234}, {"vx", 3}, {"vy", 4}, {"vz", 0.5}}},
                                  {"atti", {{"p", 0.1}, {"r", 0.2}, {"y", 0.3}}},
                                  {"bat", {{"remain", 87}, {"vol", 16.2}}},
                                  {"online", true}})["parms"];
    EXPECT_EQ(p["hSpeed"], "5.0");
    EXPECT_EQ(p["height"], "1.23");
    EXPECT_EQ(p["uavZ"], "-1.23");
    EXPECT_EQ(p["uavX"], "1");
    EXPECT_EQ(p["uavY"], "2.5");
    EXPECT_EQ(p["xSpeed"], "3");
    EXPECT_EQ(p["vSpeed"], "0.50");
    EXPECT_EQ(p["zSpeed"], "0.50");
    EXPECT_EQ(p["batteryPercent"], "87");
    EXPECT_EQ(p["batteryVoltage"], "16.20");
    EXPECT_EQ(p["dataLink"], "1");
    // Yaw from atti.r, roll from atti.y.
    EXPECT_EQ(p["uavYaw"], "0.20");
    EXPECT_EQ(p["ptzYaw"], "0.20");
    EXPECT_EQ(p["uavRoll"], "0.30");
    EXPECT_EQ(p["ptzRoll"], "0.30");
    EXPECT_EQ(p["ptzPitch"], "0.10");
}

TEST_F(PlatformReportsTest, FractionalBatteryAndTextOnline)
{
    const json p = flightHistory({{"bat", {{"remain", 87.5}}}, {"online", "true"}})["parms"];
    EXPECT_EQ(p["batteryPercent"], "87.50");
    EXPECT_EQ(p["dataLink"], "0") << "a text is not a boolean";
}

TEST_F(PlatformReportsTest, OnlineDefaultComesFromTheConfiguration)
{
    fakes::Harness other;
    other.config.uav_defaults.online = true;
    other.build();
    other.core->reports.sendPlatformFlightHistory({{"online", nullptr}});
    EXPECT_EQ(other.mqtt.messages().back()["parms"]["dataLink"], "1");
}

TEST_F(PlatformReportsTest, IdentifiersDifferForEachReport)
{
    std::set<std::string> ids;
    for (int i = 0; i < 50; ++i) {
        h.core->reports.sendPlatformArrivePoint();
        ids.insert(h.mqtt.messages().back()["platformCmdID"].get<std::string>());
    }
    EXPECT_EQ(ids.size(), 50u);
}

TEST_F(PlatformReportsTest, InvalidUtf8IsReplacedNotThrown)
{
    {
        std::lock_guard<std::mutex> lock(h.mission.mutex);
        h.mission.car_mission_id = std::string("bad\xc3\x28");
    }
    h.core->reports.sendPlatformStatusHistory("406");
    const json p = h.mqtt.messages().back()["parms"];
    EXPECT_EQ(p["carMissionId"], "bad\xEF\xBF\xBD(");
    flightHistory({{"lpos", {{"x", std::string("\xff")}}}});
    EXPECT_EQ(h.mqtt.messages().back()["parms"]["uavX"], "\xEF\xBF\xBD");
}

TEST_F(PlatformReportsTest, DisconnectedMqttLosesTheReportQuietly)
{
    h.mqtt.connected = false;
    h.core->reports.sendPlatformStatusHistory("410");
    EXPECT_EQ(h.mqtt.raw.size(), 1u) << "handed over once, never retried";
}
