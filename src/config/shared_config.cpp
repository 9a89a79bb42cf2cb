#include "config/shared_config.h"

#include <algorithm>

#include "config/settings.h"

namespace kovo::config {

namespace {

const Setting* setting_at(const std::string& path) {
    for (const Setting& s : settings()) {
        if (s.path() == path) return &s;
    }
    return nullptr;
}

}  // namespace

SharedConfig::SharedConfig(const AppConfig& initial)
    : current_(std::make_shared<const AppConfig>(initial)), started_with_(initial) {}

std::shared_ptr<const AppConfig> SharedConfig::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

HotUpdate SharedConfig::applyHotUpdate(const nlohmann::json& doc, const std::string& save_path) {
    std::lock_guard<std::mutex> update_lock(update_mutex_);
    const std::shared_ptr<const AppConfig> before = snapshot();
    auto next = std::make_shared<AppConfig>(*before);
    ApplyResult result = next->updateHotConfig(doc);
    HotUpdate update{std::move(result.accepted), std::move(result.refused), "", {}, false};
    if (update.accepted.empty() || !update.refused.empty()) return update;
    // In the table's order, whatever the document's.
    for (const Setting& s : settings()) {
        const bool accepted =
            std::find(update.accepted.begin(), update.accepted.end(), s.path()) != update.accepted.end();
        if (accepted && s.valueIn(*next) != s.valueIn(*before)) update.changed.push_back(s.path());
    }
    if (!update.changed.empty() && !next->save(save_path, &update.save_error)) return update;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = next;
    }
    update.applied = true;
    return update;
}

std::vector<std::string> SharedConfig::restartPending() const {
    const std::shared_ptr<const AppConfig> now = snapshot();
    std::vector<std::string> pending;
    for (const Setting& s : settings()) {
        if (s.hot() && s.rule.effect == Effect::AFTER_RESTART && s.valueIn(*now) != s.valueIn(started_with_)) {
            pending.push_back(s.path());
        }
    }
    return pending;
}

std::vector<std::string> SharedConfig::afterRestart(const std::vector<std::string>& paths) {
    std::vector<std::string> out;
    for (const std::string& path : paths) {
        const Setting* s = setting_at(path);
        if (s != nullptr && s->rule.effect == Effect::AFTER_RESTART) out.push_back(path);
    }
    return out;
}

}  // namespace kovo::config
