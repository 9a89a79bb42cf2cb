// The whole daemon's standing cost and its memory over many missions. The
// real binary runs against the simulated px4ctrl (answering every state
// request at once, so it pushes at full rate), car, platform, camera and a
// private mosquitto. Printed: CPU share and resident memory while idle
// between missions, then the resident memory as missions are flown one after
// another (each waits for the previous one's log upload).
//
// Usage: mission_bench [missions] [idle_seconds]   (defaults 100 and 20)

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.h"

using namespace std::chrono_literals;

namespace {

struct Usage {
    double cpu_seconds = 0;  // user + system
    long rss_kib = 0;
    int threads = 0;
};

Usage read_usage(pid_t pid) {
    Usage u;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which may hold blanks: utime and stime
    // are fields 14 and 15 of the whole line.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::vector<std::string> f;
    for (std::string field; rest >> field;) {
        f.push_back(field);
    }
    if (f.size() > 12) {
        u.cpu_seconds = (std::stod(f[11]) + std::stod(f[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            u.rss_kib = std::atol(line.c_str() + 6);
        } else if (line.rfind("Threads:", 0) == 0) {
            u.threads = std::atoi(line.c_str() + 8);
        }
    }
    return u;
}

// State pushes the simulated px4ctrl has sent so far.
long pushes(testsupport::NodePeer& px4) {
    const size_t from = px4.process().lineCount();
    px4.sendLine(R"({"cmd":"stats"})");
    std::string line;
    if (!px4.process().waitForLine(R"("cmd":"stats")", 5s, &line, from)) {
        return -1;
    }
    const auto j = nlohmann::json::parse(line, nullptr, false);
    return j.is_object() ? j.value("pushes", -1L) : -1;
}

void print_usage_line(const std::string& what, const Usage& u) {
    std::cout << what << ": rss " << u.rss_kib << " KiB, threads " << u.threads << std::endl;
}

// The daemon's CPU share over an idle window, and per state push (the push
// rate follows how fast the simulated px4ctrl answers on a busy machine).
Usage measure_idle(const std::string& what, pid_t daemon, testsupport::NodePeer& px4, int seconds) {
    const Usage u0 = read_usage(daemon);
    const long p0 = pushes(px4);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const Usage u1 = read_usage(daemon);
    const long p1 = pushes(px4);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = u1.cpu_seconds - u0.cpu_seconds;
    std::cout << what << ": " << (p1 - p0) / wall << " state pushes/s, CPU " << 100.0 * cpu / wall << " % of one core, "
              << 1e6 * cpu / static_cast<double>(std::max(1L, p1 - p0)) << " us per push" << std::endl;
    return u1;
}

}  // namespace

int main(int argc, char** argv) {
    const int missions = argc > 1 ? std::atoi(argv[1]) : 100;
    const int idle_seconds = argc > 2 ? std::atoi(argv[2]) : 20;

    testsupport::TempDir work;
    testsupport::MosquittoBroker broker;
    testsupport::NodePeer px4("px4ctrl", "sim_px4ctrl.js",
                              {"--phase-ms", "1200", "--photos", "both", "--task-parent", work.path()});
    testsupport::NodePeer camera("camera", "sim_camera.js");
    testsupport::NodePeer platform("platform", "sim_platform.js");
    if (!broker.start() || !px4.start() || !camera.start() || !platform.start()) {
        std::cerr << "the simulated peers did not start (node, tools/node_modules and mosquitto needed)" << std::endl;
        return 1;
    }
    testsupport::NodePeer car("car", "sim_car.js",
                              {"--heights", "1.5", "--quiet-realtime", "--upload-url",
                               "http://127.0.0.1:" + std::to_string(platform.port()) + "/media/upload"});
    if (!car.start()) {
        std::cerr << "the simulated car did not start" << std::endl;
        return 1;
    }
    const nlohmann::json config = {
        {"px4ctrl", {{"port", px4.port()}}},
        {"socketio", {{"uri", "http://127.0.0.1:" + std::to_string(car.port())}}},
        {"mqtt", {{"port", broker.port()}}},
        {"platform", {{"url", "http://127.0.0.1:" + std::to_string(platform.port())}}},
        {"siyi", {{"ip", "127.0.0.1"}, {"http_port", camera.port()}}},
        {"stats", {{"web_port", testsupport::pick_free_port()}}},
    };
    testsupport::write_file(work.file("config.json"), config.dump());
    // Quiet: a hundred missions print a lot.
    testsupport::ChildProcess daemon("daemon", {testsupport::daemon_path(), "--config", work.file("config.json")},
                                     false);
    if (!daemon.waitForLine("[PX4] Login result: success", 10s) || !car.process().waitForLine("\"connection\"", 10s)) {
        std::cerr << "the daemon did not connect" << std::endl;
        return 1;
    }
    std::this_thread::sleep_for(2s);

    const Usage idle1 = measure_idle("idle, px4ctrl at full rate", daemon.pid(), px4, idle_seconds);
    print_usage_line("idle before the first mission", idle1);

    for (int n = 1; n <= missions; ++n) {
        const size_t done = daemon.countLines("[LOG] Uploaded normal log: ");
        car.sendLine(R"({"cmd":"mission"})");
        if (!testsupport::wait_until([&] { return daemon.countLines("[LOG] Uploaded normal log: ") > done; }, 90s,
                                     50ms)) {
            std::cerr << "mission " << n << " did not finish" << std::endl;
            return 1;
        }
        if (n == 1 || n == 10 || n % 25 == 0 || n == missions) {
            print_usage_line("after mission " + std::to_string(n), read_usage(daemon.pid()));
        }
    }
    std::this_thread::sleep_for(2s);
    const Usage end1 =
        measure_idle("idle after " + std::to_string(missions) + " missions", daemon.pid(), px4, idle_seconds);
    print_usage_line("idle after the missions", end1);
    std::cout << "timeouts waiting for photos: " << daemon.countLines("[UPLOAD] Timeout waiting for photo upload")
              << ", failed starts: " << daemon.countLines("[CAR] Failed to start mission") << std::endl;
    return 0;
}
