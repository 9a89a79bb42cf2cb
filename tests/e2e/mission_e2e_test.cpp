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
struct NotifySocket {
    explicit NotifySocket(std::string socket_path) : path(std::move(socket_path)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        const timeval wait{0, 10000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        reader = std::thread([this] {
            for (char buffer[256]; !done;)
                if (const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0); n > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    received.insert(std::string(buffer, static_cast<size_t>(n)));
                }
        });
    }
    ~NotifySocket() {
        done = true;
        reader.join();
        ::close(fd);
    }
    // Waits until a datagram equal to text has arrived; true when it has.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) {
        return wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(mutex);
                return received.count(text) > 0;
            },
            timeout);
    }

    std::string path;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> done{false};
    std::mutex mutex;
    std::set<std::string> received;
    std::thread reader;
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
    rig.daemon_prefix = {"/usr/bin/env", "NOTIFY_SOCKET=" + systemd.path};
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
    ASSERT_TRUE(wait_until([&] { return rig.platformCodes().size() >= 9; }, 5s));
    ASSERT_TRUE(rig.platform->waitEvents("request", 5));
    const std::string task_dir = rig.px4->event("mission")["task_dir"];

    // Platform over MQTT: the status codes in order, the arrivals, the
    // telemetry. The fields: see the unit tests.
    Texts arrivals;
    for (const json& r : rig.platform->events("mqtt_report")) {
        const json& report = r["report"];
        EXPECT_EQ(report["siteId"], "site-7");
        if (report["platformCmd"] == "UploadUavArrivePoint") arrivals.push_back(report["parms"]["carFlightPointId"]);
    }
    EXPECT_EQ(rig.platformCodes(), (Texts{"400", "406", "408", "408", "408", "408", "410", "411", "414"}));
    EXPECT_EQ(arrivals, (Texts{"1", "2"}));
    EXPECT_GT(rig.platform->process().countLines("\"platformCmd\":\"UploadCarFlightHistory\""), 15u);

    // Platform over HTTP: four photos (a local file and a camera picture per
    // height) with the mission's form, then the log with the site's key.
    Texts uploads;
    for (const json& r : rig.platform->events("request"))
        for (const json& part : r["parts"])
            if (part["name"] == "height" || part["name"] == "siteAccessKey")
                uploads.push_back(r["path"].get<std::string>() + " " + part["value"].get<std::string>());
    std::sort(uploads.begin(), uploads.end());
    EXPECT_EQ(uploads, (Texts{"/carUavBackend/logFileArchive/saveUavNormalLog site-7", "/media/upload 1.5",
                              "/media/upload 1.5", "/media/upload 3", "/media/upload 3"}));

    // The task directory: the mission copy, the client log, the summary.
    EXPECT_EQ(json::parse(testsupport::read_file(task_dir + "/car_mission.json"))["carMissionId"], "mission-1");
    Texts flow;
    std::istringstream log(testsupport::read_file(task_dir + "/client_log.jsonl"));
    for (std::string line; std::getline(log, line);)
        flow.push_back(json::parse(line)["event"]);
    std::stable_partition(flow.begin(), flow.end(), [](const std::string& e) { return e != "upload"; });
    EXPECT_EQ(flow,
              (Texts{"client_start", "takeoff", "executing", "executing", "arrive_point", "executing", "executing",
                     "arrive_point", "landing", "finished", "upload", "upload", "upload", "upload"}));
    EXPECT_EQ(json::parse(testsupport::read_file(task_dir + "/upload_result.json"))["items"].size(), 4u);
    EXPECT_EQ(rig.daemon->countLines("[UPLOAD] Timeout waiting for photo upload"), 0u);

    // A second daemon on the same spool is refused.
    ChildProcess second("second", {testsupport::daemon_path(), "--config", rig.work.file("config.json")});
    const int refused = second.waitExit(10s);
    EXPECT_TRUE(WIFEXITED(refused) && WEXITSTATUS(refused) == 1) << refused;
    EXPECT_EQ(
        second.countLines("[APP] Another kovo_sio_client is already running with spool " + rig.work.file("spool")), 1u);

    // The next mission in its start delay: the stop cuts it short, px4ctrl
    // gets no command, the last line says so, exit status 0, well within 5 s.
    rig.car->sendLine(R"({"cmd":"mission"})");
    ASSERT_TRUE(wait_until([&] { return rig.daemon->countLines("[CAR] carFlightPointList size=") == 2; }, 5s));
    const auto t0 = std::chrono::steady_clock::now();
    ::kill(rig.daemon->pid(), SIGTERM);
    const int status = rig.daemon->waitExit(5s);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(rig.daemon->stdoutLines().back(), "kovo_sio_client stopped");
    EXPECT_TRUE(systemd.waitFor("STOPPING=1", 2s));
    EXPECT_EQ(rig.px4->events("kovo_command").size(), 1u);
}

// Reports, photos and the log made while the broker is cut off or the daemon
// is killed reach the platform afterwards: each once at least, in order.
TEST(StoreAndForward, NothingLostToOutagesOrAKill) {
    DaemonRig rig;
    rig.px4_args = {"--phase-ms", "1500", "--goto-ms", "3000", "--photos", "both"};
    // The test cuts the relay; the platform itself stays subscribed.
    rig.platform_args = {"--mqtt-proxy-port", "0", "--mode", "error"};
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(rig.daemon->waitForLine("[MQTT] Connected to broker", 10s));
    rig.car->sendLine(R"({"cmd":"mission"})");
    testsupport::NodePeer& platform = *rig.platform;
    ASSERT_TRUE(rig.platformGot("406", 30s));
    platform.command({{"cmd", "broker"}, {"up", false}});
    ASSERT_TRUE(rig.daemon->waitForLine("[UPLOAD] Task ended", 40s));
    platform.command({{"cmd", "broker"}, {"up", true}});
    ASSERT_TRUE(rig.daemon->waitForLine("[LOG] Failed to upload normal log", 60s));
    ASSERT_TRUE(rig.platformGot("414", 20s));

    // Reports pile up again, then the daemon is killed and started again.
    platform.command({{"cmd", "broker"}, {"up", false}});
    const std::string spool = rig.work.file("spool");
    ASSERT_TRUE(wait_until([&] { return testsupport::directory_entries(spool + "/reports").size() >= 3; }, 10s));
    rig.daemon->signal(SIGKILL);
    rig.daemon->waitExit(5s);
    platform.command({{"cmd", "broker"}, {"up", true}});
    platform.command({{"cmd", "mode"}, {"mode", "ok"}});
    rig.startDaemon();
    ASSERT_TRUE(rig.daemon->waitForLine("[SPOOL] Delivered client_log.jsonl", 30s));
    ASSERT_TRUE(wait_until([&] { return testsupport::directory_entries(spool + "/reports").empty(); }, 10s));

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
