// A car mission flown end to end: the real daemon between the simulated car,
// px4ctrl, platform (HTTP and MQTT, over a real mosquitto) and camera.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.h"

using nlohmann::json;
using namespace std::chrono_literals;
using testsupport::ChildProcess;

namespace {

// The JSON lines of p whose "event" is name.
std::vector<json> events(ChildProcess& p, const std::string& name) {
    std::vector<json> out;
    for (const std::string& line : p.lines()) {
        json j = json::parse(line, nullptr, false);
        if (j.is_object() && j.value("event", "") == name) out.push_back(std::move(j));
    }
    return out;
}

// A service manager's notification socket (NOTIFY_SOCKET): what the daemon
// tells it, one datagram each.
class NotifySocket {
public:
    explicit NotifySocket(std::string path) : path_(std::move(path)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        const timeval wait{0, 10000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifySocket() { ::close(fd_); }
    const std::string& path() const { return path_; }
    // Waits until a datagram equal to text arrives; true when it does.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) {
        return testsupport::wait_until(
            [&] {
                char buffer[256];
                const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                return n > 0 && std::string(buffer, static_cast<size_t>(n)) == text;
            },
            timeout, 0ms);
    }

private:
    std::string path_;
    int fd_;
};

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
    ASSERT_TRUE(platform.waitEvents("mqtt_subscribed", 1, 10s));

    const json config = {
        {"px4ctrl", {{"host", "127.0.0.1"}, {"port", px4.port()}}},
        {"socketio", {{"uri", "http://127.0.0.1:" + std::to_string(car.port())}}},
        {"mqtt", {{"host", "127.0.0.1"}, {"port", broker.port()}}},
        {"platform", {{"url", "http://127.0.0.1:" + std::to_string(platform.port())}, {"site_id", "site-e2e"}}},
        {"siyi", {{"ip", "127.0.0.1"}, {"http_port", camera.port()}}},
        {"stats", {{"enabled", true}, {"web_port", testsupport::pick_free_port()}}},
        {"spool", {{"dir", work.file("spool")}}},
    };
    testsupport::write_file(work.file("config.json"), config.dump(2));
    ChildProcess daemon("daemon", {testsupport::daemon_path(), "--config", work.file("config.json")});
    ASSERT_TRUE(daemon.waitForLine("kovo_sio_client started.", 10s));
    ASSERT_TRUE(daemon.waitForLine("[MQTT] Connected to broker", 10s));
    ASSERT_TRUE(car.waitEvents("connection", 1, 10s));
    ASSERT_TRUE(px4.waitEvents("login", 1, 10s));

    car.sendLine(R"({"cmd":"mission"})");
    ASSERT_TRUE(daemon.waitForLine("[CAR] carFlightPointList size=2 cmd=[kovo 1.5,3]", 5s));
    // The start delay is real: ten seconds, then the command.
    EXPECT_EQ(px4.event("kovo_command", 0, 15s)["text"], "kovo 1.5,3");
    ASSERT_TRUE(daemon.waitForLine("[LOG] Uploaded normal log: ", 40s));
    // Reports travel through the broker and may trail the log upload.
    const auto report_count = [&](const char* cmd) {
        return platform.process().countLines("\"platformCmd\":\"" + std::string(cmd) + "\"");
    };
    ASSERT_TRUE(testsupport::wait_until([&] { return report_count("UploadUavStatusHistory") >= 9; }, 5s));
    ASSERT_TRUE(car.waitEvents("received", 3));
    ASSERT_TRUE(platform.waitEvents("request", 5));

    EXPECT_EQ(events(px4.process(), "kovo_command").size(), 1u);
    const std::string task_dir = px4.event("mission")["task_dir"];

    // Platform over MQTT: the status codes in order, the arrivals, the
    // telemetry; the car: the mission statuses. The fields: see the unit tests.
    std::vector<std::string> codes, arrivals, car_codes;
    for (const json& r : events(platform.process(), "mqtt_report")) {
        const json& report = r["report"];
        EXPECT_EQ(report["siteId"], "site-e2e");
        if (report["platformCmd"] == "UploadUavStatusHistory") codes.push_back(report["parms"]["uavStatusCode"]);
        if (report["platformCmd"] == "UploadUavArrivePoint") arrivals.push_back(report["parms"]["carFlightPointId"]);
    }
    EXPECT_EQ(codes, (std::vector<std::string>{"400", "406", "408", "408", "408", "408", "410", "411", "414"}));
    EXPECT_EQ(arrivals, (std::vector<std::string>{"1", "2"}));
    EXPECT_GT(report_count("UploadCarFlightHistory"), 15u);
    for (const json& e : events(car.process(), "received"))
        if (e["name"] == "uav_mission_status") car_codes.push_back(e["payload"]["missionStatus"]);
    EXPECT_EQ(car_codes, (std::vector<std::string>{"1", "4", "6"}));

