#include "monitor/stats_manager.h"

#include <algorithm>
#include <ctime>
#include <utility>

#include "monitor/dashboard.h"

namespace kovo::monitor {

using nlohmann::json;
using SteadyTime = std::chrono::steady_clock::time_point;

namespace {

// Whole seconds from since to now, truncated; 0 when now is not later.
uint64_t elapsed_seconds(SteadyTime since, SteadyTime now) {
    if (now <= since) return 0;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now - since).count());
}

bool ever_set(SteadyTime instant) { return instant.time_since_epoch().count() > 0; }

std::string local_time_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    return std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local) > 0 ? text : "";
}

constexpr const char* kPeerNames[] = {"px4ctrl", "car", "broker", "platform", "camera"};

}  // namespace

void ConnectionStats::onConnected(SteadyTime now) {
    std::lock_guard<std::mutex> lock(mutex);
    connect_count++;
    currently_connected = true;
    last_connect = now;
}

void ConnectionStats::onDisconnected(SteadyTime now) {
    std::lock_guard<std::mutex> lock(mutex);
    disconnect_count++;
    currently_connected = false;
    // A disconnection without an earlier connection only counts.
    if (ever_set(last_connect)) total_connected_seconds += elapsed_seconds(last_connect, now);
}

json ConnectionStats::toJson(SteadyTime now) const {
    std::lock_guard<std::mutex> lock(mutex);
    uint64_t total = total_connected_seconds.load();
    const bool connected = currently_connected.load();
    if (connected && ever_set(last_connect)) total += elapsed_seconds(last_connect, now);
    return json{{"connect_count", connect_count.load()},
                {"disconnect_count", disconnect_count.load()},
                {"currently_connected", connected},
                {"total_connected_seconds", total}};
}

StatsManager& StatsManager::instance() {
    static StatsManager stats;
    return stats;
}

StatsManager::StatsManager(SteadyClock clock, WallClock wall_clock)
    : clock_(std::move(clock)), wall_clock_(wall_clock ? std::move(wall_clock) : local_time_now) {}

SteadyTime StatsManager::now() const { return clock_ ? clock_() : std::chrono::steady_clock::now(); }

void StatsManager::recordStartup(const std::string& time) {
    std::lock_guard<std::mutex> lock(mutex_);
    startup_time_ = time;
    startup_instant_ = now();
    running_ = true;
}

void StatsManager::recordShutdown(const std::string& time) {
    std::lock_guard<std::mutex> lock(mutex_);
    shutdown_time_ = time;
    running_ = false;
}

void StatsManager::recordVersion(const std::string& version, const std::string& git_hash,
                                 const std::string& build_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_ = version;
    git_hash_ = git_hash;
    build_time_ = build_time;
}

void StatsManager::recordConfig(const json& shown) {
    std::lock_guard<std::mutex> lock(config_mutex_);
    config_ = shown;
}

void StatsManager::onSioConnected() {
    sio_.onConnected(now());
    setPeer(Peer::CAR, true, "");
}
void StatsManager::onSioDisconnected() {
    sio_.onDisconnected(now());
    setPeer(Peer::CAR, false, "disconnected");
}
void StatsManager::onWsConnected() {
    ws_.onConnected(now());
    setPeer(Peer::PX4CTRL, true, "");
}
void StatsManager::onWsDisconnected() {
    ws_.onDisconnected(now());
    setPeer(Peer::PX4CTRL, false, "disconnected");
}
void StatsManager::onMqttConnected() {
    mqtt_.onConnected(now());
    setPeer(Peer::BROKER, true, "");
}
void StatsManager::onMqttDisconnected() {
    mqtt_.onDisconnected(now());
    setPeer(Peer::BROKER, false, "disconnected");
}
void StatsManager::onSioGaveUp(unsigned attempts) {
    const std::string why = "gave up after " + std::to_string(attempts) + " reconnection attempts";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sio_down_reason_ = why;
    }
    setPeer(Peer::CAR, false, why);
}
void StatsManager::onTransfer(Peer peer, bool answered, const std::string& error) { setPeer(peer, answered, error); }

