// Serves the dashboard the way the daemon does (web server, statistics
// routes, configuration update over a shared configuration and its file),
// over statistics filled with missions, one of them carrying hostile markup.
// Usage: kovo_dashboard_server --config PATH [--port N]
// Prints {"event":"listening","port":N} once it listens; runs until SIGTERM
// or SIGINT.
#include <signal.h>

#include <cstring>
#include <iostream>
#include <string>

#include "app/config_update.h"
#include "monitor/stats_routes.h"

namespace {

const char kHostileMission[] = "<script>window.kovoPwned=1</script>";
const char kHostileStrategy[] = "<img src=x onerror=\"window.kovoPwned=2\">";

void fill_statistics(StatsManager& stats) {
    stats.recordStartup();
    stats.recordVersion("1.3.0", "0123abc", "2026-05-17 09:00:00");
    stats.onSioConnected();
    stats.onWsConnected();
    stats.onMqttConnected();
    const char* ends[] = {"success", "success", "failed", "aborted"};
    for (int i = 1; i <= 55; ++i) {
        const std::string id = i == 40 ? kHostileMission : "M2026051700" + std::to_string(i);
        const std::string strategy = i == 40 ? kHostileStrategy : "S" + std::to_string(100 + i);
        const std::string start = "2026-05-17 10:" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ":00";
        stats.onMissionStarted(id, strategy, "P" + std::to_string(i), "A1", 1 + i % 4, "/data/task/" + std::to_string(i),
                               start);
        if (i == 55) break;  // the newest mission is still running
        const std::string end = "2026-05-17 10:" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ":45";
        const std::string outcome = ends[i % 4];
        if (outcome == "success") stats.onMissionSuccess(end);
        if (outcome == "failed") stats.onMissionFailed("max_retries_exceeded", end);
        if (outcome == "aborted") stats.onMissionAborted(end);
    }
    stats.updateInternalState(4, "hover", 2, true, false, true, 3, 1, "M202605170055", "S155", 76.5f, 1.2f, -0.1f);
}

}  // namespace

int main(int argc, char** argv) {
    std::string config_path;
    int port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--config") == 0) config_path = argv[i + 1];
        if (std::strcmp(argv[i], "--port") == 0) port = std::stoi(argv[i + 1]);
    }
    if (config_path.empty()) {
        std::cerr << "usage: kovo_dashboard_server --config PATH [--port N]" << std::endl;
        return 1;
    }

    // Block the stop signals before any thread starts so that only sigwait
    // sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    AppConfig initial;
    initial.load(config_path);
    SharedConfig config(initial);
    StatsManager& stats = StatsManager::instance();
    fill_statistics(stats);
    record_config_stats(stats, *config.snapshot());

    WebServer server;
    server.setBindAddress("127.0.0.1");
    if (!start_stats_web_server(server, port, stats, [&](const std::string& body) {
            return handle_config_update(config, config_path, body, stats);
        })) {
        return 1;
    }
    std::cout << "{\"event\":\"listening\",\"port\":" << server.port() << "}" << std::endl;

    int sig = 0;
    sigwait(&stop_signals, &sig);
    server.stop();
    std::cout << "{\"event\":\"stopped\"}" << std::endl;
    return 0;
}