    // Platform over HTTP: four photos (a local file and a camera picture per
    // height) with the mission's form, then the log with the site's key.
    std::vector<std::string> heights;
    for (const json& r : events(platform.process(), "request")) {
        if (r["path"] != "/media/upload") {
            EXPECT_EQ(r["path"], "/carUavBackend/logFileArchive/saveUavNormalLog");
            EXPECT_EQ(r["parts"][1], (json{{"name", "siteAccessKey"}, {"value", "site-e2e"}}));
            continue;
        }
        EXPECT_GT(r["parts"][0]["size"].get<int>(), 0);
        for (const json& part : r["parts"])
            if (part["name"] == "height") heights.push_back(part["value"]);
    }
    std::sort(heights.begin(), heights.end());
    EXPECT_EQ(heights, (std::vector<std::string>{"1.5", "1.5", "3", "3"}));

    // The task directory: the mission copy, the client log, the summary.
    EXPECT_EQ(json::parse(testsupport::read_file(task_dir + "/car_mission.json"))["carMissionId"], "mission-1");
    std::vector<std::string> flow;
    std::istringstream log(testsupport::read_file(task_dir + "/client_log.jsonl"));
    for (std::string line; std::getline(log, line);) {
        const json record = json::parse(line);
        flow.push_back(record["event"] == "upload" ? (record["success"] == true ? "upload" : "failed upload")
                                                   : record["event"].get<std::string>());
    }
    std::stable_partition(flow.begin(), flow.end(), [](const std::string& e) { return e != "upload"; });
    EXPECT_EQ(flow, (std::vector<std::string>{"client_start", "takeoff", "executing", "executing", "arrive_point",
                                              "executing", "executing", "arrive_point", "landing", "finished", "upload",
                                              "upload", "upload", "upload"}));
    EXPECT_EQ(json::parse(testsupport::read_file(task_dir + "/upload_result.json"))["items"].size(), 4u);
    EXPECT_EQ(daemon.countLines("[UPLOAD] Timeout waiting for photo upload"), 0u);
}

// Started by a service manager, stopped mid-mission by SIGTERM.
TEST(DaemonStart, RunsWithoutMqttAndWebServerAnswersTheCarAndStopsOnSigterm) {
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
        {"spool", {{"dir", work.file("spool")}}},
    };
    testsupport::write_file(work.file("config.json"), config.dump());
    NotifySocket systemd(work.file("notify"));
    ChildProcess daemon("daemon", {"/usr/bin/env", "NOTIFY_SOCKET=" + systemd.path(), testsupport::daemon_path(),
                                   "--config", work.file("config.json")});
    ASSERT_TRUE(daemon.waitForLine("[APP] Failed to start mqtt client, continuing without MQTT", 10s));
    ASSERT_TRUE(daemon.waitForLine("kovo_sio_client started.", 5s));
    EXPECT_TRUE(systemd.waitFor("READY=1", 5s));
    EXPECT_TRUE(systemd.waitFor("WATCHDOG=1", 5s)) << "from the monitor loop, once a second";
    EXPECT_EQ(daemon.countLines("[WebServer]"), 0u);
    ASSERT_TRUE(px4.waitEvents("login", 1, 10s) && car.waitEvents("connection", 1, 10s));
    // px4ctrl executes (code 4): the reboot is refused. Until its first state
    // push arrives the code is unknown and the answer is "1", so ask again.
    EXPECT_TRUE(testsupport::wait_until(
        [&] {
            const size_t asked = car.events("received").size();
            car.sendLine(R"({"cmd":"reboot"})");
            return car.event("received", asked)["payload"]["can_reboot_uav"] == "0";
        },
        10s, 100ms));
    EXPECT_TRUE(daemon.running());