void StatsManager::setPeer(Peer peer, bool up, const std::string& error) {
    const std::string time = wall_clock_();
    std::lock_guard<std::mutex> lock(health_mutex_);
    PeerHealth& health = peers_[static_cast<int>(peer)];
    if (!health.known || health.up != up) health.since = time;
    health.known = true;
    health.up = up;
    if (!error.empty()) {
        health.last_error = error;
        health.last_error_time = time;
    }
}

void StatsManager::onErrorRecord(const std::string& text) {
    json record{{"time", wall_clock_()}, {"text", text}};
    std::lock_guard<std::mutex> lock(health_mutex_);
    recent_errors_.push_front(std::move(record));
    if (recent_errors_.size() > kRecentErrorLimit) recent_errors_.pop_back();
}

void StatsManager::onMissionStarted(const std::string& mission_id, const std::string& strategy_id,
                                    const std::string& point_id, const std::string& action_id, int point_count,
                                    const std::string& task_dir, const std::string& start_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    missions_total_++;
    MissionRecord record;
    record.mission_id = mission_id;
    record.strategy_id = strategy_id;
    record.point_id = point_id;
    record.action_id = action_id;
    record.start_time = start_time;
    record.status = "running";
    record.point_count = point_count;
    record.task_dir = task_dir;
    mission_history_.push_back(std::move(record));
    current_mission_ = &mission_history_.back();
    // The newest record is the current one, so trimming the front never
    // touches it.
    while (mission_history_.size() > kMissionHistoryLimit)
        mission_history_.pop_front();
}

void StatsManager::finishCurrentMission(const char* status, const std::string& reason, const std::string& end_time) {
    if (current_mission_ != nullptr) {
        current_mission_->status = status;
        current_mission_->reason = reason;
        current_mission_->end_time = end_time;
    }
    current_mission_ = nullptr;
}

void StatsManager::onMissionSuccess(const std::string& end_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    missions_success_++;
    finishCurrentMission("success", "", end_time);
}

void StatsManager::onMissionPhotos(int listed, int uploaded, int failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_mission_ == nullptr) return;
    current_mission_->photos_listed = listed;
    current_mission_->photos_uploaded = uploaded;
    current_mission_->photos_failed = failed;
}

void StatsManager::onMissionFailed(const std::string& reason, const std::string& end_time) {
    std::lock_guard<std::mutex> lock(mutex_);
    missions_failed_++;
    finishCurrentMission("failed", reason, end_time);
}

void StatsManager::onStatusTransition(const std::string& /*from*/, const std::string& /*to*/) { status_transitions_++; }

void StatsManager::updateInternalState(const InternalState& state) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    state_ = state;
}

void StatsManager::setSpoolSource(std::function<json()> source) {
    std::lock_guard<std::mutex> lock(mutex_);
    spool_source_ = std::move(source);
}

