#pragma once

#include <algorithm>
#include <vector>

#include "config/app_config.h"

namespace kovo::app {

// px4ctrl state codes as the mission logic groups them.

inline bool fs_listed(const std::vector<int>& codes, int fs) {
    return std::find(codes.begin(), codes.end(), fs) != codes.end();
}

// px4ctrl runs the mission: take-off, executing, landing or its own mode.
inline bool fs_in_mission(const config::AppConfig::Mission& m, int fs) {
    return fs == m.fs_takeoff || fs == m.fs_executing || fs == m.fs_landing || fs == m.fs_kovo;
}

}  // namespace kovo::app
