#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/mission/mission_context.h"
#include "app/mission/platform_reports.h"
#include "app/mission/ports.h"
#include "app/mission/record_helpers.h"

namespace kovo::app {

// Accepts a mission from the car when none is active, fills the mission
// record, builds px4ctrl's command and starts the delayed start sequence,
// which brings px4ctrl from standby into the mission with bounded retries.
class MissionIntake {
public:
    MissionIntake(MissionContext& mission, Px4Port& px4, StatsPort& stats, Clock& clock, TaskRunner& tasks,
                  PlatformReports& reports, const RecordHelpers& records);

    // Car link thread.
    void onCarMission(const nlohmann::json& payload);

private:
    // What the statistics, the log and the start sequence take from an
    // accepted mission.
    struct Accepted {
        uint64_t seq = 0;
        std::string cmd;
        std::string history_id, strategy_id, point_id, action_id;
        int points = 0;
    };
    enum class Attempt { DONE, RETRY };

    // One section under the mission lock: claims the record and fills it;
    // nothing when a mission is active.
    std::optional<Accepted> accept(const config::AppConfig& cfg, const nlohmann::json& payload);
    // Fills the record from the payload; mission lock held.
    void fillMission(const config::AppConfig& cfg, const nlohmann::json& payload);
    // "kovo 1.5,3,2.25": the prefix and the heights of the points; mission
    // lock held.
    std::string buildCommand(const config::AppConfig& cfg) const;
    void startSequence(const std::string& cmd, uint64_t seq);
    // DONE when px4ctrl is in the mission or the application is stopping.
    Attempt tryStart(const config::AppConfig& cfg, const std::string& cmd, int attempt);
    int readFs(const config::AppConfig& cfg);
    // seq is still the active mission.
    bool isCurrent(uint64_t seq);
    // The monitor loop has seen px4ctrl fly the active mission.
    bool flightSeen();
    void giveUp(int retries, uint64_t seq);

    MissionContext& mission_;
    Px4Port& px4_;
    StatsPort& stats_;
    Clock& clock_;
    TaskRunner& tasks_;
    PlatformReports& reports_;
    const RecordHelpers& records_;
};

}  // namespace kovo::app
