// kovo_dashboard_server --config PATH: the daemon's dashboard, routes and
// configuration update on 127.0.0.1 over statistics filled with missions.
// Prints {"event":"listening","port":N}; ends when its standard input closes.
#include <cstring>
#include <iostream>
#include <limits>
#include <string>

#include "app/config_update.h"
#include "monitor/stats_routes.h"

using namespace kovo::monitor;
using namespace kovo::config;
using namespace kovo::app;

namespace {

// Missions 1 to 55, the newest still running, mission 40 with hostile markup;
// one error recorded.
void fill_statistics(StatsManager& stats) {
    stats.recordStartup("2026-05-17 09:58:12");
    stats.recordVersion("1.3.0", "0123abc", "2026-05-17 09:00:00");
    stats.onSioConnected();
    stats.onWsConnected();
    stats.onMqttConnected();
    for (int i = 1; i <= 55; ++i) {
        const std::string n = std::to_string(i);
        const std::string minute = "2026-05-17 10:" + std::string(i < 10 ? "0" : "") + n;
        const bool hostile = i == 40;
        stats.onMissionStarted(hostile ? "<script>window.kovoPwned=1</script>" : "M2026051700" + n,
                               hostile ? "<img src=x onerror=\"window.kovoPwned=2\">" : "S" + std::to_string(100 + i),
                               "P" + n, "A1", 1 + i % 4, "/data/task/" + n, minute + ":00");
        if (i == 55) break;
        if (i % 4 == 2)
            stats.onMissionFailed("max_retries_exceeded", minute + ":45");
        else
            stats.onMissionSuccess(minute + ":45");
    }
    stats.updateInternalState(
        {4, "hover_photo", 2, true, false, true, 3, 1, "M202605170055", "S155", 76.5f, 1.2f, -0.1f});
    stats.onErrorRecord("[PLATFORM] upload failed: HTTP 500");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "--config") != 0) return 2;  // see the usage above
    const std::string config_path = argv[2];
    AppConfig initial;
    initial.load(config_path);
    SharedConfig config(initial);
    StatsManager stats(nullptr, [] { return std::string("2026-05-17 10:56:00"); });
    fill_statistics(stats);
    record_config_stats(stats, config);

    WebServer server;
    const auto cfg = config.snapshot();
    if (!server.start("127.0.0.1", 0, StatsRoutes(stats, cfg->stats.auth_token, [&](const std::string& body) {
                          return handle_config_update(config, config_path, body, stats);
                      }))) {
        return 1;
    }
    std::cout << "{\"event\":\"listening\",\"port\":" << server.port() << "}" << std::endl;

    std::cin.ignore(std::numeric_limits<std::streamsize>::max());
    server.stop();
    return 0;
}
