#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "app/mission/json_fields.h"
#include "app/mission/mission_context.h"
#include "config/app_config.h"

namespace kovo::app {

// A flight point as the reports name it: its "id" and its
// "warehousePositionNum".
struct PointRef {
    std::string id;
    std::string warehouse_position_num;
};

inline PointRef point_ref(const nlohmann::json& point, int precision) {
    return {safe_json_value(point, "id", ""), json_string(point, "warehousePositionNum", "", precision)};
}

// The point of the last reported arrival; while none has been reported, the
// mission's first point. Mission lock held.
inline PointRef current_point(const MissionContext& m, int precision) {
    if (m.current_point_id.empty() && !m.car_flight_point_list.empty()) {
        return point_ref(m.car_flight_point_list.front(), precision);
    }
    return {m.current_point_id, m.warehouse_position_num};
}

// The pose of px4ctrl's "uav" object as the photo form carries it, the
// configured defaults standing in for what it lacks.
inline StepPose uav_pose(const nlohmann::json& uav, const config::AppConfig& cfg, std::string time) {
    const nlohmann::json lpos = safe_json_object(uav, "lpos");
    const nlohmann::json atti = safe_json_object(uav, "atti");
    const auto& d = cfg.uav_defaults;
    const int precision = cfg.app.float_precision;
    return {json_string(lpos, "x", d.lpos_x, precision), json_string(lpos, "y", d.lpos_y, precision),
            json_string(lpos, "z", d.lpos_z, precision), json_string(atti, "y", d.atti_y, precision), std::move(time)};
}

}  // namespace kovo::app
