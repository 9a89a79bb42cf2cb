#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kovo::monitor {

// The dashboard lists this many of the newest missions.
constexpr int kDashboardMissionLimit = 50;

// The dashboard page from the statistics object (StatsManager::getStatsJson)
// and the mission list (StatsManager::getMissionsJson, oldest first). Absent
// members show as "-" (texts) or 0 (numbers); every text is HTML-escaped.
std::string render_dashboard_html(const nlohmann::json& stats, const nlohmann::json& missions);

// Text safe inside an element and inside a quoted attribute value.
std::string html_escape(const std::string& text);

}  // namespace kovo::monitor
