#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

namespace kovo::config {

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
    // record. When a setting was taken over, publishes the copy and saves it
    // to save_path (the save's result is not part of the answer). Returns
    // updateHotConfig's result. Hot updates are serialised among themselves.
    ApplyResult applyHotUpdate(const nlohmann::json& doc, const std::string& save_path);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const AppConfig> current_;
    std::mutex update_mutex_;
};

}  // namespace kovo::config
