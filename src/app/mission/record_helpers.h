#pragma once

#include <memory>
#include <mutex>
#include <set>
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
    // The mission's records: a file that cannot be written is said once per
    // mission on standard error ("[FILE] Cannot write <path>: <reason>").
    // False when it was not written.
    bool writeJsonFile(const std::string& path, const nlohmann::json& doc) const;

    // Appends {"event", "time", ...fields} to the client log of task_dir;
    // nothing without a directory.
    bool clientLog(const std::string& task_dir, const std::string& event,
                   nlohmann::json fields = nlohmann::json::object()) const;

    // A new mission: its files' failures are said again.
    void newMission() const;

private:
    bool reportFailure(const std::string& path, int error) const;

    const config::SharedConfig& config_;
    mutable std::mutex failed_mutex_;  // guards failed_paths_; nothing is taken under it
    mutable std::set<std::string> failed_paths_;
};

}  // namespace kovo::app
