#pragma once

#include <cstdint>
#include <deque>
#include <functional>
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
// summary file lists every photo tried in all its batches, with the counts
// and the photos not uploaded, and MissionContext::photos_uploaded is raised
// when every batch handed over for the mission has been tried. Each form
// names the step where its photo was taken.
class PhotoUploader {
public:
    PhotoUploader(MissionContext& mission, Px4Port& px4, HttpPort& http, Clock& clock, TaskRunner& tasks,
                  const RecordHelpers& records, UploadSpill* spill = nullptr);

    // Queues the items (a JSON array of photo records) for upload. Returns
    // false and starts nothing when there is no item or no URL.
    bool uploadPhotosAsync(const nlohmann::json& items, const std::string& upload_url, const std::string& task_dir,
                           int before_count);
    // Runs job on the worker once every batch queued so far has been tried
    // (at once in the background when none is queued); dropped when the
    // application stops first.
    void afterUploads(std::function<void()> job);

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
        std::map<int, StepPose> arrivals;
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
        std::function<void()> job;  // set: no photos, this runs instead
    };
    // Queues a batch (under mutex_); true when the caller must start the
    // worker, which then runs until the queue is empty.
    bool enqueue(Batch batch);

    MissionSnapshot snapshotMission(int precision) const;  // mission lock held
    StepPose snapshotUav(const config::AppConfig& cfg);
    void worker();
    // False when the application is stopping.
    bool processBatch(const Batch& batch);
    bool processItem(const config::AppConfig& cfg, const Batch& batch, const StepPose& uav, const nlohmann::json& item);
    // Counts and lists the outcome of one photo; reason empty when uploaded.
    void recordOutcome(const Batch& batch, const std::string& camera, int height_idx, const std::string& reason);
    // Downloads a camera picture into a new temporary file; its path, or
    // empty after three failed attempts (nothing left behind). stopped is set
    // when the application is stopping.
    std::string download(const config::AppConfig& cfg, const std::string& url, int height_idx, bool& stopped);
    std::string createTempFile(const config::AppConfig& cfg, int height_idx) const;
    std::map<std::string, std::string> buildForm(const config::AppConfig& cfg, const Batch& batch, const StepPose& uav,
                                                 int height_idx) const;
    void markBatchDone(uint64_t seq);

    MissionContext& mission_;
    Px4Port& px4_;
    HttpPort& http_;
    Clock& clock_;
    TaskRunner& tasks_;
    const RecordHelpers& records_;
    UploadSpill* spill_;

    std::mutex mutex_;  // guards queue_, worker_running_ and the hand-over count; taken before the mission lock
    std::deque<Batch> queue_;
    bool worker_running_ = false;
    // Photos handed over for mission handed_seq_.
    uint64_t handed_seq_ = 0;
    int handed_ = 0;

    // The summary of the mission being uploaded; touched by the one worker.
    uint64_t result_seq_ = 0;
    nlohmann::json result_;
};

}  // namespace kovo::app
