#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "app/mission/json_fields.h"
#include "app/mission/mission_context.h"

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

}  // namespace kovo::app
