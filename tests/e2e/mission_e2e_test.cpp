// A car mission flown end to end: the real daemon between the simulated car,
// px4ctrl, platform (HTTP and MQTT, over a real mosquitto) and camera.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "daemon_rig.h"

using nlohmann::json;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::DaemonRig;
using testsupport::wait_until;
using Texts = std::vector<std::string>;

namespace {
// A service manager's notification socket (NOTIFY_SOCKET), read all along as
// a service manager does: the daemon's watchdog pings must never fill it.
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
        reader_ = std::thread([this] {
            char buffer[256];
            while (!done_)
                if (const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0); n > 0) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.insert(std::string(buffer, static_cast<size_t>(n)));
                }
        });
    }
    ~NotifySocket() {
        done_ = true;
        reader_.join();
        ::close(fd_);
    }
    const std::string& path() const { return path_; }
    // Waits until a datagram equal to text has arrived; true when it has.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) {
        return wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                return received_.count(text) > 0;
            },
            timeout);
    }

private:
    std::string path_;
    int fd_;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::set<std::string> received_;
    std::thread reader_;
};

}  // namespace

// Started by a service manager, the mission flown, the next one cut short by
// SIGTERM in its start delay.
TEST(MissionEndToEnd, CarMissionFromIntakeToLogUploadThenStopOnSigterm) {
    DaemonRig rig;
    // The second height comes long after the first one's photos have been
    // handed over: they go out as a follow-up batch.
    rig.px4_args = {"--phase-ms", "1500", "--goto-ms", "4500", "--photos", "both"};
    rig.car_args.insert(rig.car_args.end(), {"--warehouse", "A1,A2"});
    NotifySocket systemd(rig.work.file("notify"));
    rig.daemon_prefix = {"/usr/bin/env", "NOTIFY_SOCKET=" + systemd.path()};
    ASSERT_TRUE(rig.start());
    EXPECT_TRUE(systemd.waitFor("READY=1", 5s));
    EXPECT_TRUE(systemd.waitFor("WATCHDOG=1", 5s)) << "from the monitor loop, once a second";

    rig.car->sendLine(R"({"cmd":"mission"})");
    ASSERT_TRUE(rig.daemon->waitForLine("[CAR] carFlightPointList size=2 cmd=[kovo 1.5,3]", 5s));
    // The start delay is real: ten seconds, then the command.
    EXPECT_EQ(rig.px4->event("kovo_command", 0, 15s)["text"], "kovo 1.5,3");
    // px4ctrl executes (code 4): the reboot is refused; back in standby, allowed.
    ASSERT_TRUE(rig.daemon->waitForLine("[PX4-STATE] fs=4 ", 10s));
    EXPECT_EQ(rig.askCanReboot(), "0");
    ASSERT_TRUE(rig.daemon->waitForLine("[LOG] Uploaded normal log: ", 40s));
    EXPECT_EQ(rig.askCanReboot(), "1");
    // Reports travel through the broker and may trail the log upload.
    const auto report_count = [&](const char* cmd) {
        return rig.platform->process().countLines("\"platformCmd\":\"" + std::string(cmd) + "\"");
    };
    ASSERT_TRUE(wait_until([&] { return report_count("UploadUavStatusHistory") >= 9; }, 5s));
    ASSERT_TRUE(rig.platform->waitEvents("request", 5));
    EXPECT_EQ(rig.px4->events("kovo_command").size(), 1u);
    const std::string task_dir = rig.px4->event("mission")["task_dir"];

    // Platform over MQTT: the status codes in order, the arrivals, the
    // telemetry; the car: the mission statuses. The fields: see the unit tests.
    Texts arrivals;
    for (const json& r : rig.platform->events("mqtt_report")) {
        const json& report = r["report"];
        EXPECT_EQ(report["siteId"], "site-7");
        if (report["platformCmd"] == "UploadUavArrivePoint") arrivals.push_back(report["parms"]["carFlightPointId"]);
    }
    EXPECT_EQ(rig.platformCodes(), (Texts{"400", "406", "408", "408", "408", "408", "410", "411", "414"}));
    EXPECT_EQ(arrivals, (Texts{"1", "2"}));
    EXPECT_GT(report_count("UploadCarFlightHistory"), 15u);
    const auto car_codes = [&] {
        Texts codes;
        for (const json& e : rig.car->events("received"))
            if (e["name"] == "uav_mission_status") codes.push_back(e["payload"]["missionStatus"]);
        return codes;
    };
    EXPECT_TRUE(wait_until([&] { return car_codes().size() >= 3; }, 5s));
    EXPECT_EQ(car_codes(), (Texts{"1", "4", "6"}));

    // Platform over HTTP: four photos (a local file and a camera picture per
    // height) with the mission's form, then the log with the site's key.
    Texts heights;
    for (const json& r : rig.platform->events("request")) {
        if (r["path"] != "/media/upload") {
            EXPECT_EQ(r["path"], "/carUavBackend/logFileArchive/saveUavNormalLog");
            EXPECT_EQ(r["parts"][1], (json{{"name", "siteAccessKey"}, {"value", "site-7"}}));
            continue;
        }
        EXPECT_GT(r["parts"][0]["size"].get<int>(), 0);
        for (const json& part : r["parts"])
            if (part["name"] == "height") heights.push_back(part["value"]);
    }
    std::sort(heights.begin(), heights.end());
    EXPECT_EQ(heights, (Texts{"1.5", "1.5", "3", "3"}));

    // The task directory: the mission copy, the client log, the summary.
    EXPECT_EQ(json::parse(testsupport::read_file(task_dir + "/car_mission.json"))["carMissionId"], "mission-1");
    Texts flow;
    std::istringstream log(testsupport::read_file(task_dir + "/client_log.jsonl"));
    for (std::string line; std::getline(log, line);) {
        const json record = json::parse(line);
        flow.push_back(record["event"] == "upload" ? (record["success"] == true ? "upload" : "failed upload")
                                                   : record["event"].get<std::string>());
    }
    std::stable_partition(flow.begin(), flow.end(), [](const std::string& e) { return e != "upload"; });
    EXPECT_EQ(flow,
              (Texts{"client_start", "takeoff", "executing", "executing", "arrive_point", "executing", "executing",
                     "arrive_point", "landing", "finished", "upload", "upload", "upload", "upload"}));
    EXPECT_EQ(json::parse(testsupport::read_file(task_dir + "/upload_result.json"))["items"].size(), 4u);
    EXPECT_EQ(rig.daemon->countLines("[UPLOAD] Timeout waiting for photo upload"), 0u);

    // The next mission in its start delay: the stop cuts it short, px4ctrl
    // gets no command, the last line says so, exit status 0, well within 5 s.
    rig.car->sendLine(R"({"cmd":"mission"})");
    ASSERT_TRUE(wait_until([&] { return rig.daemon->countLines("[CAR] carFlightPointList size=") == 2; }, 5s));
    const auto t0 = std::chrono::steady_clock::now();
    ::kill(rig.daemon->pid(), SIGTERM);
    const int status = rig.daemon->waitExit(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(rig.daemon->stdoutLines().back(), "kovo_sio_client stopped");
    EXPECT_EQ(rig.daemon->countLines("[APP] SIGTERM received, stopping"), 1u);
    EXPECT_TRUE(systemd.waitFor("STOPPING=1", 2s));
    EXPECT_EQ(rig.px4->events("kovo_command").size(), 1u);
}

// The broker away mid-mission and back, the platform refusing every upload
// until after the mission, the daemon killed while reports and uploads wait
// and started again: every report arrives, in the order it was made, and
// every photo and the log.
TEST(StoreAndForward, NothingLostToOutagesOrAKill) {
    DaemonRig rig;
    rig.px4_args = {"--phase-ms", "1500", "--goto-ms", "3000", "--photos", "both"};
    // The daemon reaches the broker through the platform's relay, which the
    // test cuts; the platform itself stays subscribed.
    rig.platform_args = {"--mqtt-proxy-port", "0", "--mode", "error"};
    ASSERT_TRUE(rig.start(true, {{"stats", {{"enabled", false}}}}));
    ASSERT_TRUE(rig.daemon->waitForLine("[MQTT] Connected to broker", 10s));
    rig.car->sendLine(R"({"cmd":"mission"})");
    testsupport::NodePeer& platform = *rig.platform;
    ASSERT_TRUE(rig.platformGot("406", 30s));
    platform.command({{"cmd", "broker"}, {"up", false}});
    ASSERT_TRUE(rig.daemon->waitForLine("[UPLOAD] Task ended", 40s));
    platform.command({{"cmd", "broker"}, {"up", true}});
    ASSERT_TRUE(rig.daemon->waitForLine("[LOG] Failed to upload normal log", 60s));
    ASSERT_TRUE(rig.platformGot("414", 20s));

    // Reports pile up again; a second daemon on the same spool is refused.
    platform.command({{"cmd", "broker"}, {"up", false}});
    const std::string spool = rig.work.file("spool");
    ASSERT_TRUE(wait_until([&] { return testsupport::directory_entries(spool + "/reports").size() >= 3; }, 10s));
    ChildProcess second("second", rig.daemonArgv());
    const int status = second.waitExit(10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(second.countLines("[APP] Another kovo_sio_client is already running with spool " + spool), 1u);
    rig.daemon->signal(SIGKILL);
    rig.daemon->waitExit(5s);
    platform.command({{"cmd", "broker"}, {"up", true}});
    platform.command({{"cmd", "mode"}, {"mode", "ok"}});
    rig.startDaemon();
    ASSERT_TRUE(rig.daemon->waitForLine("[SPOOL] Delivered client_log.jsonl", 30s));
    ASSERT_TRUE(wait_until([&] { return testsupport::directory_entries(spool + "/reports").empty(); }, 10s));

    // Each report once at least, in the order made; the status codes whole.
    std::set<std::string> ids;
    Texts codes, times;
    for (const json& r : platform.events("mqtt_report")) {
        const json& report = r["report"];
        if (!ids.insert(report["platformCmdID"].get<std::string>()).second) continue;
        times.push_back(report["parms"]["occurrenceTime"]);
        if (report["platformCmd"] == "UploadUavStatusHistory") codes.push_back(report["parms"]["uavStatusCode"]);
    }
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(codes, (Texts{"400", "406", "408", "408", "408", "408", "410", "411", "414"}));
    Texts accepted;
    for (const json& r : platform.events("request"))
        if (r["status"] == 200)
            accepted.push_back(r["path"].get<std::string>() + " " + r["parts"][0]["filename"].get<std::string>());
    std::sort(accepted.begin(), accepted.end());
    ASSERT_EQ(accepted.size(), 5u);
    EXPECT_EQ(accepted[0], "/carUavBackend/logFileArchive/saveUavNormalLog client_log.jsonl");
}