    // A mission in its start delay: the stop cuts it short, px4ctrl gets no
    // command, the last line says so, exit status 0, well within 5 s.
    car.sendLine(R"({"cmd":"mission"})");
    ASSERT_TRUE(daemon.waitForLine("[CAR] carFlightPointList size=", 5s));
    const auto t0 = std::chrono::steady_clock::now();
    ::kill(daemon.pid(), SIGTERM);
    const int status = daemon.waitExit(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(daemon.stdoutLines().back(), "kovo_sio_client stopped");
    EXPECT_EQ(daemon.countLines("[APP] SIGTERM received, stopping"), 1u);
    EXPECT_TRUE(systemd.waitFor("STOPPING=1", 1s));
    EXPECT_TRUE(px4.events("kovo_command").empty());
}

// The broker away mid-mission and back, the platform refusing every upload
// until after the mission, the daemon killed while reports and uploads wait
// and started again: every report arrives, in the order it was made, and
// every photo and the log.
TEST(StoreAndForward, NothingLostToOutagesOrAKill) {
    testsupport::TempDir tasks;
    testsupport::TempDir work;
    testsupport::MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    testsupport::NodePeer px4(
        "px4ctrl", "sim_px4ctrl.js",
        {"--phase-ms", "1500", "--goto-ms", "3000", "--photos", "both", "--task-parent", tasks.path()});
    testsupport::NodePeer camera("camera", "sim_camera.js");
    // The daemon reaches the broker through the platform's relay, which the
    // test cuts; the platform itself stays subscribed.
    testsupport::NodePeer platform("platform", "sim_platform.js",
                                   {"--mqtt-url", "mqtt://127.0.0.1:" + std::to_string(broker.port()),
                                    "--mqtt-proxy-port", "0", "--mode", "error"});
    ASSERT_TRUE(px4.start() && camera.start() && platform.start());
    const std::string upload_url = "http://127.0.0.1:" + std::to_string(platform.port()) + "/media/upload";
    testsupport::NodePeer car("car", "sim_car.js",
                              {"--heights", "1.5,3", "--upload-url", upload_url, "--quiet-realtime"});
    ASSERT_TRUE(car.start());
    ASSERT_TRUE(platform.waitEvents("mqtt_subscribed", 1, 10s));
    const json config = {
        {"px4ctrl", {{"port", px4.port()}}},
        {"socketio", {{"uri", "http://127.0.0.1:" + std::to_string(car.port())}}},
        {"mqtt", {{"port", platform.event("mqtt_proxy")["port"]}}},
        {"platform", {{"url", "http://127.0.0.1:" + std::to_string(platform.port())}}},
        {"siyi", {{"ip", "127.0.0.1"}, {"http_port", camera.port()}}},
        {"stats", {{"enabled", false}}},
        {"spool", {{"dir", work.file("spool")}}},
    };
    testsupport::write_file(work.file("config.json"), config.dump());
    const std::vector<std::string> argv{testsupport::daemon_path(), "--config", work.file("config.json")};
    auto daemon = std::make_unique<ChildProcess>("daemon", argv);
    ASSERT_TRUE(daemon->waitForLine("[MQTT] Connected to broker", 10s));
    ASSERT_TRUE(car.waitEvents("connection", 1, 10s));
    car.sendLine(R"({"cmd":"mission"})");
    const auto seen = [&](const std::string& text) { return platform.process().countLines(text) > 0; };
    ASSERT_TRUE(testsupport::wait_until([&] { return seen("\"uavStatusCode\":\"406\""); }, 30s));
    platform.command({{"cmd", "broker"}, {"up", false}});
    ASSERT_TRUE(daemon->waitForLine("[UPLOAD] Task ended", 40s));
    platform.command({{"cmd", "broker"}, {"up", true}});
    ASSERT_TRUE(daemon->waitForLine("[LOG] Failed to upload normal log", 60s));
    ASSERT_TRUE(testsupport::wait_until([&] { return seen("\"uavStatusCode\":\"414\""); }, 20s));

    // Reports pile up again; a second daemon on the same spool is refused.
    platform.command({{"cmd", "broker"}, {"up", false}});
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return testsupport::directory_entries(work.file("spool/reports")).size() >= 3; }, 10s));
    ChildProcess second("second", argv);
    const int status = second.waitExit(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(second.countLines("[APP] Another kovo_sio_client is already running with spool " + work.file("spool")),
              1u);
    daemon->signal(SIGKILL);
    daemon->waitExit(5s);
    platform.command({{"cmd", "broker"}, {"up", true}});
    platform.command({{"cmd", "mode"}, {"mode", "ok"}});
    daemon = std::make_unique<ChildProcess>("daemon", argv);
    ASSERT_TRUE(daemon->waitForLine("[SPOOL] Delivered client_log.jsonl", 30s));
    ASSERT_TRUE(testsupport::wait_until(
        [&] { return testsupport::directory_entries(work.file("spool/reports")).empty(); }, 10s));

    // Each report once at least, in the order made; the status codes whole.
    std::set<std::string> ids;
    std::vector<std::string> codes, times;
    for (const json& r : events(platform.process(), "mqtt_report")) {
        const json& report = r["report"];
        if (!ids.insert(report["platformCmdID"].get<std::string>()).second) continue;
        times.push_back(report["parms"]["occurrenceTime"]);
        if (report["platformCmd"] == "UploadUavStatusHistory") codes.push_back(report["parms"]["uavStatusCode"]);
    }
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(codes, (std::vector<std::string>{"400", "406", "408", "408", "408", "408", "410", "411", "414"}));
    std::vector<std::string> accepted;
    for (const json& r : events(platform.process(), "request"))
        if (r["status"] == 200)
            accepted.push_back(r["path"].get<std::string>() + " " + r["parts"][0]["filename"].get<std::string>());
    std::sort(accepted.begin(), accepted.end());
    ASSERT_EQ(accepted.size(), 5u);
    EXPECT_EQ(accepted[0], "/carUavBackend/logFileArchive/saveUavNormalLog client_log.jsonl");
}
