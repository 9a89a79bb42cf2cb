#pragma once

#include <string>

#include "config/app_config.h"
#include "config/shared_config.h"
#include "monitor/stats_manager.h"

namespace kovo::app {

// Shows the hot settings of config on the dashboard.
void record_config_stats(monitor::StatsManager& stats, const config::AppConfig& config);

// The web server's POST "/api/config": applies body (a JSON document) to the
// hot settings of config, saves them to config_path and shows them in stats.
// Returns the reply: "Config updated" when at least one setting was taken
// (a value of the wrong type or breaking its setting's rule is not), "No
// valid fields to update", or an "Invalid JSON: " message (always valid JSON).
std::string handle_config_update(config::SharedConfig& config, const std::string& config_path, const std::string& body,
                                 monitor::StatsManager& stats);

}  // namespace kovo::app
