// Faults a field team meets, each injected into a running daemon between its
// real peers: after each, the daemon is still up, still answers /api/stats,
// and its record of the mission is true (kept, or failed with the reason).
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.h"

using nlohmann::json;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::NodePeer;
using testsupport::wait_until;

namespace {

// Every peer, the broker and the daemon, on loopback; peers can be stopped
// and started again on their port.
struct Rig {
    testsupport::TempDir work, tasks;
    testsupport::MosquittoBroker broker;
    std::unique_ptr<NodePeer> px4, camera, platform, car;
    std::unique_ptr<ChildProcess> daemon;
    int car_port = testsupport::pick_free_port();
    int web_port = testsupport::pick_free_port();
    // Each step outlasts the monitor loop's one-second tick, as in flight.
    std::vector<std::string> px4_args{"--phase-ms", "1200", "--photos", "both"};
    std::vector<std::string> platform_args;

    // A peer of tools/ started (again) on port when given; null when it fails.
    static std::unique_ptr<NodePeer> peer(const char* name, const char* script, std::vector<std::string> args,
                                          int port = 0) {
        args.insert(args.end(), {"--port", std::to_string(port)});
        auto p = std::make_unique<NodePeer>(name, script, std::move(args));
        return p->start() ? std::move(p) : nullptr;
    }
    void startPx4(std::vector<std::string> extra = {}, int port = 0) {
        std::vector<std::string> args = px4_args;
        args.insert(args.end(), {"--task-parent", tasks.path()});
        args.insert(args.end(), extra.begin(), extra.end());
        px4 = peer("px4ctrl", "sim_px4ctrl.js", args, port);
    }
    void startCar() {
        car = peer("car", "sim_car.js", {"--heights", "1.5,3", "--quiet-realtime", "--upload-url", uploadUrl()},
                   car_port);
    }
    std::string uploadUrl() const { return "http://127.0.0.1:" + std::to_string(platform->port()) + "/media/upload"; }

    bool start(bool with_car, const json& config_patch) {
        if (!broker.start()) return false;
        startPx4();
        camera = peer("camera", "sim_camera.js", {});
        std::vector<std::string> args = platform_args;
        args.insert(args.end(), {"--mqtt-url", "mqtt://127.0.0.1:" + std::to_string(broker.port())});
        platform = peer("platform", "sim_platform.js", args);
        if (!px4 || !camera || !platform || !platform->waitEvents("mqtt_subscribed", 1, 10s)) return false;
        if (with_car) startCar();
        if (with_car && !car) return false;
        json config = {
            {"px4ctrl", {{"port", px4->port()}}},
            {"socketio",
             {{"uri", "http://127.0.0.1:" + std::to_string(car_port)},
              {"reconnect_attempts", -1},
              {"reconnect_delay_ms", 100}}},
            {"mqtt", {{"port", broker.port()}}},
            {"platform", {{"url", "http://127.0.0.1:" + std::to_string(platform->port())}, {"site_id", "site-f"}}},
            {"siyi", {{"ip", "127.0.0.1"}, {"http_port", camera->port()}, {"download_timeout_ms", 1000}}},
            {"stats", {{"web_port", web_port}, {"bind_address", "127.0.0.1"}}},
        };
        if (config_patch.is_object()) config.merge_patch(config_patch);
        testsupport::write_file(work.file("config.json"), config.dump());
        daemon = std::make_unique<ChildProcess>(
            "daemon", std::vector<std::string>{testsupport::daemon_path(), "--config", work.file("config.json")});
        return daemon->waitForLine("kovo_sio_client started.", 10s) && px4->waitEvents("login", 1, 10s);
    }

