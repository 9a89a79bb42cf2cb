#pragma once

#include <string>

namespace kovo::monitor {

// The monitor loop's view of one tick, as the statistics show it under
// "internal_state".
struct InternalState {
    int fs = -1;
    std::string kovo_sub;
    int kovo_idx = -1;
    bool has_task = false;
    bool photos_uploaded = false;
    bool upload_started = false;
    int photo_count = 0;
    int last_completed_height_idx = -1;
    std::string mission_id;
    std::string strategy_id;
    float battery_remain = 0.0f;
    float lpos_z = 0.0f;
    float lpos_vz = 0.0f;
};

}  // namespace kovo::monitor