json StatsManager::getStatsJson() const {
    std::function<json()> spool_source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        spool_source = spool_source_;
    }
    json out;
    out["spool"] = spool_source ? spool_source() : json::object();
    std::lock_guard<std::mutex> lock(mutex_);
    const SteadyTime at = now();
    out["startup_time"] = startup_time_;
    out["shutdown_time"] = shutdown_time_;
    out["running"] = running_;
    out["uptime_seconds"] = running_ ? elapsed_seconds(startup_instant_, at) : uint64_t{0};
    out["sio"] = sio_.toJson(at);
    out["sio"]["down_reason"] = sio_down_reason_;
    out["websocket"] = ws_.toJson(at);
    out["mqtt"] = mqtt_.toJson(at);
    out["missions"] = json{{"total", missions_total_.load()},
                           {"success", missions_success_.load()},
                           {"failed", missions_failed_.load()},
                           // Kept for the page and its readers: no mission is ever aborted.
                           {"aborted", 0},
                           {"running", current_mission_ != nullptr ? 1 : 0}};
    out["status_transitions"] = status_transitions_.load();
    out["version"] = json{{"version", version_}, {"git_hash", git_hash_}, {"build_time", build_time_}};
    {
        std::lock_guard<std::mutex> config_lock(config_mutex_);
        out["config"] = config_;
    }
    {
        std::lock_guard<std::mutex> health_lock(health_mutex_);
        json& peers = out["peers"];
        for (int i = 0; i < 5; ++i) {
            const PeerHealth& h = peers_[i];
            peers[kPeerNames[i]] = h.known ? json{{"up", h.up},
                                                  {"since", h.since},
                                                  {"last_error", h.last_error},
                                                  {"last_error_time", h.last_error_time}}
                                           : json::object();
        }
        out["recent_errors"] = recent_errors_;
    }
    if (current_mission_ != nullptr) out["current_mission"] = recordJson(*current_mission_);
    {
        std::lock_guard<std::mutex> state_lock(state_mutex_);
        out["internal_state"] = json{{"fs", state_.fs},
                                     {"kovo_sub", state_.kovo_sub},
                                     {"kovo_idx", state_.kovo_idx},
                                     {"has_task", state_.has_task},
                                     {"photos_uploaded", state_.photos_uploaded},
                                     {"upload_started", state_.upload_started},
                                     {"photo_count", state_.photo_count},
                                     {"last_completed_height_idx", state_.last_completed_height_idx},
                                     {"mission_id", state_.mission_id},
                                     {"strategy_id", state_.strategy_id},
                                     {"battery_remain", state_.battery_remain},
                                     {"lpos_z", state_.lpos_z},
                                     {"lpos_vz", state_.lpos_vz}};
    }
    return out;
}

json StatsManager::getMissionsJson(int limit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    json out = json::array();
    if (limit <= 0) return out;
    const size_t count = mission_history_.size();
    const size_t first = static_cast<size_t>(limit) < count ? count - static_cast<size_t>(limit) : 0;
    for (size_t i = first; i < count; ++i)
        out.push_back(recordJson(mission_history_[i]));
    return out;
}

json StatsManager::recordJson(const MissionRecord& r) {
    return json{
        {"mission_id", r.mission_id},
        {"strategy_id", r.strategy_id},
        {"point_id", r.point_id},
        {"action_id", r.action_id},
        {"start_time", r.start_time},
        {"end_time", r.end_time},
        {"status", r.status},
        {"point_count", r.point_count},
        {"task_dir", r.task_dir},
        {"reason", r.reason},
        {"photos", {{"listed", r.photos_listed}, {"uploaded", r.photos_uploaded}, {"failed", r.photos_failed}}}};
}

json StatsManager::getMissionPage(int page, int per_page) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t total = mission_history_.size();
    const size_t size = static_cast<size_t>(per_page > 0 ? per_page : 1);
    const size_t pages = total == 0 ? 1 : (total + size - 1) / size;
    const size_t shown = std::min(static_cast<size_t>(page > 0 ? page : 1), pages);
    json missions = json::array();
    // Newest first: page 1 ends at the back of the history.
    const size_t skip = (shown - 1) * size;
    for (size_t i = skip; i < total && i < skip + size; ++i)
        missions.push_back(recordJson(mission_history_[total - 1 - i]));
    return json{{"page", shown}, {"pages", pages}, {"total", total}, {"missions", std::move(missions)}};
}

std::string StatsManager::getDashboardHtml(int page) const {
    // Each input is taken under the main lock; the page is built without it.
    const json stats = getStatsJson();
    const json missions = getMissionPage(page, kDashboardMissionsPerPage);
    return render_dashboard_html(stats, missions);
}

}  // namespace kovo::monitor
