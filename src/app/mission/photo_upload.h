#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/mission/mission_context.h"
#include "app/mission/ports.h"
#include "app/mission/record_helpers.h"

namespace kovo::app {

// Fetches a mission's photos (camera pictures over HTTP, or files on this
// computer) and uploads each to the mission's upload URL with the mission's
// identifiers and the UAV's position. Batches are handed over by the monitor
// loop and run one after another on one background worker; the mission's
// summary file lists every photo tried in all its batches, and
// MissionContext::photos_uploaded is raised when every batch handed over for
// the mission has been tried.
class PhotoUploader {
public:
    PhotoUploader(MissionContext& mission, Px4Port& px4, HttpPort& http, Clock& clock, TaskRunner& tasks,
                  const RecordHelpers& records);

    // Queues the items (a JSON array of photo records) for upload. Returns
    // false and starts nothing when there is no item or no URL.
    bool uploadPhotosAsync(const nlohmann::json& items, const std::string& upload_url, const std::string& task_dir,
                           int before_count);

    // "http://<siyi.ip>:<siyi.http_port>/photo/<siyi.img_dir>/IMG_0003.jpg"
    std::string buildSiyiUrl(int image_number) const;

private:
    // What the upload form needs of the mission, copied when the batch is
    // handed over so that a later mission never leaks into it.
    struct MissionSnapshot {
        std::string history_id, strategy_id, point_id, action_id;
        std::string current_point_id, warehouse_position_num;
        std::string car_x, car_y, car_yaw;
        std::vector<nlohmann::json> points;
        std::vector<std::string> warehouse_list;
        std::string warehouse_num;
    };
    struct Batch {
        nlohmann::json items;
        std::string upload_url;
        std::string task_dir;
        int before_count = -1;
        uint64_t seq = 0;
        MissionSnapshot mission;
    };
    struct UavSnapshot {
        std::string x, y, z, yaw;
    };

    MissionSnapshot snapshotMission(int precision) const;  // mission lock held
    UavSnapshot snapshotUav(const config::AppConfig& cfg);
    void worker();
    // False when the application is stopping.
    bool processBatch(const Batch& batch);
    bool processItem(const config::AppConfig& cfg, const Batch& batch, const UavSnapshot& uav,
                     const nlohmann::json& item);
    // Downloads a camera picture into a new temporary file; its path, or
    // empty after three failed attempts (nothing left behind). stopped is set
    // when the application is stopping.
    std::string download(const config::AppConfig& cfg, const std::string& url, int height_idx, bool& stopped);
    std::string createTempFile(const config::AppConfig& cfg, int height_idx) const;
    std::map<std::string, std::string> buildForm(const config::AppConfig& cfg, const Batch& batch,
                                                 const UavSnapshot& uav, int height_idx) const;
    void markBatchDone(uint64_t seq);

    MissionContext& mission_;
    Px4Port& px4_;
    HttpPort& http_;
    Clock& clock_;
    TaskRunner& tasks_;
    const RecordHelpers& records_;

    std::mutex mutex_;  // guards queue_ and worker_running_; taken before the mission lock
    std::deque<Batch> queue_;
    bool worker_running_ = false;

    // The summary of the mission being uploaded; touched by the one worker.
    uint64_t result_seq_ = 0;
    nlohmann::json result_;
};

}  // namespace kovo::app
