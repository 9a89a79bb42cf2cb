#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kovo::monitor {

// The dashboard's mission history shows this many missions a page.
constexpr int kDashboardMissionsPerPage = 20;

// The dashboard page from the statistics object (StatsManager::getStatsJson)
// and one page of the mission history (StatsManager::getMissionPage).
// Absent members show as "-" (texts) or 0 (numbers); every text is
// HTML-escaped.
std::string render_dashboard_html(const nlohmann::json& stats, const nlohmann::json& history);

// Text safe inside an element and inside a quoted attribute value.
std::string html_escape(const std::string& text);

}  // namespace kovo::monitor
