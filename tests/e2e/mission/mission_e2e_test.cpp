// A car mission flown end to end: the real daemon between the simulated car,
// px4ctrl, platform (HTTP and MQTT, over a real mosquitto) and camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.h"

using nlohmann::json;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using Clock = std::chrono::steady_clock;

namespace {

// Notes when each output line of the watched processes first appeared, so
// that events of different peers can be compared on one clock.
class LineTimes {
public:
    explicit LineTimes(std::vector<ChildProcess*> processes) : processes_(std::move(processes)) {
        thread_ = std::thread([this] {
            while (!stop_) {
                poll();
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    ~LineTimes() {
        stop_ = true;
        thread_.join();
    }
    // The arrival times of process p's lines, one per line of p->lines().
    std::vector<Clock::time_point> of(ChildProcess* p) {
        poll();
        std::lock_guard<std::mutex> lock(mutex_);
        return times_[p];
    }

private:
    void poll() {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        for (ChildProcess* p : processes_) {
            auto& t = times_[p];
            t.resize(std::max(t.size(), p->lineCount()), now);
        }
    }

    std::vector<ChildProcess*> processes_;
    std::map<ChildProcess*, std::vector<Clock::time_point>> times_;
    std::mutex mutex_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A JSON event line of a simulated peer with the moment it appeared.
struct Event {
    json body;
    Clock::time_point at;
};

// The JSON lines of p whose "event" is name.
std::vector<Event> events(ChildProcess& p, LineTimes& times, const std::string& name) {
    const auto at = times.of(&p);
    const auto lines = p.lines();
    std::vector<Event> out;
    for (size_t i = 0; i < lines.size() && i < at.size(); ++i) {
        const json j = json::parse(lines[i], nullptr, false);
        if (j.is_object() && j.value("event", "") == name) out.push_back({j, at[i]});
    }
    return out;
}

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string summary(std::vector<double> v) {
    if (v.empty()) return "no samples";
    std::sort(v.begin(), v.end());
    return "n=" + std::to_string(v.size()) + " median=" + std::to_string(v[v.size() / 2]) +
           " ms worst=" + std::to_string(v.back()) + " ms";
}

}  // namespace

TEST(MissionEndToEnd, CarMissionFromIntakeToLogUpload) {
    testsupport::TempDir tasks;
    testsupport::TempDir work;
    testsupport::MosquittoBroker broker;
    ASSERT_TRUE(broker.start());

    // The second height comes long after the first one's photos have been
    // handed over: they go out as a follow-up batch.
    testsupport::NodePeer px4(
        "px4ctrl", "sim_px4ctrl.js",
        {"--phase-ms", "1500", "--goto-ms", "4500", "--photos", "both", "--task-parent", tasks.path()});
    testsupport::NodePeer camera("camera", "sim_camera.js");
    testsupport::NodePeer platform("platform", "sim_platform.js",
                                   {"--mqtt-url", "mqtt://127.0.0.1:" + std::to_string(broker.port())});
    ASSERT_TRUE(px4.start());
    ASSERT_TRUE(camera.start());
    ASSERT_TRUE(platform.start());
    const std::string upload_url = "http://127.0.0.1:" + std::to_string(platform.port()) + "/media/upload";
    testsupport::NodePeer car(
        "car", "sim_car.js",
        {"--heights", "1.5,3", "--warehouse", "A1,A2", "--upload-url", upload_url, "--quiet-realtime"});
    ASSERT_TRUE(car.start());
    ASSERT_TRUE(platform.process().waitForLine("mqtt_subscribed", 10s));

    const json config = {
        {"px4ctrl", {{"host", "127.0.0.1"}, {"port", px4.port()}}},
        {"socketio", {{"uri", "http://127.0.0.1:" + std::to_string(car.port())}}},
        {"mqtt", {{"host", "127.0.0.1"}, {"port", broker.port()}}},
        {"platform", {{"url", "http://127.0.0.1:" + std::to_string(platform.port())}, {"site_id", "site-e2e"}}},
        {"siyi", {{"ip", "127.0.0.1"}, {"http_port", camera.port()}}},
        {"stats", {{"enabled", true}, {"web_port", testsupport::pick_free_port()}}},
    };
    testsupport::write_file(work.file("config.json"), config.dump(2));

    ChildProcess daemon("daemon", {testsupport::daemon_path(), "--config", work.file("config.json")});
    LineTimes times({&px4.process(), &platform.process(), &car.process()});
    ASSERT_TRUE(daemon.waitForLine("kovo_sio_client started.", 10s));
    ASSERT_TRUE(daemon.waitForLine("[MQTT] Connected to broker", 10s));
    ASSERT_TRUE(car.process().waitForLine("\"connection\"", 10s));
    ASSERT_TRUE(px4.process().waitForLine("\"login\"", 10s));

    car.sendLine(R"({"cmd":"mission"})");
    ASSERT_TRUE(daemon.waitForLine("[CAR] carFlightPointList size=2 cmd=[kovo 1.5,3]", 5s));
    // The start delay is real: ten seconds, then the command.
    ASSERT_TRUE(px4.process().waitForLine("kovo_command", 15s));
    ASSERT_TRUE(daemon.waitForLine("[LOG] Uploaded normal log: ", 40s));
    ASSERT_TRUE(testsupport::wait_until([&] { return platform.process().countLines("saveUavNormalLog") > 0; }, 5s));

    // px4ctrl: one mission command.
    const auto commands = events(px4.process(), times, "kovo_command");
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].body["text"], "kovo 1.5,3");
    EXPECT_EQ(commands[0].body["accepted"], true);
    const auto missions = events(px4.process(), times, "mission");
    ASSERT_EQ(missions.size(), 1u);
    const std::string task_dir = missions[0].body["task_dir"];

    // Platform over MQTT: the status codes in order, the arrivals, the
    // telemetry.
    std::vector<Event> statuses;
    std::vector<std::string> codes;
    std::vector<json> arrivals;
    size_t histories = 0;
    for (const Event& r : events(platform.process(), times, "mqtt_report")) {
        const json& report = r.body["report"];
        EXPECT_EQ(report["siteId"], "site-e2e");
        if (report["platformCmd"] == "UploadUavStatusHistory") {
            statuses.push_back(r);
            codes.push_back(report["parms"]["uavStatusCode"]);
        } else if (report["platformCmd"] == "UploadUavArrivePoint") {
            arrivals.push_back(report["parms"]);
        } else if (report["platformCmd"] == "UploadCarFlightHistory") {
            ++histories;
            EXPECT_EQ(report["parms"].size(), 54u);
        }
    }
    EXPECT_EQ(codes, (std::vector<std::string>{"400", "406", "408", "408", "408", "408", "410", "411", "414"}));
    ASSERT_EQ(arrivals.size(), 2u);
    EXPECT_EQ(arrivals[0]["carFlightPointId"], "1");
    EXPECT_EQ(arrivals[1]["carFlightPointId"], "2");
    EXPECT_EQ(arrivals[1]["carMissionId"], "mission-1");
    EXPECT_GT(histories, 15u);

    // Car: the mission statuses.
    std::vector<Event> mission_status;
    std::vector<std::string> car_codes;
    for (const Event& e : events(car.process(), times, "received")) {
        if (e.body["name"] != "uav_mission_status") continue;
        mission_status.push_back(e);
        car_codes.push_back(e.body["payload"]["missionStatus"]);
    }
    EXPECT_EQ(car_codes, (std::vector<std::string>{"1", "4", "6"}));

    // Platform over HTTP: four photos (a local file and a camera picture per
    // height) with the mission's form, then the log.
    std::vector<json> photos;
    std::vector<json> logs;
    for (const Event& r : events(platform.process(), times, "request")) {
        (r.body["path"] == "/media/upload" ? photos : logs).push_back(r.body);
    }
    ASSERT_EQ(photos.size(), 4u);
    std::vector<std::string> heights;
    for (const json& p : photos) {
        std::map<std::string, std::string> fields;
        ASSERT_EQ(p["parts"][0]["name"], "file");
        EXPECT_GT(p["parts"][0]["size"].get<int>(), 0);
        for (const json& part : p["parts"])
            if (part.contains("value")) fields[part["name"]] = part["value"];
        EXPECT_EQ(fields.size(), 17u);
        EXPECT_EQ(fields["carMissionHistoryId"], "hist-1");
        EXPECT_EQ(fields["carStrategyId"], "12");
        EXPECT_EQ(fields["carX"], "10.5");
        heights.push_back(fields["height"]);
    }
    std::sort(heights.begin(), heights.end());
    EXPECT_EQ(heights, (std::vector<std::string>{"1.5", "1.5", "3", "3"}));
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]["path"], "/carUavBackend/logFileArchive/saveUavNormalLog");
    EXPECT_EQ(logs[0]["parts"][0]["name"], "file");
    EXPECT_EQ(logs[0]["parts"][1]["name"], "siteAccessKey");
    EXPECT_EQ(logs[0]["parts"][1]["value"], "site-e2e");

