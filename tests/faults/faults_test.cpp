// Faults a field team meets, each injected into a running daemon between its
// real peers: after each, the daemon is still up, still answers /api/stats,
// and its record of the mission is true (kept, or failed with the reason).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "daemon_rig.h"

using nlohmann::json;
using namespace std::chrono_literals;
using testsupport::DaemonRig;
using testsupport::wait_until;

namespace {

struct Scenario {
    const char* name;
    bool car_at_start;  // false: the car server starts after the daemon
    json config;        // merged into the rig's configuration
    std::vector<std::string> platform_args;
    std::function<void(DaemonRig&)> run;  // injects the fault, drives and checks
};

std::string deep(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

const Scenario kScenarios[] = {
    {"CarServerLateThenRestartedNoBroker",
     false,
     {{"mqtt", {{"port", 1}}}},
     {},
     [](DaemonRig& r) {
         EXPECT_TRUE(r.daemon->waitForLine("[APP] Failed to start mqtt client, continuing without MQTT", 5s));
         ASSERT_TRUE(r.daemon->waitForLine("[SIO] Connect error", 10s)) << "nobody listens yet";
         r.startCar();
         ASSERT_TRUE(r.car && r.car->waitEvents("connection", 1, 10s));
         r.car.reset();
         r.startCar();
         ASSERT_TRUE(r.car && r.car->waitEvents("connection", 1, 10s)) << "the link comes back";
         EXPECT_NE(r.askCanReboot(), "");
         EXPECT_EQ(r.daemon->countLines("Giving up"), 0u);
     }},
    {"Px4ctrlRestartedMidFlight",
     true,
     {},
     {},
     [](DaemonRig& r) {
         ASSERT_TRUE(r.startMission());
         ASSERT_TRUE(r.daemon->waitForLine("[PX4-STATE] fs=4 kovo_sub=goto_height kovo_idx=0", 5s));
         ASSERT_TRUE(r.restartPx4({"--fs", "2"}));  // back in standby, one height flown
         const json mission = r.outcome();
         EXPECT_EQ(mission["status"], "failed");
         EXPECT_EQ(mission["reason"], "px4ctrl_link_lost");
         EXPECT_TRUE(r.platformGot("411") && r.platformGot("414")) << "the task still ends on the wire";
         EXPECT_EQ(r.daemon->countLines("[KOVO] Mission failed: px4ctrl_link_lost"), 1u);
         EXPECT_TRUE(r.px4->events("kovo_command").empty()) << "the mission is not flown again";
     }},
    // Every transfer hangs: each gives up on its own timeout, the web server
    // is not held by them, and the summary says which step failed.
    {"PlatformAndCameraHanging",
     true,
     {{"platform", {{"timeout", {{"post_file", 1}}}}}},
     {"--mode", "hang"},
     [](DaemonRig& r) {
         ASSERT_TRUE(r.camera->command({{"cmd", "hang"}}).is_object());
         ASSERT_TRUE(r.startMission());
         const auto t0 = std::chrono::steady_clock::now();
         for (int i = 0; i < 5; ++i)
             EXPECT_TRUE(r.stats().is_object());
         // Three tries of 1 s and a pause of 1 s for each of four photos.
         const json mission = r.outcome(60s);
         EXPECT_LT(std::chrono::steady_clock::now() - t0, 45s);
         EXPECT_EQ(mission["status"], "failed");
         EXPECT_EQ(mission["reason"], "photos_not_uploaded");
         EXPECT_EQ(mission["photos"], (json{{"listed", 4}, {"uploaded", 0}, {"failed", 4}}));
         const std::string task_dir = r.px4->event("mission")["task_dir"];
         // The summary is rewritten after each batch: wait for the last one.
         json summary;
         EXPECT_TRUE(wait_until(
             [&] {
                 summary = json::parse(testsupport::read_file(task_dir + "/upload_result.json"), nullptr, false);
                 return summary.is_object() && summary["not_uploaded"].size() == 4;
             },
             10s, 50ms));
         std::vector<std::string> reasons;
         for (const json& p : summary["not_uploaded"])
             reasons.push_back(p["reason"]);
         std::sort(reasons.begin(), reasons.end());
         EXPECT_EQ(reasons,
                   (std::vector<std::string>{"download_failed", "download_failed", "upload_failed", "upload_failed"}))
             << summary;
     }},
    // Every peer sends what it should not; the links stay usable.
    {"HostileInputFromEveryPeer",
     true,
     {},
     {},
     [](DaemonRig& r) {
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
         // Junk on the mission event with no flight point would be flown at
         // the take-off altitude, as any mission without points: it goes on
         // another event here.
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
         for (const char* line :
              {"[PX4] JSON parse error", "[PX4] Message of 1048577 bytes exceeds",
               "[PX4] Message nested deeper than 64 levels", "[SIO] Dropped frame from server: broken JSON",
               "JSON nesting deeper than 128 levels"})
             EXPECT_GE(r.daemon->countLines(line), 1u) << line;
         EXPECT_NE(r.askCanReboot(), "");
         const size_t pushes = r.px4->command({{"cmd", "stats"}})["pushes"];
         EXPECT_TRUE(wait_until([&] { return r.px4->command({{"cmd", "stats"}})["pushes"] > pushes; }, 5s));
         EXPECT_EQ(r.stats()["mqtt"]["currently_connected"], true);
         EXPECT_TRUE(r.px4->events("kovo_command").empty()) << "no mission came out of the noise";
     }},
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class Faults : public testing::TestWithParam<Scenario> {};

TEST_P(Faults, DaemonStaysUpAndHonest) {
    const Scenario& s = GetParam();
    DaemonRig rig;
    rig.platform_args = s.platform_args;
    ASSERT_TRUE(rig.start(s.car_at_start, s.config));
    s.run(rig);
    EXPECT_TRUE(rig.daemon->running());
    const json stats = rig.stats();
    ASSERT_TRUE(stats.is_object()) << "/api/stats answers";
    EXPECT_EQ(stats["running"], true);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Faults, testing::ValuesIn(kScenarios),
                         [](const testing::TestParamInfo<Scenario>& info) { return info.param.name; });

}  // namespace
