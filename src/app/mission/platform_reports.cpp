#include "app/mission/platform_reports.h"

#include <cmath>
#include <mutex>

#include "app/mission/json_fields.h"
#include "app/mission/records.h"

namespace kovo::app {

using nlohmann::json;

PlatformReports::PlatformReports(MissionContext& mission, MqttPort& mqtt, const RecordHelpers& records)
    : mission_(mission), mqtt_(mqtt), records_(records) {}

json PlatformReports::missionFields(bool with_mission_id) const {
    json parms = json::object();
    std::lock_guard<std::mutex> lock(mission_.mutex);
    parms["carActionId"] = mission_.car_action_id;
    parms["carFlightPointActionId"] = "";
    parms["carFlightPointId"] = mission_.current_point_id;
    parms["carMissionHistoryId"] = mission_.car_flight_mission_history_id;
    if (with_mission_id) {
        parms["carMissionId"] = mission_.car_mission_id;
    }
    parms["carPointId"] = mission_.car_point_id;
    parms["carStrategyId"] = mission_.car_strategy_id;
    return parms;
}

void PlatformReports::publish(const config::AppConfig& cfg, const std::string& cmd, json parms) {
    json envelope = json::object();
    envelope["parms"] = std::move(parms);
    envelope["platformCallModule"] = cfg.platform.call_module;
    envelope["platformCmd"] = cmd;
    envelope["platformCmdID"] = gen_uuid();
    envelope["siteId"] = cfg.platform.site_id;
    // Mission fields come from the car: bad UTF-8 is replaced, never thrown on.
    mqtt_.publishRequest(envelope.dump(-1, ' ', false, json::error_handler_t::replace));
}

void PlatformReports::sendPlatformStatusHistory(const std::string& code) {
    const auto cfg = records_.config();
    json parms = missionFields(true);
    parms["occurrenceTime"] = records_.currentTime();
    parms["uavStatus"] = cfg->platform.uav_status_text;
    parms["uavStatusCode"] = code;
    publish(*cfg, cfg->platform.cmd_status_history, std::move(parms));
}

void PlatformReports::sendPlatformArrivePoint() {
    const auto cfg = records_.config();
    json parms = missionFields(true);
    parms["occurrenceTime"] = records_.currentTime();
    parms["uavArrivePoint"] = cfg->mission.uav_arrive_point_value;
    publish(*cfg, cfg->platform.cmd_arrive_point, std::move(parms));
}

void PlatformReports::sendPlatformFlightHistory(const json& uav) {
    const auto cfg = records_.config();
    publish(*cfg, cfg->platform.cmd_flight_history, flightHistoryBody(*cfg, uav));
}

json PlatformReports::flightHistoryBody(const config::AppConfig& cfg, const json& uav) const {
    const json lpos = safe_json_object(uav, "lpos");
    const json atti = safe_json_object(uav, "atti");
    const json bat = safe_json_object(uav, "bat");
    const auto& d = cfg.uav_defaults;
    const auto& t = cfg.telemetry;
    const int precision = cfg.app.float_precision;
    auto text = [precision](const json& obj, const char* key, const std::string& def) {
        return json_string(obj, key, def, precision);
    };

    json parms = missionFields(false);
    for (const char* empty : {"actionCode",
                              "actionDesc",
                              "actionName",
                              "cameraAperture",
                              "cameraFocusMode",
                              "cameraFocusRingValue",
                              "cameraMode",
                              "cameraModel",
                              "cameraVideoStreamSourceType",
                              "exposureMode",
                              "iso",
                              "laserMeasure",
                              "lens",
                              "memoryCardSpace",
                              "memoryCardSpacePercent",
                              "pictureTotal",
                              "shutterSpeed",
                              "statusName",
                              "statusType",
                              "videoTotal",
                              "zoomRatio"}) {
        parms[empty] = "";
    }
    parms["actionType"] = t.actionType;
    parms["batteryPercent"] = text(bat, "remain", std::to_string(d.battery_remain));
    parms["batteryTemperature"] = t.batteryTemperature;
    parms["batteryVoltage"] = text(bat, "vol", d.battery_vol);

    const json* online = uav.is_object() && uav.contains("online") ? &uav["online"] : nullptr;
    const bool link_up = online != nullptr && online->is_boolean() ? online->get<bool>() : d.online;
    parms["dataLink"] = link_up ? "1" : "0";

    const float vx = json_float(lpos, "vx", d.lpos_vx_f);
    const float vy = json_float(lpos, "vy", d.lpos_vy_f);
    parms["hSpeed"] = float_str(std::hypot(vx, vy), cfg.app.float_precision1);
    // px4ctrl's z axis points down.
    parms["height"] = float_str(-json_float(lpos, "z", d.lpos_z_f), precision);
    parms["imageTransSignal"] = t.imageTransSignal;
    parms["isContinueTakePhoto"] = t.isContinueTakePhoto;
    parms["isDynamicZoom"] = t.isDynamicZoom;
    parms["isIrcutEnable"] = t.isIrcutEnable;
    parms["occurrenceTime"] = records_.currentTime();
    // The flight history takes yaw from atti.r and roll from atti.y.
    parms["ptzPitch"] = text(atti, "p", d.atti_p);
    parms["ptzRoll"] = text(atti, "y", d.atti_y);
    parms["ptzYaw"] = text(atti, "r", d.atti_r);
    parms["remoteControlBattery"] = t.remoteControlBattery;
    parms["remoteControlSignal"] = t.remoteControlSignal;
    parms["remoteControlStatus"] = t.remoteControlStatus;
    parms["uavRoll"] = text(atti, "y", d.atti_y);
    parms["uavX"] = text(lpos, "x", d.lpos_x);
    parms["uavY"] = text(lpos, "y", d.lpos_y);
    parms["uavYaw"] = text(atti, "r", d.atti_r);
    parms["uavZ"] = text(lpos, "z", d.lpos_z);
    parms["vSpeed"] = text(lpos, "vz", d.lpos_vz);
    parms["xSpeed"] = text(lpos, "vx", d.lpos_vx);
    parms["ySpeed"] = text(lpos, "vy", d.lpos_vy);
    parms["zSpeed"] = text(lpos, "vz", d.lpos_vz);
    return parms;
}

}  // namespace kovo::app
