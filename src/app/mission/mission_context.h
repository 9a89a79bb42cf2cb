#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kovo::app {

// The UAV's position, yaw and the time, as the photo form carries them.
struct StepPose {
    std::string x, y, z, yaw;
    std::string time;
};

// The one mission record. Every field is guarded by mutex, which is held only
// for short copy and update sections: nothing that blocks (a file write, a
// report, a send, the statistics, a log line) and no other lock is taken
// under it. The photo uploader's queue lock is the one lock held while it is
// taken (docs/threads.md).
struct MissionContext {
    std::mutex mutex;

    bool has_task = false;
    // Counts accepted missions; work started for one mission (its start
    // sequence, its photo uploads) checks it before touching the record, so a
    // late finisher never changes the next mission.
    uint64_t mission_seq = 0;

    std::string car_x;
    std::string car_y;
    std::string car_yaw;
    std::string car_strategy_id;
    std::string car_point_id;
    std::string car_action_id;
    std::string car_flight_mission_history_id;
    std::string car_mission_id;
    std::string warehouse_num;
    std::string warehouse_count;
    std::vector<std::string> warehouse_num_list;
    std::string battery_limit;
    std::string upload_media_data_url;
    std::string is_before_takeoff_photo;
    nlohmann::json before_takeoff_photo_config;
    std::vector<nlohmann::json> car_flight_point_list;

    // Point of the last reported arrival; kept across missions until the next
    // arrival.
    std::string current_point_id;
    std::string warehouse_position_num;

    // The pose and time when the arrival at each height step was reported,
    // by height index: each photo is filed under its own step.
    std::map<int, StepPose> arrivals;

    // Every photo handed to the uploader for this mission has been tried.
    bool photos_uploaded = false;
    // This mission's photos uploaded, and given up on, so far.
    int photos_ok = 0;
    int photos_failed = 0;
    std::string task_dir;
    bool car_mission_written = false;
    // The monitor loop has seen px4ctrl fly this mission: the start sequence
    // never sends it again, even when px4ctrl is back in standby (landed, or
    // restarted) by the time it checks.
    bool flight_seen = false;
};

}  // namespace kovo::app
