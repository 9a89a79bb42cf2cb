#pragma once

#include <string>

#include "config/app_config.h"
#include "config/shared_config.h"
#include "monitor/stats_manager.h"
#include "monitor/web_server.h"

namespace kovo::app {

// Shows the hot settings of config on the dashboard (secrets masked), with
// those waiting for a restart listed under "restart_pending".
void record_config_stats(monitor::StatsManager& stats, const config::SharedConfig& config);

// The web server's POST "/api/config": applies body (a JSON document) to the
// hot settings of config, all or nothing, saves them to config_path and
// shows them in stats. Replies (JSON, "success" and "message"):
// 200 "Config updated" with "changed" and "restart_required" (paths);
// 400 "Invalid JSON: ..." or "No valid fields to update", or "Invalid values"
// with "refused" (path: reason), nothing applied; 500 when the file cannot be
// saved, nothing applied. Logs one line per accepted update naming the
// changed keys, and the failure to save.
monitor::HttpReply handle_config_update(config::SharedConfig& config, const std::string& config_path,
                                        const std::string& body, monitor::StatsManager& stats);

}  // namespace kovo::app