    json stats() const { return testsupport::http_get_json(web_port, "/api/stats"); }
    // The newest mission of /api/missions; null before the first.
    json lastMission() const {
        const json missions = testsupport::http_get_json(web_port, "/api/missions");
        return missions.is_array() && !missions.empty() ? missions.back() : json();
    }
    // Sends the car's mission and waits until px4ctrl takes off (after the
    // daemon's fixed 10 s start delay).
    bool startMission() {
        car->sendLine(R"({"cmd":"mission"})");
        return px4->event("kovo_command", 0, 20s).is_object() && px4->event("phase", 0, 5s).is_object();
    }
    // Waits for the mission's outcome; its record.
    json outcome(std::chrono::milliseconds timeout = 40s) const {
        json last;
        wait_until(
            [&] {
                last = lastMission();
                return last.is_object() && last["status"] != "running";
            },
            timeout, 100ms);
        return last;
    }
    // The status codes the platform received over MQTT, in order.
    std::vector<std::string> platformCodes() const {
        std::vector<std::string> codes;
        for (const json& r : platform->events("mqtt_report"))
            if (r["report"]["platformCmd"] == "UploadUavStatusHistory")
                codes.push_back(r["report"]["parms"]["uavStatusCode"]);
        return codes;
    }
    bool platformGot(const std::string& code, std::chrono::milliseconds timeout = 10s) const {
        return wait_until(
            [&] {
                const auto codes = platformCodes();
                return std::find(codes.begin(), codes.end(), code) != codes.end();
            },
            timeout, 50ms);
    }
    // The car asks whether the UAV may be rebooted: answered, the link works.
    bool carAnswersReboot() {
        const auto answers = [&] {
            size_t n = 0;
            for (const json& e : car->events("received"))
                n += e.dump().find("can_reboot_uav") != std::string::npos;
            return n;
        };
        const size_t before = answers();
        car->sendLine(R"({"cmd":"reboot"})");
        return wait_until([&] { return answers() > before; }, 5s, 20ms);
    }
};

// A directory on a tmpfs of one page, filled up; unmounted at the end.
class FullDirectory {
public:
    explicit FullDirectory(const std::string& path) : path_(path) {
        std::filesystem::create_directories(path);
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, "size=4k") == 0;
        if (mounted_) testsupport::write_file(path + "/filler", std::string(4096, 'x'));
    }
    ~FullDirectory() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }

private:
    std::string path_;
    bool mounted_ = false;
};

struct Scenario {
    const char* name;
    bool car_at_start;  // false: the car server starts after the daemon
    json config;        // merged into the rig's configuration
    std::vector<std::string> platform_args;
    std::function<void(Rig&)> run;  // injects the fault, drives and checks
};

