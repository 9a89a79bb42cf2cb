// Dashboard figures with a full mission history (1,000 missions): the time to
// render the page and the JSON routes' bodies, and (with --serve) the
// daemon's web routes on 127.0.0.1 for a load tool such as wrk.
//   web_bench [--rounds N] [--serve SECONDS [--port N]]
#include <algorithm>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "monitor/dashboard.h"
#include "monitor/stats_routes.h"

using namespace kovo::monitor;

namespace {

void fill_statistics(StatsManager& stats) {
    stats.recordStartup("2026-05-17 09:58:12");
    stats.recordVersion("1.3.0", "0123abc", "2026-05-17 09:00:00");
    stats.recordConfig({{"sio_uri", "http://127.0.0.1:8080"},
                        {"sio_access_key", "4821-9037"},
                        {"px4_host", "127.0.0.1"},
                        {"px4_port", 53001},
                        {"mqtt_host", "127.0.0.1"},
                        {"mqtt_port", 1883},
                        {"mqtt_request_topic", "/api/carUavModule/indoorPlatform/cmd/request"},
                        {"mqtt_response_topic", "/api/carUavModule/indoorPlatform/cmd/response"},
                        {"platform_url", "http://127.0.0.1:8087"},
                        {"platform_site_id", "qtpe-8264"},
                        {"siyi_ip", "192.168.144.25"},
                        {"siyi_port", 82},
                        {"siyi_img_dir", "101SIYI_IMG"},
                        {"stats_enabled", true},
                        {"stats_web_port", 18080}});
    stats.onSioConnected();
    stats.onWsConnected();
    for (int i = 0; i < 20; ++i)
        stats.onErrorRecord("[MQTT] publish failed: the connection was lost " + std::to_string(i));
    for (size_t i = 0; i < StatsManager::kMissionHistoryLimit; ++i) {
        stats.onMissionStarted("M2026051700" + std::to_string(i), "S" + std::to_string(100 + i), "P1", "A1", 4,
                               "/data/task/" + std::to_string(i), "2026-05-17 10:00:00");
        stats.onMissionSuccess("2026-05-17 10:05:00");
    }
    stats.updateInternalState({4, "hover", 2, true, false, true, 3, 1, "M202605170049", "S149", 76.5f, 1.2f, -0.1f});
}

template <typename F>
double mean_microseconds(int rounds, F&& work) {
    size_t sink = 0;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        sink += work();
    const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - begin;
    if (sink == 0) std::cerr << "nothing rendered" << std::endl;
    return spent.count() / rounds;
}

// Serves for a fixed time, so that a load tool can run meanwhile.
int serve(const StatsManager& stats, int port, int seconds) {
    WebServer server;
    if (!server.start("127.0.0.1", port, StatsRoutes(stats, "", nullptr))) return 1;
    std::cout << "{\"event\":\"listening\",\"port\":" << server.port() << "}" << std::endl;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    server.stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 2000;
    int port = 0;
    int serve_seconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--serve") == 0 && i + 1 < argc) serve_seconds = std::stoi(argv[++i]);
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::max(1, std::stoi(argv[++i]));
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) port = std::stoi(argv[++i]);
    }

    StatsManager stats;
    fill_statistics(stats);
    if (serve_seconds > 0) return serve(stats, port, serve_seconds);

    const std::string page = stats.getDashboardHtml();
    const nlohmann::json stats_json = stats.getStatsJson();
    const nlohmann::json missions = stats.getMissionPage(1, kDashboardMissionsPerPage);
    const double full = mean_microseconds(rounds, [&] { return stats.getDashboardHtml().size(); });
    const double html_only =
        mean_microseconds(rounds, [&] { return render_dashboard_html(stats_json, missions).size(); });
    const double stats_body = mean_microseconds(rounds, [&] { return stats.getStatsJson().dump(2).size(); });
    std::cout << "{\"missions\":" << StatsManager::kMissionHistoryLimit << ",\"page_bytes\":" << page.size()
              << ",\"rounds\":" << rounds << ",\"dashboard_us\":" << full << ",\"page_assembly_us\":" << html_only
              << ",\"stats_json_us\":" << stats_body << "}" << std::endl;
    return 0;
}