    // Camera: both pictures fetched by number.
    EXPECT_GE(camera.process().countLines("IMG_0001.jpg"), 1u);
    EXPECT_GE(camera.process().countLines("IMG_0002.jpg"), 1u);

    // The task directory: the mission copy, the client log, the summary.
    const json copy = json::parse(testsupport::read_file(task_dir + "/car_mission.json"));
    EXPECT_EQ(copy["carMissionId"], "mission-1");
    EXPECT_EQ(copy["warehouseNumList"], json::array({"A1", "A2"}));
    std::vector<std::string> flow;
    int uploads_ok = 0;
    std::istringstream log(testsupport::read_file(task_dir + "/client_log.jsonl"));
    for (std::string line; std::getline(log, line);) {
        const json record = json::parse(line);
        if (record["event"] == "upload") {
            uploads_ok += record["success"] == true ? 1 : 0;
        } else {
            flow.push_back(record["event"]);
        }
    }
    EXPECT_EQ(flow, (std::vector<std::string>{"client_start", "takeoff", "executing", "executing", "arrive_point",
                                              "executing", "executing", "arrive_point", "landing", "finished"}));
    EXPECT_EQ(uploads_ok, 4);
    const json result = json::parse(testsupport::read_file(task_dir + "/upload_result.json"));
    EXPECT_EQ(result["items"].size(), 4u);
    EXPECT_EQ(result["upload_url"], upload_url);
    EXPECT_EQ(daemon.countLines("[UPLOAD] Timeout waiting for photo upload"), 0u);
    EXPECT_EQ(daemon.countLines("[UPLOAD] Photos stable at 2, starting upload..."), 1u);
    // The second height's photos: stable for three ticks before px4ctrl
    // lands, or handed over at the end, depending on where the ticks fall.
    EXPECT_EQ(daemon.countLines("[UPLOAD] Photos stable at 4, uploading 2 more...") +
                  daemon.countLines("[UPLOAD] Task ended, uploading 2 photo(s) not handed over yet..."),
              1u);

