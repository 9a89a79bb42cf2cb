#pragma once

#include "monitor/stats_manager.h"
#include "monitor/web_server.h"

namespace kovo::monitor {

// "/api/missions" lists this many of the newest missions.
constexpr int kMissionsRouteLimit = 100;

// Starts server on port with the statistics routes of stats ("/api/stats",
// "/api/missions", the dashboard page) and config_handler for POST
// "/api/config". stats must outlive the server.
bool start_stats_web_server(WebServer& server, int port, const StatsManager& stats,
                            WebServer::BodyHandler config_handler);

}  // namespace kovo::monitor
