// The px4ctrl link's cost, in one run, as ratios (see bench/README.md):
// - CPU per state message at full rate (state_interval_ms 0, px4ctrl
//   answering at once) of a process running the link, and of a minimal
//   WebSocket client doing the same exchange, each over one DOM parse of the
//   message;
// - the whole daemon's CPU share (with every simulated peer, as `make run`
//   starts them) with the default pace and px4ctrl answering at once, with
//   px4ctrl pushing at 50 Hz, and idle; the same for the minimal client;
// - the daemon's peak resident memory at full rate and its time from start
//   to logged in.
// Every figure is taken three times; the spread is printed.
//
// Usage: px4ctrl_bench [window_seconds] [daemon]   (default 5, this build's daemon)
//        px4ctrl_bench --minimal-client PORT INTERVAL_MS   (the floor client, runs until killed)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/app_config.h"
#include "px4ctrl/px4ctrl_ws_client.h"
#include "px4ctrl/request_pacer.h"
#include "px4ctrl/websocket_codec.h"
#include "test_support.h"

using namespace kovo::config;
using namespace kovo::px4ctrl;

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// CPU time of every thread of a process, in nanoseconds (schedstat: finer
// than the clock ticks of /proc/PID/stat, which an idle daemon needs).
double cpu_seconds(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream stat(dir + "/" + e->d_name + "/schedstat");
            double ns = 0;
            if (stat >> ns) total += ns / 1e9;
        }
        closedir(d);
    }
    return total;
}

// User and system CPU seconds of a process (/proc/PID/stat, in clock ticks):
// the split tells the link's own work from the kernel's loopback path.
std::pair<double, double> user_system_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are plain.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)
        fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {user / tick, system / tick};
}

