// Steady-state cost of the px4ctrl link. While logged in, the client and
// px4ctrl exchange continuously, so the CPU the whole process spends per state
// message is the daemon's standing load on the companion computer. Measured
// against the simulated px4ctrl answering at full rate with a realistic state
// document (about 1 KB, 20 photo entries), and set beside the cost of one
// full JSON parse of the same document.
//
// Usage: px4ctrl_bench [seconds]   (default 10)

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/app_config.h"
#include "px4ctrl/px4ctrl_message.h"
#include "px4ctrl/px4ctrl_ws_client.h"
#include "test_support.h"

using namespace kovo::config;
using namespace kovo::px4ctrl;

using namespace std::chrono_literals;

namespace {

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto secs = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
    return secs(usage.ru_utime) + secs(usage.ru_stime);
}

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Asks the simulated px4ctrl a stdin command and returns its acknowledgement.
nlohmann::json ask(testsupport::NodePeer& sim, const std::string& cmd) {
    const size_t from = sim.process().lineCount();
    sim.sendLine(R"({"cmd":")" + cmd + R"("})");
    std::string line;
    if (!sim.process().waitForLine(R"("cmd":")" + cmd + "\"", 5s, &line, from)) {
        throw std::runtime_error("no answer from the simulated px4ctrl to " + cmd);
    }
    return nlohmann::json::parse(line);
}

// CPU seconds per call of fn, over about `budget` of CPU time.
template <typename Fn>
double cpu_per_call(Fn fn, double budget) {
    long calls = 0;
    const double start = thread_cpu_seconds();
    double now = start;
    while (now - start < budget) {
        for (int i = 0; i < 200; ++i)
            fn();
        calls += 200;
        now = thread_cpu_seconds();
    }
    return (now - start) / calls;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    testsupport::NodePeer sim("sim_px4ctrl", "sim_px4ctrl.js", {"--big-state", "--task-parent", "/tmp/kovo_bench"});
    if (!sim.start()) {
        std::cerr << "the simulated px4ctrl did not start (node and tools/node_modules needed)" << std::endl;
        return 1;
    }
    AppConfig config;
    config.px4ctrl.port = sim.port();
    const std::string document = ask(sim, "sample").at("text").get<std::string>();
    const size_t photos = nlohmann::json::parse(document)["state"]["kovo"]["photos"].size();

    // (a) whole-process CPU per state message at full rate, in one-second
    // windows: other processes on the machine disturb some of them, so the
    // median and the best window are reported.
    std::vector<double> windows;
    long messages = 0;
    {
        Px4ctrlWsClient client(config);
        if (!client.start() || !testsupport::wait_until([&] { return client.isLogined(); }, 10s)) {
            std::cerr << "the client did not log in" << std::endl;
            return 1;
        }
        std::this_thread::sleep_for(1s);  // warm-up
        long pushes = ask(sim, "stats").at("pushes").get<long>();
        for (int i = 0; i < std::max(1, static_cast<int>(seconds)); ++i) {
            const double cpu0 = process_cpu_seconds();
            std::this_thread::sleep_for(1s);
            const double cpu1 = process_cpu_seconds();
            const long now = ask(sim, "stats").at("pushes").get<long>();
            if (now > pushes) windows.push_back((cpu1 - cpu0) / static_cast<double>(now - pushes));
            messages += now - pushes;
            pushes = now;
        }
    }
    if (windows.empty()) {
        std::cerr << "no state message arrived" << std::endl;
        return 1;
    }
    std::sort(windows.begin(), windows.end());
    const double a = windows[windows.size() / 2];
    std::printf("state document: %zu bytes, %zu photo entries\n", document.size(), photos);
    std::printf(
        "(a) client process CPU per state message: median %.2f us, best %.2f us "
        "(%ld messages in %zu one-second windows)\n",
        a * 1e6, windows.front() * 1e6, messages, windows.size());
    sim.stop();

    // (b) one full parse of the same document, and the receive path's scan.
    const double b = cpu_per_call([&] { nlohmann::json::parse(document).size(); }, 1.0);
    const double scan = cpu_per_call([&] { (void)scan_message(document).kind; }, 0.5);
    std::printf("(b) nlohmann::json::parse of the document: %.2f us\n", b * 1e6);
    std::printf("    receive-path scan of the document: %.2f us\n", scan * 1e6);
    std::printf("a/b = %.2f (best window %.2f; goal <= 1.0, stretch <= 0.5)\n", a / b, windows.front() / b);
    return 0;
}
