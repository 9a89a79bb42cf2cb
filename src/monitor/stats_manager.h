#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "monitor/internal_state.h"

namespace kovo::monitor {

// Counters of one link (car, px4ctrl, MQTT). The time points come from the
// owner's steady clock.
struct ConnectionStats {
    std::atomic<uint64_t> connect_count{0};
    std::atomic<uint64_t> disconnect_count{0};
    std::atomic<uint64_t> total_connected_seconds{0};
    std::chrono::steady_clock::time_point last_connect{};  // epoch: never connected
    std::atomic<bool> currently_connected{false};
    mutable std::mutex mutex;

    void onConnected(std::chrono::steady_clock::time_point now);
    void onDisconnected(std::chrono::steady_clock::time_point now);
    // "connect_count", "disconnect_count", "currently_connected" and
    // "total_connected_seconds" (a live connection counts up to now).
    nlohmann::json toJson(std::chrono::steady_clock::time_point now) const;
};

// The peers whose health the dashboard shows.
enum class Peer { PX4CTRL, CAR, BROKER, PLATFORM, CAMERA };

// One peer's health: up or down since when, and its last failure.
struct PeerHealth {
    bool known = false;  // nothing heard of the peer yet
    bool up = false;
    std::string since;
    std::string last_error;
    std::string last_error_time;
};

struct MissionRecord {
    std::string mission_id;
    std::string strategy_id;
    std::string point_id;
    std::string action_id;
    std::string start_time;
    std::string end_time;
    std::string status;
    int32_t point_count = 0;
    std::string task_dir;
    std::string reason;  // why it failed; empty otherwise
    int32_t photos_listed = 0;
    int32_t photos_uploaded = 0;
    int32_t photos_failed = 0;
};

// Process-wide statistics: link events, missions, the monitor loop's view.
// It never acts on what it is told; it renders it for the web routes.
class StatsManager {
public:
    static StatsManager& instance();

    // Tests build their own instance with clocks they can move. The wall
    // clock gives the local time text of health changes and error records.
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    using WallClock = std::function<std::string()>;
    explicit StatsManager(SteadyClock clock = nullptr, WallClock wall_clock = nullptr);

    // time: the local time text shown as "startup_time" / "shutdown_time".
    void recordStartup(const std::string& time);
    void recordShutdown(const std::string& time);
    void recordVersion(const std::string& version, const std::string& git_hash, const std::string& build_time);
    // shown: the hot settings by the names the page reads ("sio_uri",
    // "px4_port", ...); "config" of the statistics from then on.
    void recordConfig(const nlohmann::json& shown);
    // The "spool" section of the statistics, asked for on each page (never
    // under a lock of ours).
    void setSpoolSource(std::function<nlohmann::json()> source);

    void onSioConnected();
    void onSioDisconnected();
    void onWsConnected();
    void onWsDisconnected();
    void onMqttConnected();
    void onMqttDisconnected();
    // The car link stopped reconnecting after attempts tries: shown as down,
    // with the reason.
    void onSioGaveUp(unsigned attempts);
    // A transfer with the platform (upload) or the camera (download): up when
    // the peer answered; error (when not empty) is its last error.
    void onTransfer(Peer peer, bool answered, const std::string& error);
    // A failure line of the log (the application connects the log sink's
    // observer here); the newest kRecentErrorLimit are kept.
    void onErrorRecord(const std::string& text);

    void onMissionStarted(const std::string& mission_id, const std::string& strategy_id, const std::string& point_id,
                          const std::string& action_id, int point_count, const std::string& task_dir,
                          const std::string& start_time);
    void onMissionSuccess(const std::string& end_time);
    void onMissionFailed(const std::string& reason, const std::string& end_time);
    void onMissionPhotos(int listed, int uploaded, int failed);
    void onStatusTransition(const std::string& from, const std::string& to);

    void updateInternalState(const InternalState& state);

    nlohmann::json getStatsJson() const;
    nlohmann::json getMissionsJson(int limit) const;
    // One page of the history, newest first: {"page", "pages", "total",
    // "missions"}; a page beyond the last is the last.
    nlohmann::json getMissionPage(int page, int per_page) const;
    std::string getDashboardHtml(int page = 1) const;

    // The history keeps the newest records only; the counters keep counting.
    static constexpr size_t kMissionHistoryLimit = 1000;
    static constexpr size_t kRecentErrorLimit = 20;

private:
    std::chrono::steady_clock::time_point now() const;
    // Closes the current record (if any) with status and end time.
    void finishCurrentMission(const char* status, const std::string& reason, const std::string& end_time);
    void setPeer(Peer peer, bool up, const std::string& error);
    static nlohmann::json recordJson(const MissionRecord& r);

    SteadyClock clock_;
    WallClock wall_clock_;

    mutable std::mutex mutex_;  // main lock: taken before any other
    std::string startup_time_;
    std::chrono::steady_clock::time_point startup_instant_{};
    std::string shutdown_time_;
    bool running_ = false;
    ConnectionStats sio_;
    std::string sio_down_reason_;
    ConnectionStats ws_;
    std::atomic<uint64_t> missions_total_{0};
    std::atomic<uint64_t> missions_success_{0};
    std::atomic<uint64_t> missions_failed_{0};
    // A deque keeps references to its other elements valid when the oldest
    // record is dropped, so current_mission_ (always the newest record) stays
    // valid.
    std::deque<MissionRecord> mission_history_;
    MissionRecord* current_mission_ = nullptr;
    std::atomic<uint64_t> status_transitions_{0};

    mutable std::mutex state_mutex_;
    InternalState state_;

    ConnectionStats mqtt_;
    std::string version_;
    std::string git_hash_;
    std::string build_time_;

    mutable std::mutex config_mutex_;
    nlohmann::json config_ = nlohmann::json::object();

    mutable std::mutex health_mutex_;
    std::function<nlohmann::json()> spool_source_;  // guarded by mutex_
    PeerHealth peers_[5];
    std::deque<nlohmann::json> recent_errors_;  // newest first
};

}  // namespace kovo::monitor
