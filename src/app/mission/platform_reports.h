#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "app/mission/mission_context.h"
#include "app/mission/ports.h"
#include "app/mission/record_helpers.h"

namespace kovo::app {

// The three reports to the platform over MQTT: flight history, status
// history and arrive point, each in the common envelope. Each copies the
// mission's identifiers in one section under the mission lock (so a report
// never mixes two missions), then builds and publishes without it; callers
// must not hold it. Nothing is awaited, retried or queued.
class PlatformReports {
public:
    PlatformReports(MissionContext& mission, MqttPort& mqtt, const RecordHelpers& records);

    // uav: the "uav" object of px4ctrl's state.
    void sendPlatformFlightHistory(const nlohmann::json& uav);
    // code: the status text, such as "400".
    void sendPlatformStatusHistory(const std::string& code);
    void sendPlatformArrivePoint();

private:
    // The mission's identifiers; takes the mission lock.
    nlohmann::json missionFields(bool with_mission_id) const;
    nlohmann::json flightHistoryBody(const config::AppConfig& cfg, const nlohmann::json& uav) const;
    void publish(const config::AppConfig& cfg, const std::string& cmd, nlohmann::json parms);

    MissionContext& mission_;
    MqttPort& mqtt_;
    const RecordHelpers& records_;
};

}  // namespace kovo::app