long status_kib(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

long pushes(testsupport::NodePeer& sim) { return sim.command({{"cmd", "stats"}}).value("pushes", -1L); }

// CPU seconds per call of fn on this thread.
template <typename Fn>
double cpu_per_call(Fn fn, double budget) {
    timespec t0{}, t1{};
    long calls = 0;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    do {
        for (int i = 0; i < 200; ++i)
            fn();
        calls += 200;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    } while ((t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9 < budget);
    return ((t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9) / calls;
}

struct Window {
    double cpu_share = 0;    // of one core
    double per_message = 0;  // CPU seconds per push, median slice
    double best = 0;         // the least disturbed slice
    double messages_per_second = 0;
    double user_fraction = 0;  // of the CPU time, the rest is the kernel's
};

// CPU share over the whole window; CPU per push as the median of one-second
// slices, since other work on the machine disturbs some of them.
Window measure(pid_t pid, testsupport::NodePeer& sim, double seconds) {
    const double c0 = cpu_seconds(pid);
    const auto [u0, s0] = user_system_seconds(pid);
    const long p0 = pushes(sim);
    const auto t0 = Clock::now();
    std::vector<double> slices;
    double c = c0;
    long p = p0;
    for (int i = 0; i < std::max(1, static_cast<int>(seconds)); ++i) {
        std::this_thread::sleep_for(1s);
        const double c1 = cpu_seconds(pid);
        const long p1 = pushes(sim);
        if (p1 > p) slices.push_back((c1 - c) / static_cast<double>(p1 - p));
        c = c1;
        p = p1;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    Window w;
    w.cpu_share = (c - c0) / wall;
    w.messages_per_second = static_cast<double>(p - p0) / wall;
    const auto [u1, s1] = user_system_seconds(pid);
    if (u1 + s1 > u0 + s0) w.user_fraction = (u1 - u0) / ((u1 - u0) + (s1 - s0));
    if (!slices.empty()) {
        std::sort(slices.begin(), slices.end());
        w.per_message = slices[slices.size() / 2];
        w.best = slices.front();
    }
    return w;
}

// ---- the minimal client: blocking socket, poll, no event library ----

bool send_text(int fd, const std::string& text, std::mt19937& masks) {
    std::vector<unsigned char> frame(kMaxClientHeader + text.size());
    unsigned char* payload = frame.data() + kMaxClientHeader;
    std::memcpy(payload, text.data(), text.size());
    const unsigned char* begin = frame_in_place(payload, text.size(), Opcode::TEXT, masks());
    const size_t size = static_cast<size_t>(payload + text.size() - begin);
    return ::send(fd, begin, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

int minimal_client(int port, int interval_ms) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 1;
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string key = new_upgrade_key();
    const std::string request = upgrade_request("127.0.0.1", "/", "http", key);
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) return 1;
    std::vector<char> buf(16384);
    size_t have = 0;
    UpgradeAnswer answer;
    while (answer.head_size == 0) {
        const ssize_t n = ::recv(fd, buf.data() + have, buf.size() - have, 0);
        if (n <= 0) return 1;
        have += static_cast<size_t>(n);
        answer = check_upgrade_answer(std::string_view(buf.data(), have), key, "http");
    }
    if (!answer.error.empty()) return 1;
    std::mt19937 masks(std::random_device{}());
    send_text(fd, "loginquenlarf", masks);
    RequestPacer pacer{std::chrono::milliseconds(interval_ms)};
    FrameReader reader;
    std::string message;
    while (true) {
        const auto now = Clock::now();
        if (pacer.due(now)) {
            pacer.onRequestSent(now);
            if (!send_text(fd, "state", masks)) return 1;
        }
        const auto next = pacer.nextDue();
        const int timeout =
            next == Clock::time_point::max()
                ? -1
                : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, std::max(timeout, 0)) <= 0) continue;
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) return 0;
        size_t used = 0;
        while (true) {
            FrameReader::Piece piece;
            used += reader.parse(buf.data() + used, static_cast<size_t>(n) - used, &piece);
            if (piece.kind == FrameReader::Kind::NONE) break;
            if (piece.kind != FrameReader::Kind::DATA) continue;
            message.append(piece.bytes);
            if (!piece.last) continue;
            // Only the command code matters to the floor client.
            if (message.rfind("{\"cmd\":42", 0) == 0) pacer.start(Clock::now());
            if (message.rfind("{\"cmd\":1,", 0) == 0) pacer.onPush(Clock::now());
            message.clear();
        }
    }
}

// ---- the figures ----

struct Series {
    std::vector<double> values;
    void add(double v) { values.push_back(v); }
    std::string spread(const char* format) const {
        if (values.empty()) return "-";
        const auto [lo, hi] = std::minmax_element(values.begin(), values.end());
        char text[96];
        std::snprintf(text, sizeof text, format, *lo);
        std::string out = text;
        std::snprintf(text, sizeof text, format, *hi);
        return out + " - " + text;
    }
};

struct Peers {
    testsupport::TempDir work;
    testsupport::MosquittoBroker broker;
    testsupport::NodePeer px4{"px4ctrl", "sim_px4ctrl.js", {"--big-state", "--task-parent", work.path()}};
    testsupport::NodePeer camera{"camera", "sim_camera.js"};
    testsupport::NodePeer platform{"platform", "sim_platform.js"};
    std::unique_ptr<testsupport::NodePeer> car;

    bool start() {
        if (!broker.start() || !px4.start() || !camera.start() || !platform.start()) return false;
        car = std::make_unique<testsupport::NodePeer>(
            "car", "sim_car.js",
            std::vector<std::string>{"--quiet-realtime", "--upload-url",
                                     "http://127.0.0.1:" + std::to_string(platform.port()) + "/media/upload"});
        return car->start();
    }

    std::string config(int state_interval_ms) {
        const json config = {
            {"px4ctrl", {{"port", px4.port()}, {"state_interval_ms", state_interval_ms}}},
            {"socketio", {{"uri", "http://127.0.0.1:" + std::to_string(car->port())}}},
            {"mqtt", {{"port", broker.port()}}},
            {"platform", {{"url", "http://127.0.0.1:" + std::to_string(platform.port())}}},
            {"siyi", {{"ip", "127.0.0.1"}, {"http_port", camera.port()}}},
            {"stats", {{"web_port", testsupport::pick_free_port()}}},
            {"spool", {{"dir", work.file("spool")}}},
        };
        const std::string path = work.file("config_" + std::to_string(state_interval_ms) + ".json");
        testsupport::write_file(path, config.dump());
        return path;
    }

    // The simulated px4ctrl's pushes: answering each request, on a timer, or none.
    void pushMode(const char* mode, int every_ms) {
        px4.command({{"cmd", "push_mode"}, {"mode", mode}});
        px4.command({{"cmd", "push_every"}, {"ms", every_ms}});
    }
};

struct Modes {
    Series paced, hz50, idle;
};

// The three loads on a running process at the default pace.
void measure_modes(pid_t pid, Peers& peers, double seconds, Modes& out) {
    peers.pushMode("reply", 0);
    std::this_thread::sleep_for(500ms);
    out.paced.add(100 * measure(pid, peers.px4, seconds).cpu_share);
    peers.pushMode("none", 20);
    std::this_thread::sleep_for(500ms);
    out.hz50.add(100 * measure(pid, peers.px4, seconds).cpu_share);
    peers.pushMode("none", 0);
    std::this_thread::sleep_for(500ms);
    out.idle.add(100 * measure(pid, peers.px4, seconds).cpu_share);
    peers.pushMode("reply", 0);
}

std::unique_ptr<testsupport::ChildProcess> start_minimal_client(const std::string& self, int port, int interval_ms) {
    return std::make_unique<testsupport::ChildProcess>(
        "minimal",
        std::vector<std::string>{self, "--minimal-client", std::to_string(port), std::to_string(interval_ms)}, false);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--minimal-client") {
        return minimal_client(std::atoi(argv[2]), std::atoi(argv[3]));
    }
    const double window = argc > 1 ? std::atof(argv[1]) : 5.0;
    const std::string daemon = argc > 2 ? argv[2] : testsupport::daemon_path();
    const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
    Peers peers;
    if (!peers.start()) {
        std::cerr << "the simulated peers did not start (node, tools/node_modules and mosquitto needed)" << std::endl;
        return 1;
    }
    const std::string document = peers.px4.command({{"cmd", "sample"}}).at("text").get<std::string>();
    Series link_user, minimal_user;  // per message, user space only
    Series dom, link_best, minimal_best, daemon_best, link_ratio, minimal_ratio, link_rate, daemon_per_message,
        peak_rss, login_ms, rss_paced, threads;
    Modes daemon_modes, minimal_modes;
    for (int run = 1; run <= 3; ++run) {
        std::cerr << "run " << run << " of 3" << std::endl;
        // The parse is timed in each run, beside the link: the machine's load
        // moves both.
        const double parse = cpu_per_call([&] { json::parse(document).size(); }, 0.5);
        dom.add(parse * 1e6);
        {
            // The link alone in this process, at full rate.
            AppConfig config;
            config.px4ctrl.port = peers.px4.port();
            config.px4ctrl.state_interval_ms = 0;
            Px4ctrlWsClient client(config);
            if (!client.start() || !testsupport::wait_until([&] { return client.isLogined(); }, 10s)) {
                std::cerr << "the link did not log in" << std::endl;
                return 1;
            }
            std::this_thread::sleep_for(1s);
            const Window w = measure(getpid(), peers.px4, window);
            link_ratio.add(w.per_message / parse);
            link_user.add(w.per_message * w.user_fraction / parse);
            link_best.add(w.best / parse);
            link_rate.add(w.messages_per_second);
        }
        {
            auto floor = start_minimal_client(self, peers.px4.port(), 0);
            std::this_thread::sleep_for(1s);
            const Window w = measure(floor->pid(), peers.px4, window);
            minimal_ratio.add(w.per_message / parse);
            minimal_user.add(w.per_message * w.user_fraction / parse);
            minimal_best.add(w.best / parse);
            floor->stop();
        }
        {
            // The daemon at full rate: time to log in, cost per message, peak memory.
            const auto t0 = Clock::now();
            testsupport::ChildProcess d("daemon", {daemon, "--config", peers.config(0)}, false);
            if (!d.waitForLine("[PX4] Login result: success", 10s)) {
                std::cerr << "the daemon did not log in; its output:" << std::endl;
                for (const std::string& line : d.lines())
                    std::cerr << "  " << line << std::endl;
                return 1;
            }
            login_ms.add(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            std::this_thread::sleep_for(1s);
            const Window w = measure(d.pid(), peers.px4, window);
            daemon_per_message.add(w.per_message / parse);
            daemon_best.add(w.best / parse);
            peak_rss.add(status_kib(d.pid(), "VmHWM:") / 1024.0);
            d.stop();
        }
        {
            testsupport::ChildProcess d("daemon", {daemon, "--config", peers.config(20)}, false);
            if (!d.waitForLine("[PX4] Login result: success", 10s)) return 1;
            std::this_thread::sleep_for(1s);
            measure_modes(d.pid(), peers, window, daemon_modes);
            rss_paced.add(status_kib(d.pid(), "VmRSS:") / 1024.0);
            threads.add(static_cast<double>(status_kib(d.pid(), "Threads:")));
            d.stop();
        }
        {
            auto floor = start_minimal_client(self, peers.px4.port(), 20);
            std::this_thread::sleep_for(1s);
            measure_modes(floor->pid(), peers, window, minimal_modes);
            floor->stop();
        }
    }

    auto ratio = [](const Series& a, const Series& b) {
        Series r;
        for (size_t i = 0; i < std::min(a.values.size(), b.values.size()); ++i)
            r.add(b.values[i] > 0 ? a.values[i] / b.values[i] : 0);
        return r;
    };
    std::printf("state message: %zu bytes; one DOM parse: %s us; %.0f s windows, 3 runs (min - max)\n", document.size(),
                dom.spread("%.2f").c_str(), window);
    std::printf("full rate, CPU per message / one DOM parse    median slice      best slice\n");
    std::printf("  link alone (%s messages/s)  %-17s %s   (goal <= 1.0)\n", link_rate.spread("%.0f").c_str(),
                link_ratio.spread("%.2f").c_str(), link_best.spread("%.2f").c_str());
    std::printf("  minimal client                              %-17s %s\n", minimal_ratio.spread("%.2f").c_str(),
                minimal_best.spread("%.2f").c_str());
    std::printf("  link / minimal client                       %-17s %s\n",
                ratio(link_ratio, minimal_ratio).spread("%.2f").c_str(),
                ratio(link_best, minimal_best).spread("%.2f").c_str());
    std::printf("  whole daemon                                %-17s %s\n", daemon_per_message.spread("%.2f").c_str(),
                daemon_best.spread("%.2f").c_str());
    std::printf("  in user space (the rest is the kernel's): link %s, minimal client %s\n",
                link_user.spread("%.2f").c_str(), minimal_user.spread("%.2f").c_str());
    std::printf("CPU, %% of one core (default pace)      daemon            minimal client    daemon / minimal\n");
    const std::pair<const char*, Series Modes::*> rows[] = {{"px4ctrl answering at once", &Modes::paced},
                                                            {"px4ctrl pushing at 50 Hz", &Modes::hz50},
                                                            {"idle", &Modes::idle}};
    for (const auto& [name, member] : rows) {
        std::printf("  %-36s %-17s %-17s %s\n", name, (daemon_modes.*member).spread("%.3f").c_str(),
                    (minimal_modes.*member).spread("%.3f").c_str(),
                    ratio(daemon_modes.*member, minimal_modes.*member).spread("%.2f").c_str());
    }
    std::printf("daemon: peak RSS at full rate %s MiB (goal <= 10 MB); RSS at the default pace %s MiB; threads %s\n",
                peak_rss.spread("%.1f").c_str(), rss_paced.spread("%.1f").c_str(), threads.spread("%.0f").c_str());
    std::printf("daemon: start to logged in %s ms\n", login_ms.spread("%.0f").c_str());
    return 0;
}
