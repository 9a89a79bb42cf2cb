#include "app/config_update.h"

#include <exception>

#include <nlohmann/json.hpp>

namespace kovo::app {

void record_config_stats(monitor::StatsManager& stats, const config::AppConfig& config) {
    stats.recordConfig(config.shownSettings());
}

std::string handle_config_update(config::SharedConfig& config, const std::string& config_path, const std::string& body,
                                 monitor::StatsManager& stats) {
    try {
        const nlohmann::json doc = nlohmann::json::parse(body);
        if (config.applyHotUpdate(doc, config_path).accepted.empty()) {
            return "{\"success\":false,\"message\":\"No valid fields to update\"}";
        }
        record_config_stats(stats, *config.snapshot());
        return "{\"success\":true,\"message\":\"Config updated\"}";
    } catch (const std::exception& e) {
        // The parser's message quotes the offending input: escape it so the
        // page can always read the reply.
        const nlohmann::json message = std::string("Invalid JSON: ") + e.what();
        return "{\"success\":false,\"message\":" +
               message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "}";
    }
}

}  // namespace kovo::app
