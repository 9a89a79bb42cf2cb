#include "app/config_update.h"

#include <algorithm>
#include <exception>

#include <nlohmann/json.hpp>

#include "config/settings.h"
#include "log/log.h"
#include "monitor/stats_routes.h"

namespace kovo::app {

using nlohmann::json;

namespace {

monitor::HttpReply json_reply(int status, const json& body) {
    return {status, monitor::kJsonType, body.dump(-1, ' ', false, json::error_handler_t::replace)};
}

std::string joined(const std::vector<std::string>& paths) {
    std::string out;
    for (const std::string& path : paths)
        out += (out.empty() ? "" : ", ") + path;
    return out;
}

}  // namespace

void record_config_stats(monitor::StatsManager& stats, const config::SharedConfig& config) {
    json shown = config.snapshot()->shownSettings();
    const std::vector<std::string> paths = config.restartPending();
    json pending = json::array();
    for (const config::Setting& s : config::settings()) {
        if (std::find(paths.begin(), paths.end(), s.path()) != paths.end()) pending.push_back(s.rule.shown_as);
    }
    shown["restart_pending"] = std::move(pending);
    stats.recordConfig(shown);
}

monitor::HttpReply handle_config_update(config::SharedConfig& config, const std::string& config_path,
                                        const std::string& body, monitor::StatsManager& stats) {
    json doc;
    try {
        doc = json::parse(body);
    } catch (const std::exception& e) {
        // The parser's message quotes the offending input: the dump escapes it.
        return monitor::json_failure(400, std::string("Invalid JSON: ") + e.what());
    }
    const config::HotUpdate update = config.applyHotUpdate(doc, config_path);
    if (!update.refused.empty()) {
        json refused = json::object();
        for (const config::Refusal& r : update.refused)
            refused[r.path] = r.why;
        return json_reply(400, {{"success", false}, {"message", "Invalid values"}, {"refused", refused}});
    }
    if (update.accepted.empty()) return monitor::json_failure(400, "No valid fields to update");
    if (!update.applied) {
        kovo::log::error() << "[Config] Cannot save " << config_path << ": " << update.save_error
                           << "; update not applied";
        return monitor::json_failure(500, "Cannot save " + config_path + ": " + update.save_error);
    }
    const std::vector<std::string> restart = config::SharedConfig::afterRestart(update.changed);
    if (!update.changed.empty()) {
        kovo::log::info() << "[Config] Updated " << joined(update.changed)
                          << (restart.empty() ? "" : " (after a restart: " + joined(restart) + ")");
    }
    record_config_stats(stats, config);
    return json_reply(
        200,
        {{"success", true}, {"message", "Config updated"}, {"changed", update.changed}, {"restart_required", restart}});
}

}  // namespace kovo::app
