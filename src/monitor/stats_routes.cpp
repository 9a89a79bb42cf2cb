#include "monitor/stats_routes.h"

namespace kovo::monitor {

namespace {

// Browser-facing JSON is indented; peer strings may hold bad UTF-8.
std::string json_text(const nlohmann::json& doc) {
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

bool start_stats_web_server(WebServer& server, int port, const StatsManager& stats,
                            WebServer::BodyHandler config_handler) {
    return server.start(
        port, [&stats] { return json_text(stats.getStatsJson()); },
        [&stats] { return json_text(stats.getMissionsJson(kMissionsRouteLimit)); },
        [&stats] { return stats.getDashboardHtml(); }, std::move(config_handler));
}

}  // namespace kovo::monitor
