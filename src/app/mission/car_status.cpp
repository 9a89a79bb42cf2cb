#include "app/mission/car_status.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "app/mission/fs_codes.h"
#include "app/mission/json_fields.h"
#include "app/mission/mission_point.h"
#include "app/mission/mission_status.h"

namespace kovo::app {

using nlohmann::json;

namespace {

// Truncation toward zero; values that no int can hold (inf, nan, huge texts
// from a peer) are clamped instead of being undefined.
int truncate_to_int(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    if (value >= static_cast<float>(std::numeric_limits<int>::max())) {
        return std::numeric_limits<int>::max();
    }
    if (value <= static_cast<float>(std::numeric_limits<int>::min())) {
        return std::numeric_limits<int>::min();
    }
    return static_cast<int>(value);
}

}  // namespace

struct CarStatusReporter::Selected {
    std::string strategy_id;
    std::string point_id;
    std::string action_id;
    std::string history_id;
    PointRef current_point;
    std::pair<std::string, std::string> warehouse;
};

CarStatusReporter::CarStatusReporter(MissionContext& mission, CarPort& car, const RecordHelpers& records)
    : mission_(mission), car_(car), records_(records) {}

std::string CarStatusReporter::missionStatusCode(const config::AppConfig& cfg, const Tick& tick) {
    const auto& m = cfg.mission;
    SocketIOMissionStatus status = SocketIOMissionStatus::WAITING;
    if (!tick.active) {
        status = SocketIOMissionStatus::NO_MISSION;
    } else if (tick.finished) {
        status = SocketIOMissionStatus::COMPLETED;
    } else if (fs_in_mission(m, tick.fs)) {
        status = SocketIOMissionStatus::FLYING;
    } else if (tick.fs == m.fs_rtl) {
        status = SocketIOMissionStatus::RETURNING;
    }
    return std::to_string(socketio_status_code(status));
}

CarStatusReporter::Selected CarStatusReporter::select(const config::AppConfig& cfg, const Tick& tick) {
    Selected sel;
    std::string warehouse;
    const int precision = cfg.app.float_precision;
    {
        std::lock_guard<std::mutex> lock(mission_.mutex);
        sel.current_point = {mission_.current_point_id, mission_.warehouse_position_num};
        if (tick.active) {
            sel.strategy_id = mission_.car_strategy_id;
            sel.point_id = mission_.car_point_id;
            sel.action_id = mission_.car_action_id;
            sel.history_id = mission_.car_flight_mission_history_id;
            sel.current_point = current_point(mission_, precision);
            const size_t i = static_cast<size_t>(std::max(tick.height_idx, 0));
            warehouse =
                i < mission_.warehouse_num_list.size() ? mission_.warehouse_num_list[i] : mission_.warehouse_num;
        }
    }
    sel.warehouse = parse_warehouse_num(json(warehouse));
    return sel;
}

json CarStatusReporter::realtimeStatus(const config::AppConfig& cfg, const Tick& tick, const Selected& sel,
                                       const std::string& code) const {
    const json lpos = safe_json_object(tick.uav, "lpos");
    const json atti = safe_json_object(tick.uav, "atti");
    const json bat = safe_json_object(tick.uav, "bat");
    const auto& d = cfg.uav_defaults;
    const auto& t = cfg.telemetry;
    const auto f2 = [&cfg](float v) { return float_str(v, cfg.app.float_precision); };

    json s = json::object();
    // Read on each message, so that a hot update is used from the next one.
    s["accessKey"] = records_.config()->socketio.access_key;
    s["occurrenceTime"] = records_.currentTime();
    s["isUavOn"] = "1";
    s["upLink"] = t.upLink;
    s["downLink"] = t.downLink;
    s["batteryPercent"] =
        std::to_string(truncate_to_int(json_float(bat, "remain", static_cast<float>(d.battery_remain))));
    s["batteryTemperature"] = t.batteryTemperature;
    s["batteryVoltage"] = float_str(json_float(bat, "vol", d.battery_vol_f), cfg.app.float_precision1);
    s["gimbalPitch"] = t.gimbalPitch;
    s["gimbalRoll"] = t.gimbalRoll;
    s["gimbalYaw"] = t.gimbalYaw;
    // px4ctrl's z axis points down.
    s["altitude"] = f2(-json_float(lpos, "z", d.lpos_z_f));
    s["verticalSpeed"] = f2(json_float(lpos, "vz", d.lpos_vz_f));
    s["horizontalXSpeed"] = f2(json_float(lpos, "vx", d.lpos_vx_f));
    s["horizontalYSpeed"] = f2(json_float(lpos, "vy", d.lpos_vy_f));
    s["pitch"] = f2(json_float(atti, "p", d.atti_p_f));
    s["roll"] = f2(json_float(atti, "r", d.atti_r_f));
    s["yaw"] = f2(json_float(atti, "y", d.atti_y_f));
    s["carStrategyId"] = sel.strategy_id;
    s["carPointId"] = sel.point_id;
    s["carFlightMissionHistoryId"] = sel.history_id;
    s["currentPointId"] = sel.current_point.id;
    s["missionStatus"] = code;
    s["warehouseNum"] = sel.warehouse.first;
    s["warehouseCount"] = sel.warehouse.second;
    s["warehousePositionNum"] = sel.current_point.warehouse_position_num;
    s["diagnostics"] = json::array();
    s["can_reboot_uav"] = fs_listed(cfg.mission.reboot_allowed_fs_codes, tick.fs) ? "1" : "0";
    return s;
}

void CarStatusReporter::report(const Tick& tick) {
    const auto cfg = records_.config();
    const std::string code = missionStatusCode(*cfg, tick);
    const Selected sel = select(*cfg, tick);
    car_.sendRealtimeStatus(realtimeStatus(*cfg, tick, sel, code));

    if (!tick.active || code == last_mission_status_) {
        return;
    }
    json s = json::object();
    // Read on each message, so that a hot update is used from the next one.
    s["accessKey"] = records_.config()->socketio.access_key;
    s["occurrenceTime"] = records_.currentTime();
    s["carStrategyId"] = sel.strategy_id;
    s["carPointId"] = sel.point_id;
    s["carActionId"] = sel.action_id;
    s["carFlightMissionHistoryId"] = sel.history_id;
    s["warehouseNum"] = sel.warehouse.first;
    s["warehouseCount"] = sel.warehouse.second;
    s["missionStatus"] = code;
    car_.sendMissionStatus(s);
    last_mission_status_ = code;
}

}  // namespace kovo::app
