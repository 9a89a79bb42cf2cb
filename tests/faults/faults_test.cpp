// Faults injected into a running daemon between its real peers: its record of
// the mission stays true.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "daemon_rig.h"

using nlohmann::json;
using namespace std::chrono_literals;
using testsupport::DaemonRig;
using testsupport::wait_until;

namespace {

std::string deep(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

// After each fault the daemon still answers /api/stats and says it runs.
void expect_still_up(DaemonRig& r) {
    const json stats = r.stats();
    ASSERT_TRUE(stats.is_object()) << "/api/stats answers";
    EXPECT_EQ(stats["running"], true);
}

TEST(Faults, Px4ctrlRestartedMidFlightFailsTheMissionOnce) {
    DaemonRig r;
    ASSERT_TRUE(r.start());
    ASSERT_TRUE(r.startMission());
    ASSERT_TRUE(r.daemon->waitForLine("[PX4-STATE] fs=4 kovo_sub=goto_height kovo_idx=0", 5s));
    ASSERT_TRUE(r.restartPx4({"--fs", "2"}));  // back in standby, one height flown
    const json mission = r.outcome();
    EXPECT_EQ(mission["status"], "failed");
    EXPECT_EQ(mission["reason"], "px4ctrl_link_lost");
    EXPECT_TRUE(r.platformGot("411") && r.platformGot("414")) << "the task still ends on the wire";
    EXPECT_EQ(r.daemon->countLines("[KOVO] Mission failed: px4ctrl_link_lost"), 1u);
    EXPECT_TRUE(r.px4->events("kovo_command").empty()) << "the mission is not flown again";
    expect_still_up(r);
}

// Every peer sends what it should not; the links stay usable.
TEST(Faults, HostileInputFromEveryPeerLeavesTheLinksUsable) {
    DaemonRig r;
    ASSERT_TRUE(r.start());
    const json px4_faults[] = {
        {{"cmd", "garbage"}},
        {{"cmd", "non_json"}},
        {{"cmd", "malformed"}},
        {{"cmd", "huge"}, {"bytes", 1 << 20 | 1}},
        {{"cmd", "large"}, {"bytes", 1000000}, {"parts", 8}},
        {{"cmd", "send"}, {"text", R"({"cmd":1,"ret":0,"state":)" + deep(10000) + "}"}},
        {{"cmd", "send"}, {"text", R"({"cmd":"1","ret":[],"state":{"fs":"x","kovo":7,"uav":[null]}})"}},
    };
    for (const json& f : px4_faults)
        ASSERT_TRUE(r.px4->command(f).is_object()) << f.dump();
    // Junk on the mission event would be flown as a mission without points.
    const json car_faults[] = {
        {{"cmd", "raw"}, {"text", R"(42["car_uav_begin_mission",{"carFlightPointList":[)"}},
        {{"cmd", "raw"}, {"base64", "NDJbImNhcl91YXZfY2FuX3JlYm9vdF91YXYiLCL//iJd"}},  // invalid UTF-8
        {{"cmd", "raw"}, {"text", "not socket.io"}},
        {{"cmd", "raw"}, {"text", R"(42["noise",)" + deep(10000) + "]"}},
        {{"cmd", "binary"}, {"event", "noise"}, {"nested", true}},
        {{"cmd", "large"}, {"event", "noise"}, {"bytes", 1 << 20}},
        {{"cmd", "mission"}, {"payload", {{"carFlightPointList", {{{"z", {1}}}}}, {"carMissionId", 7}}}},
        {{"cmd", "reboot"}, {"payload", json::parse(deep(3))}},
    };
    for (const json& f : car_faults)
        r.car->sendLine(f.dump());
    const json mqtt_faults[] = {"not json", "{\"a\":", deep(5000), std::string(1 << 20, '7')};
    for (const json& payload : mqtt_faults)
        ASSERT_TRUE(r.platform->command({{"cmd", "mqtt_publish"}, {"payload", payload}}).is_object());
    EXPECT_TRUE(r.daemon->waitForLine("[CAR] Mission refused: flight point 0", 10s));
    for (const char* line : {"[PX4] JSON parse error", "[PX4] Message of 1048577 bytes exceeds",
                             "[PX4] Message nested deeper than 64 levels",
                             "[SIO] Dropped frame from server: broken JSON", "JSON nesting deeper than 128 levels"})
        EXPECT_GE(r.daemon->countLines(line), 1u) << line;
    EXPECT_NE(r.askCanReboot(), "");
    const size_t pushes = r.px4->command({{"cmd", "stats"}})["pushes"];
    EXPECT_TRUE(wait_until([&] { return r.px4->command({{"cmd", "stats"}})["pushes"] > pushes; }, 5s));
    EXPECT_EQ(r.stats()["mqtt"]["currently_connected"], true);
    EXPECT_TRUE(r.px4->events("kovo_command").empty()) << "no mission came out of the noise";
    expect_still_up(r);
}

}  // namespace
