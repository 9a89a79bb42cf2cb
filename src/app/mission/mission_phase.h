#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

// The phases of a mission as the monitor loop names them, decided from
// px4ctrl's state code (fs), its mission sub-state and what the loop
// remembers of the ticks before. No I/O: the loop acts on the result, so the
// rules are tested without px4ctrl, the platform or files.
namespace kovo::app {

// In rule order: the first phase whose condition holds names the tick.
enum class MissionPhase {
    NONE,       // no rule holds: standing by before take-off, a code not followed
    TAKEOFF,    // fs_takeoff, or fs_executing with sub-state "takeoff"
    EXECUTING,  // fs_executing or fs_kovo with sub-state "goto_height" or "hover_photo"
    LANDING,    // fs_landing, or sub-state "land_descend" outside standby and idle
    ENDED,      // back in standby or idle after flying
    RETURNING,  // fs_rtl
};

// One tick of an active mission.
struct PhaseInput {
    int fs = -1;
    std::string sub_state;
    // The previous tick's state (its sub-state empty on a mission's first
    // tick).
    int prev_fs = -1;
    std::string prev_sub_state;
    // px4ctrl has flown during this mission, before this tick.
    bool was_flying = false;
    // The height step px4ctrl hovers at (hover_index), and the one of the
    // last arrival reported in this mission.
    int hover_idx = 0;
    int last_hover_idx = 0;
};

struct PhaseStep {
    MissionPhase phase = MissionPhase::NONE;
    // The phase's report and record are due. Take-off and executing fire on
    // a change of fs or of the sub-state (each sub-state of a height step is
    // reported); landing, the end and return only on a change of fs.
    bool entered = false;
    // was_flying after this tick: a flying code, or take-off entered.
    bool was_flying = false;
    // px4ctrl hovers for the photo of a height step not reported yet: a new
    // index, or "hover_photo" again after another sub-state.
    bool arrived = false;
};

PhaseStep classify_tick(const config::AppConfig::Mission& codes, const PhaseInput& in);

// The height step of a hover: the state's index; when negative, the first
// listed photo's (0 when it has none); never negative.
int hover_index(int height_idx, const nlohmann::json& photos);

}  // namespace kovo::app
