#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "app/mission/mission_context.h"
#include "app/mission/ports.h"
#include "app/mission/record_helpers.h"

namespace kovo::app {

// What the monitor loop tells the car on each tick with a px4ctrl state: the
// realtime status every tick, and during a mission the mission status
// whenever its code changes.
class CarStatusReporter {
public:
    struct Tick {
        int fs = -1;
        int height_idx = -1;
        nlohmann::json uav = nlohmann::json::object();
        bool active = false;
        // The mission end sequence ran in this tick.
        bool finished = false;
    };

    CarStatusReporter(MissionContext& mission, CarPort& car, const RecordHelpers& records);

    // Runs on the monitor thread only; takes the mission lock itself.
    void report(const Tick& tick);

    // The "missionStatus" text of a tick ("0", "1", "4", "6", "12").
    static std::string missionStatusCode(const config::AppConfig& cfg, const Tick& tick);

private:
    struct Selected;
    // Copies what the messages need of the mission in one section under the
    // mission lock.
    Selected select(const config::AppConfig& cfg, const Tick& tick);
    nlohmann::json realtimeStatus(const config::AppConfig& cfg, const Tick& tick, const Selected& sel,
                                  const std::string& code) const;

    MissionContext& mission_;
    CarPort& car_;
    const RecordHelpers& records_;
    // Never reset: a change during a car link outage is not sent again.
    std::string last_mission_status_;
};

}  // namespace kovo::app
