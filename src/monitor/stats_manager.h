#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

// Local wall-clock time now, "%Y-%m-%d %H:%M:%S" (fixed pattern).
std::string current_time_str();
// Whole seconds from a steady-clock instant to steady now.
uint64_t elapsed_seconds(std::chrono::steady_clock::time_point since);

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
};

// Process-wide statistics: link events, missions, the monitor loop's view.
// It never acts on what it is told; it renders it for the web routes.
class StatsManager {
public:
    static StatsManager& instance();

    // Tests build their own instance with a steady clock they can move.
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
    explicit StatsManager(SteadyClock clock = nullptr);

    void recordStartup();
    void recordShutdown();
    void recordVersion(const std::string& version, const std::string& git_hash, const std::string& build_time);
    void recordConfig(const std::string& sio_uri, const std::string& sio_access_key, const std::string& px4_host,
                      int px4_port, const std::string& mqtt_host, int mqtt_port,
                      const std::string& mqtt_request_topic, const std::string& mqtt_response_topic,
                      const std::string& platform_url, const std::string& platform_site_id,
                      const std::string& siyi_ip, int siyi_port, const std::string& siyi_img_dir,
                      bool stats_enabled, int stats_web_port);

    void onSioConnected();
    void onSioDisconnected();
    void onWsConnected();
    void onWsDisconnected();
    void onMqttConnected();
    void onMqttDisconnected();

    void onMissionStarted(const std::string& mission_id, const std::string& strategy_id,
                          const std::string& point_id, const std::string& action_id, int point_count,
                          const std::string& task_dir, const std::string& start_time);
    void onMissionSuccess(const std::string& end_time);
    void onMissionFailed(const std::string& reason, const std::string& end_time);
    void onMissionAborted(const std::string& end_time);
    void onStatusTransition(const std::string& from, const std::string& to);

    void updateInternalState(int fs, const std::string& kovo_sub, int kovo_idx, bool has_task,
                             bool photos_uploaded, bool upload_started, int photo_count,
                             int last_completed_height_idx, const std::string& mission_id,
                             const std::string& strategy_id, float battery_remain, float lpos_z, float lpos_vz);

    nlohmann::json getStatsJson() const;
    nlohmann::json getMissionsJson(int limit) const;
    std::string getDashboardHtml() const;

    // Implementation members are the monitor's own (see the .cpp).
};
