// How long a px4ctrl phase change takes to reach the platform (the MQTT
// status report) and the car (the mission status). The real daemon flies
// two-height missions between the simulated peers and a private mosquitto;
// each peer's output line is timed when it appears (polled every
// millisecond), so all peers are compared on one clock.
//
// Usage: latency_bench [missions]   (default 3)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
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

// When each output line of the watched processes first appeared.
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

// The times of p's JSON lines whose "event" is name and that pass keep.
std::vector<Clock::time_point> times_of(ChildProcess& p, LineTimes& times, const std::string& name,
                                        bool (*keep)(const json&)) {
    const auto at = times.of(&p);
    const auto lines = p.lines();
    std::vector<Clock::time_point> out;
    for (size_t i = 0; i < lines.size() && i < at.size(); ++i) {
        const json j = json::parse(lines[i], nullptr, false);
        if (j.is_object() && j.value("event", "") == name && keep(j)) out.push_back(at[i]);
    }
    return out;
}

bool any(const json&) { return true; }
bool status_report(const json& e) { return e["report"].value("platformCmd", "") == "UploadUavStatusHistory"; }
bool mission_status(const json& e) { return e.value("name", "") == "uav_mission_status"; }

void print(const std::string& what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::cout << what << ": ";
    if (ms.empty()) {
        std::cout << "no samples" << std::endl;
        return;
    }
    std::cout << "n=" << ms.size() << " median " << ms[ms.size() / 2] << " ms, worst " << ms.back() << " ms"
              << std::endl;
}

double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int missions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    testsupport::TempDir work;
    testsupport::MosquittoBroker broker;
    const bool broker_up = broker.start();
    testsupport::NodePeer px4("px4ctrl", "sim_px4ctrl.js", {"--phase-ms", "1500", "--task-parent", work.path()});
    testsupport::NodePeer platform("platform", "sim_platform.js",
                                   {"--mqtt-url", "mqtt://127.0.0.1:" + std::to_string(broker.port())});
    testsupport::NodePeer car("car", "sim_car.js", {"--heights", "1.5,3", "--quiet-realtime"});
    if (!broker_up || !px4.start() || !platform.start() || !car.start() ||
        !platform.process().waitForLine("mqtt_subscribed", 10s)) {
        std::cerr << "the simulated peers did not start (node, tools/node_modules and mosquitto needed)" << std::endl;
        return 1;
    }
    const json config = {
        {"px4ctrl", {{"port", px4.port()}}},
        {"socketio", {{"uri", "http://127.0.0.1:" + std::to_string(car.port())}}},
        {"mqtt", {{"port", broker.port()}}},
        {"platform", {{"url", "http://127.0.0.1:" + std::to_string(platform.port())}}},
        {"stats", {{"enabled", false}}},
    };
    testsupport::write_file(work.file("config.json"), config.dump());
    ChildProcess daemon("daemon", {testsupport::daemon_path(), "--config", work.file("config.json")}, false);
    LineTimes times({&px4.process(), &platform.process(), &car.process()});
    if (!daemon.waitForLine("[PX4] Login result: success", 10s) || !car.process().waitForLine("\"connection\"", 10s)) {
        std::cerr << "the daemon did not connect" << std::endl;
        return 1;
    }

    // Per mission: take-off, two heights (goto, hover) and landing are the
    // six phases whose reports follow the "400" of the start (406, 408 x4,
    // 410); the car hears "4" (flying) after the take-off.
    std::vector<double> to_platform, to_car;
    for (int n = 0; n < missions; ++n) {
        const size_t phases0 = times_of(px4.process(), times, "phase", any).size();
        const size_t reports0 = times_of(platform.process(), times, "mqtt_report", status_report).size();
        const size_t statuses0 = times_of(car.process(), times, "received", mission_status).size();
        const size_t logs = daemon.countLines("[LOG] Uploaded normal log: ");
        car.sendLine(R"({"cmd":"mission"})");
        if (!testsupport::wait_until([&] { return daemon.countLines("[LOG] Uploaded normal log: ") > logs; }, 90s)) {
            std::cerr << "mission " << n + 1 << " did not finish" << std::endl;
            return 1;
        }
        std::this_thread::sleep_for(1s);  // the last reports on their way
        const auto phases = times_of(px4.process(), times, "phase", any);
        const auto reports = times_of(platform.process(), times, "mqtt_report", status_report);
        const auto statuses = times_of(car.process(), times, "received", mission_status);
        if (phases.size() < phases0 + 6 || reports.size() < reports0 + 7 || statuses.size() < statuses0 + 2) {
            std::cerr << "mission " << n + 1 << ": phases, reports or car statuses missing" << std::endl;
            return 1;
        }
        for (size_t i = 0; i < 6; ++i)
            to_platform.push_back(ms_between(phases[phases0 + i], reports[reports0 + 1 + i]));
        to_car.push_back(ms_between(phases[phases0], statuses[statuses0 + 1]));
    }
    // A report in the same millisecond as its phase change, or whose line
    // overtakes the phase line in the pipes, reads as 0 or a hair below.
    print("px4ctrl phase -> MQTT status report", to_platform);
    print("px4ctrl take-off -> car mission status", to_car);
    return 0;
}
