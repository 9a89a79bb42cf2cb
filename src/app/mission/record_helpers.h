#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "config/shared_config.h"

namespace kovo::app {

// The record, time and number helpers bound to the application's own
// configuration: each call reads a fresh snapshot, so a hot update of the
// time format or the precision takes effect at once.
class RecordHelpers {
public:
    explicit RecordHelpers(const config::SharedConfig& config);

    std::shared_ptr<const config::AppConfig> config() const { return config_.snapshot(); }

    // format_current_time with the configured app.time_format.
    std::string currentTime() const;
    std::string jsonString(const nlohmann::json& obj, const std::string& key, const std::string& def) const;
    void writeJsonFile(const std::string& path, const nlohmann::json& doc) const;

    // Appends {"event", "time", ...fields} to the client log of task_dir;
    // nothing without a directory.
    void clientLog(const std::string& task_dir, const std::string& event,
                   nlohmann::json fields = nlohmann::json::object()) const;

private:
    const config::SharedConfig& config_;
};

}  // namespace kovo::app
