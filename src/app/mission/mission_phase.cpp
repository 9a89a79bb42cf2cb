#include "app/mission/mission_phase.h"

#include "app/mission/fs_codes.h"
#include "app/mission/json_fields.h"

namespace kovo::app {

namespace {

MissionPhase phase_of(const config::AppConfig::Mission& m, int fs, const std::string& sub, bool was_flying) {
    if (fs == m.fs_takeoff || (fs == m.fs_executing && sub == "takeoff")) {
        return MissionPhase::TAKEOFF;
    }
    if ((fs == m.fs_executing || fs == m.fs_kovo) && (sub == "goto_height" || sub == "hover_photo")) {
        return MissionPhase::EXECUTING;
    }
    if (fs == m.fs_landing || (sub == "land_descend" && fs != m.fs_standby && fs != m.fs_idle)) {
        return MissionPhase::LANDING;
    }
    if ((fs == m.fs_standby || fs == m.fs_idle) && was_flying) {
        return MissionPhase::ENDED;
    }
    if (fs == m.fs_rtl) {
        return MissionPhase::RETURNING;
    }
    return MissionPhase::NONE;
}

bool follows_sub_state(MissionPhase phase) {
    return phase == MissionPhase::TAKEOFF || phase == MissionPhase::EXECUTING;
}

}  // namespace

PhaseStep classify_tick(const config::AppConfig::Mission& codes, const PhaseInput& in) {
    PhaseStep step;
    step.was_flying = in.was_flying || fs_listed(codes.flying_fs_codes, in.fs);
    step.phase = phase_of(codes, in.fs, in.sub_state, step.was_flying);
    const bool sub_changed = in.sub_state != in.prev_sub_state;
    step.entered =
        step.phase != MissionPhase::NONE && (in.fs != in.prev_fs || (follows_sub_state(step.phase) && sub_changed));
    if (step.phase == MissionPhase::TAKEOFF && step.entered) {
        step.was_flying = true;
    }
    step.arrived =
        in.sub_state == "hover_photo" && (in.prev_sub_state != "hover_photo" || in.last_hover_idx != in.hover_idx);
    return step;
}

int hover_index(int height_idx, const nlohmann::json& photos) {
    int idx = height_idx;
    if (idx < 0 && photos.is_array() && !photos.empty()) {
        idx = safe_json_value<int>(photos.front(), "height_idx", 0);
    }
    return idx < 0 ? 0 : idx;
}

}  // namespace kovo::app