std::string deep(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

const Scenario kScenarios[] = {
    {"CarServerLateThenRestarted",
     false,
     {},
     {},
     [](Rig& r) {
         ASSERT_TRUE(r.daemon->waitForLine("[SIO] Connect error", 10s)) << "nobody listens yet";
         r.startCar();
         ASSERT_TRUE(r.car && r.car->waitEvents("connection", 1, 10s));
         r.car.reset();
         r.startCar();
         ASSERT_TRUE(r.car && r.car->waitEvents("connection", 1, 10s)) << "the link comes back";
         EXPECT_TRUE(r.carAnswersReboot());
         EXPECT_EQ(r.daemon->countLines("Giving up"), 0u);
     }},
    {"Px4ctrlRestartedMidFlight",
     true,
     {},
     {},
     [](Rig& r) {
         ASSERT_TRUE(r.startMission());
         ASSERT_TRUE(r.daemon->waitForLine("[PX4-STATE] fs=4 kovo_sub=goto_height kovo_idx=0", 5s));
         const int port = r.px4->port();
         r.px4.reset();
         r.startPx4({"--fs", "2"}, port);  // back in standby, one height flown
         ASSERT_TRUE(r.px4 && r.px4->waitEvents("login", 1, 15s));
         const json mission = r.outcome();
         EXPECT_EQ(mission["status"], "failed");
         EXPECT_EQ(mission["reason"], "px4ctrl_link_lost");
         EXPECT_TRUE(r.platformGot("411") && r.platformGot("414")) << "the task still ends on the wire";
         EXPECT_EQ(r.daemon->countLines("[KOVO] Mission failed: px4ctrl_link_lost"), 1u);
         EXPECT_TRUE(r.px4->events("kovo_command").empty()) << "the mission is not flown again";
     }},
    // The client log, the mission copy and the summary cannot be written:
    // said once each; the mission itself goes on.
    {"BrokerRestartedMidMissionTaskDirUnwritable",
     true,
     {},
     {},
     [](Rig& r) {
         testsupport::write_file(r.work.file("blocker"), "a file, not a directory");
         const int port = r.px4->port();
         r.px4.reset();
         r.startPx4({"--report-task-dir", r.work.file("blocker/task")}, port);
         ASSERT_TRUE(r.px4 && r.px4->waitEvents("login", 1, 15s) && r.startMission());
         r.broker.stop();
         ASSERT_TRUE(r.daemon->waitForLine("[MQTT] Unexpected disconnection", 5s));
         ASSERT_TRUE(r.broker.start(r.broker.port()));
         const json mission = r.outcome();
         EXPECT_EQ(mission["status"], "success");
         EXPECT_TRUE(r.platformGot("414", 15s)) << "reports go out again after the broker is back";
         EXPECT_GE(r.daemon->countLines("[MQTT] Connected to broker"), 2u);
         ASSERT_TRUE(r.daemon->waitForLine("[LOG] Not uploading", 10s));
         EXPECT_EQ(r.daemon->countLines("Not a directory"), 4u) << "mission copy, client log, summary, log upload";
         EXPECT_EQ(r.daemon->countLines("[FILE] Cannot write " + r.work.file("blocker/task/client_log.jsonl")), 1u);
     }},
    {"Platform5xxAndCameraDown",
     true,
     {},
     {"--mode", "error", "--status", "503"},
     [](Rig& r) {
         r.camera.reset();
         ASSERT_TRUE(r.startMission());
         const json mission = r.outcome();
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
    {"PlatformAndCameraHanging",
     true,
     {{"platform", {{"timeout", {{"post_file", 1}}}}}},
     {"--mode", "hang"},
     [](Rig& r) {
         ASSERT_TRUE(r.camera->command({{"cmd", "hang"}}).is_object());
         ASSERT_TRUE(r.startMission());
         const auto t0 = std::chrono::steady_clock::now();
         for (int i = 0; i < 5; ++i)
             EXPECT_TRUE(r.stats().is_object()) << "the web server is not held by the transfers";
         // Three tries of 1 s and a pause of 1 s for each of four photos.
         const json mission = r.outcome(60s);
         EXPECT_LT(std::chrono::steady_clock::now() - t0, 45s) << "each transfer gives up on its own timeout";
         EXPECT_EQ(mission["reason"], "photos_not_uploaded");
         EXPECT_EQ(mission["photos"]["failed"], 4);
     }},
    {"TaskDirFull",
     true,
     {},
     {},
     [](Rig& r) {
         FullDirectory full(r.work.file("full"));
         if (!full.mounted()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
         const int port = r.px4->port();
         r.px4.reset();
         r.startPx4({"--report-task-dir", r.work.file("full")}, port);
         ASSERT_TRUE(r.px4 && r.px4->waitEvents("login", 1, 15s) && r.startMission());
         EXPECT_EQ(r.outcome()["status"], "success") << "the photos are all uploaded";
         ASSERT_TRUE(r.daemon->waitForLine("[LOG] Not uploading", 10s));
         EXPECT_EQ(r.daemon->countLines("No space left on device"), 3u) << "mission copy, client log, summary";
     }},
    // Every peer sends what it should not; the links stay usable.
    {"HostileInputFromEveryPeer",
     true,
     {},
     {},
     [](Rig& r) {
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
         EXPECT_TRUE(r.carAnswersReboot());
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
    Rig rig;
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
