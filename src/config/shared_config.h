#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

namespace kovo::config {

// What a hot update did. It is all or nothing: one refused key, or a file
// that cannot be saved, leaves the running record and the file as they were.
struct HotUpdate {
    std::vector<std::string> accepted;  // paths of the keys that passed their rule
    std::vector<Refusal> refused;
    std::string save_error;            // the system's reason the file could not be written
    std::vector<std::string> changed;  // accepted paths whose value differs from the running one
    bool applied = false;              // published (and saved when something changed)
};

// The application's own configuration, read by many threads and changed by a
// hot update on the web server's thread. Readers take an immutable snapshot;
// a hot update publishes a new record, so no reader ever sees a half-assigned
// value.
class SharedConfig {
public:
    explicit SharedConfig(const AppConfig& initial);

    // The current record; it never changes after it was published.
    std::shared_ptr<const AppConfig> snapshot() const;

    // Applies doc with AppConfig::updateHotConfig to a copy of the current
    // record. Publishes the copy only when every key was taken and, if a
    // value changed, the copy was saved to save_path first. Hot updates are
    // serialised among themselves.
    HotUpdate applyHotUpdate(const nlohmann::json& doc, const std::string& save_path);

    // The paths of the settings that take effect after a restart and whose
    // current value differs from the one the daemon started with.
    std::vector<std::string> restartPending() const;
    // Those of paths that take effect after a restart.
    static std::vector<std::string> afterRestart(const std::vector<std::string>& paths);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const AppConfig> current_;
    const AppConfig started_with_;
    std::mutex update_mutex_;
};

}  // namespace kovo::config
