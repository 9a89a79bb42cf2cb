#include "config/shared_config.h"

namespace kovo::config {

SharedConfig::SharedConfig(const AppConfig& initial) : current_(std::make_shared<const AppConfig>(initial)) {}

std::shared_ptr<const AppConfig> SharedConfig::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

ApplyResult SharedConfig::applyHotUpdate(const nlohmann::json& doc, const std::string& save_path) {
    std::lock_guard<std::mutex> update_lock(update_mutex_);
    auto next = std::make_shared<AppConfig>(*snapshot());
    ApplyResult result = next->updateHotConfig(doc);
    if (result.accepted.empty()) return result;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = next;
    }
    next->save(save_path);
    return result;
}

}  // namespace kovo::config