    // Latency from a px4ctrl phase change to its platform report and car
    // status: bounded by one poll interval (1 s) and a little.
    const auto phases = events(px4.process(), times, "phase");
    // Phases: take-off, two heights (goto, hover), landing, standby; reports
    // after "400": 406, 408 x4, 410 in the same order.
    ASSERT_GE(phases.size(), 7u);
    ASSERT_EQ(statuses.size(), 9u);
    ASSERT_EQ(mission_status.size(), 3u);
    // Times are when each peer's output line was seen (polled every
    // millisecond), so a report that follows its phase change within the
    // same millisecond, or whose line overtakes the phase line in the pipes,
    // reads as 0 or a hair below.
    std::vector<double> mqtt_ms;
    for (size_t i = 0; i < 6; ++i) {
        mqtt_ms.push_back(ms_between(phases[i].at, statuses[i + 1].at));
        EXPECT_GT(mqtt_ms.back(), -20.0);
        EXPECT_LT(mqtt_ms.back(), 1500.0);
    }
    std::cout << "[measure] px4ctrl phase -> MQTT status report: " << summary(mqtt_ms) << std::endl;
    std::cout << "[measure] px4ctrl take-off -> car mission status: "
              << summary({ms_between(phases[0].at, mission_status[1].at)}) << std::endl;
}

TEST(DaemonStart, RunsWithoutMqttAndWebServerAndAnswersTheCar) {
    testsupport::TempDir work;
    testsupport::NodePeer px4("px4ctrl", "sim_px4ctrl.js", {"--fs", "4", "--task-parent", work.path()});
    testsupport::NodePeer car("car", "sim_car.js", {"--quiet-realtime"});
    ASSERT_TRUE(px4.start());
    ASSERT_TRUE(car.start());
    const json config = {
        {"px4ctrl", {{"port", px4.port()}}},
        {"socketio", {{"uri", "http://127.0.0.1:" + std::to_string(car.port())}}},
        {"mqtt", {{"port", testsupport::pick_free_port()}}},  // nobody listens
        {"stats", {{"enabled", false}}},
    };
    testsupport::write_file(work.file("config.json"), config.dump());
    ChildProcess daemon("daemon", {testsupport::daemon_path(), "--config", work.file("config.json")});
    ASSERT_TRUE(daemon.waitForLine("[APP] Failed to start mqtt client, continuing without MQTT", 10s));
    ASSERT_TRUE(daemon.waitForLine("kovo_sio_client started.", 5s));
    EXPECT_EQ(daemon.countLines("[WebServer]"), 0u);
    ASSERT_TRUE(px4.process().waitForLine("\"login\"", 10s));
    ASSERT_TRUE(car.process().waitForLine("\"connection\"", 10s));

    // px4ctrl executes (code 4): the reboot is refused. Until its first state
    // push arrives the code is unknown and the answer is "1", so ask again.
    std::string answer;
    ASSERT_TRUE(testsupport::wait_until(
        [&] {
            const size_t from = car.process().lineCount();
            car.sendLine(R"({"cmd":"reboot"})");
            std::string line;
            if (!car.process().waitForLine("\"can_reboot_uav\"", 5s, &line, from)) return false;
            answer = json::parse(line)["payload"]["can_reboot_uav"];
            return answer == "0";
        },
        10s, 100ms));
    EXPECT_GE(daemon.countLines("[CAR] Received reboot query"), 1u);
    EXPECT_TRUE(daemon.running());
}
