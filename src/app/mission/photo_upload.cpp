#include "app/mission/photo_upload.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "app/mission/json_fields.h"
#include "app/mission/mission_point.h"
#include "log/log.h"

namespace kovo::app {

using nlohmann::json;

namespace {

constexpr int kAttempts = 3;
constexpr std::chrono::seconds kRetryPause{1};

}  // namespace

PhotoUploader::PhotoUploader(MissionContext& mission, Px4Port& px4, HttpPort& http, Clock& clock, TaskRunner& tasks,
                             const RecordHelpers& records, UploadSpill* spill)
    : mission_(mission), px4_(px4), http_(http), clock_(clock), tasks_(tasks), records_(records), spill_(spill) {}

std::string PhotoUploader::buildSiyiUrl(int image_number) const {
    const auto cfg = records_.config();
    char url[1024];
    std::snprintf(url, sizeof(url), "http://%s:%d/photo/%s/IMG_%04d.jpg", cfg->siyi.ip.c_str(), cfg->siyi.http_port,
                  cfg->siyi.img_dir.c_str(), image_number);
    return url;
}

PhotoUploader::MissionSnapshot PhotoUploader::snapshotMission(int precision) const {
    MissionSnapshot s;
    s.history_id = mission_.car_flight_mission_history_id;
    s.strategy_id = mission_.car_strategy_id;
    s.point_id = mission_.car_point_id;
    s.action_id = mission_.car_action_id;
    const PointRef point = current_point(mission_, precision);
    s.current_point_id = point.id;
    s.warehouse_position_num = point.warehouse_position_num;
    s.car_x = mission_.car_x;
    s.car_y = mission_.car_y;
    s.car_yaw = mission_.car_yaw;
    s.points = mission_.car_flight_point_list;
    s.arrivals = mission_.arrivals;
    s.warehouse_list = mission_.warehouse_num_list;
    s.warehouse_num = mission_.warehouse_num;
    return s;
}

bool PhotoUploader::uploadPhotosAsync(const json& items, const std::string& upload_url, const std::string& task_dir,
                                      int before_count) {
    if (items.empty() || !(items.is_array() || items.is_object()) || upload_url.empty()) {
        return false;
    }
    Batch batch;
    batch.items = items;
    batch.upload_url = upload_url;
    batch.task_dir = task_dir;
    batch.before_count = before_count;
    const int precision = records_.config()->app.float_precision;
    bool start_worker = false;
    {
        // Queue and flag change together (under the uploader's lock, which
        // the worker also holds when it raises the flag), so the flag never
        // claims a batch done that is still waiting.
        std::lock_guard<std::mutex> lock(mutex_);
        {
            std::lock_guard<std::mutex> mission_lock(mission_.mutex);
            batch.seq = mission_.mission_seq;
            batch.mission = snapshotMission(precision);
            mission_.photos_uploaded = false;
        }
        if (batch.seq != handed_seq_) {
            handed_seq_ = batch.seq;
            handed_ = 0;
        }
        handed_ += static_cast<int>(batch.items.size());
        start_worker = enqueue(std::move(batch));
    }
    if (start_worker) {
        tasks_.run([this] { worker(); });
    }
    return true;
}

bool PhotoUploader::enqueue(Batch batch) {
    queue_.push_back(std::move(batch));
    if (worker_running_) {
        return false;
    }
    worker_running_ = true;
    return true;
}

void PhotoUploader::afterUploads(std::function<void()> job) {
    bool start_worker = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Batch batch;
        batch.job = std::move(job);
        start_worker = enqueue(std::move(batch));
    }
    if (start_worker) {
        tasks_.run([this] { worker(); });
    }
}

void PhotoUploader::worker() {
    for (;;) {
        Batch batch;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) {
                worker_running_ = false;
                return;
            }
            batch = std::move(queue_.front());
            queue_.pop_front();
        }
        if (batch.job) {
            batch.job();
            continue;
        }
        if (!processBatch(batch)) {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.clear();
            worker_running_ = false;
            return;
        }
        markBatchDone(batch.seq);
    }
}

void PhotoUploader::markBatchDone(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool more =
        std::any_of(queue_.begin(), queue_.end(), [seq](const Batch& b) { return !b.job && b.seq == seq; });
    if (more) {
        return;
    }
    std::lock_guard<std::mutex> mission_lock(mission_.mutex);
    if (mission_.mission_seq == seq) {
        mission_.photos_uploaded = true;
    }
}

StepPose PhotoUploader::snapshotUav(const config::AppConfig& cfg) {
    return uav_pose(safe_json_object(px4_.getState(), "uav"), cfg, "");
}

bool PhotoUploader::processBatch(const Batch& batch) {
    const auto cfg = records_.config();
    if (batch.seq != result_seq_ || result_.is_null()) {
        result_seq_ = batch.seq;
        result_ = {{"time", records_.currentTime()},
                   {"upload_url", batch.upload_url},
                   {"items", json::array()},
                   {"uploaded", 0},
                   {"failed", 0},
                   {"not_uploaded", json::array()}};
    }
    const StepPose uav = snapshotUav(*cfg);
    for (const json& item : batch.items) {
        if (!processItem(*cfg, batch, uav, item)) {
            return false;
        }
    }
    if (!batch.task_dir.empty()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            result_["listed"] = handed_seq_ == batch.seq ? handed_ : 0;
        }
        records_.writeJsonFile(batch.task_dir + "/" + cfg->files.upload_result, result_);
    }
    return true;
}

void PhotoUploader::recordOutcome(const Batch& batch, const std::string& camera, int height_idx,
                                  const std::string& reason) {
    const bool uploaded = reason.empty();
    result_[uploaded ? "uploaded" : "failed"] = result_[uploaded ? "uploaded" : "failed"].get<int>() + 1;
    if (!uploaded) {
        result_["not_uploaded"].push_back({{"camera", camera}, {"height_idx", height_idx}, {"reason", reason}});
    }
    std::lock_guard<std::mutex> lock(mission_.mutex);
    if (mission_.mission_seq == batch.seq) {
        ++(uploaded ? mission_.photos_ok : mission_.photos_failed);
    }
}

bool PhotoUploader::processItem(const config::AppConfig& cfg, const Batch& batch, const StepPose& uav,
                                const json& item) {
    const auto& m = cfg.mission;
    const std::string local_path = safe_json_value(item, "local_path", "");
    std::string siyi_url = safe_json_value(item, "siyi_url", "");
    const std::string camera = safe_json_value<std::string>(item, "camera", m.default_camera);
    const int height_idx = safe_json_value<int>(item, "height_idx", m.default_height_idx);
    // An item that could not be fetched is recorded and skipped.
    auto record_failure = [&](const char* error) {
        recordOutcome(batch, camera, height_idx, error);
        records_.clientLog(batch.task_dir, "upload",
                           {{"height_idx", height_idx}, {"success", false}, {"error", error}});
        return true;
    };

    std::string file;
    bool temporary = false;
    if (camera == m.siyi_camera_type) {
        if (siyi_url.empty()) {
            const int image = batch.before_count >= 0 ? height_idx + batch.before_count + 1 : height_idx + 1;
            siyi_url = buildSiyiUrl(image);
            kovo::log::info() << "[UPLOAD] Auto build siyi url image_id=" << image
                              << " (beforecount=" << batch.before_count << " hidx=" << height_idx << ") -> "
                              << siyi_url;
        }
        bool stopped = false;
        file = download(cfg, siyi_url, height_idx, stopped);
        if (file.empty() && spill_ != nullptr) {
            // The picture is still on the camera: fetched and sent later.
            spill_->spool(SpooledUpload{batch.upload_url, "", siyi_url, buildForm(cfg, batch, uav, height_idx), "",
                                        batch.mission.history_id});
        }
        if (stopped) {
            return false;
        }
        if (file.empty()) {
            return record_failure("download_failed");
        }
        temporary = true;
    } else if (local_path.empty() || ::access(local_path.c_str(), R_OK) != 0) {
        return record_failure("no_file");
    } else {
        file = local_path;
    }

    const auto form = buildForm(cfg, batch, uav, height_idx);
    std::string response;
    bool uploaded = false;
    bool stopped = false;
    for (int attempt = 1; attempt <= kAttempts && !uploaded && !stopped; ++attempt) {
        response.clear();
        long status = 0;
        uploaded = http_.postFile(batch.upload_url, file, form, "", &response, &status) && http_success(status);
        if (!uploaded) {
            kovo::log::error() << "[UPLOAD] Upload retry " << attempt << "/" << kAttempts
                               << " failed for idx=" << height_idx;
            stopped = !clock_.sleepFor(kRetryPause);
        }
    }
    if (uploaded) {
        kovo::log::info() << "[UPLOAD] Uploaded photo idx=" << height_idx << " resp=" << response;
    } else if (!stopped) {
        kovo::log::error() << "[UPLOAD] Failed to upload photo idx=" << height_idx << " after " << kAttempts
                           << " retries";
    }
    if (!uploaded && spill_ != nullptr) {
        spill_->spool(SpooledUpload{batch.upload_url, file, "", form, "", batch.mission.history_id});
    }
    if (temporary) {
        ::unlink(file.c_str());
    }
    if (stopped) {
        return false;
    }
    result_["items"].push_back(
        {{"camera", camera}, {"height_idx", height_idx}, {"resp", uploaded ? response : ""}, {"success", uploaded}});
    recordOutcome(batch, camera, height_idx, uploaded ? "" : "upload_failed");
    records_.clientLog(batch.task_dir, "upload", {{"height_idx", height_idx}, {"success", uploaded}});
    return true;
}

std::string PhotoUploader::createTempFile(const config::AppConfig& cfg, int height_idx) const {
    const auto& m = cfg.mission;
    const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(clock_.now().time_since_epoch()).count();
    // Created exclusively and never through a link planted under the name;
    // on a clash the next nanosecond is tried.
    for (long long n = ns; n < ns + 100; ++n) {
        const std::string path =
            m.temp_file_prefix + std::to_string(height_idx) + "_" + std::to_string(n) + m.temp_file_extension;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return "";
}

std::string PhotoUploader::download(const config::AppConfig& cfg, const std::string& url, int height_idx,
                                    bool& stopped) {
    const std::string path = createTempFile(cfg, height_idx);
    if (path.empty()) {
        kovo::log::error() << "[UPLOAD] Cannot create a temporary file for: " << url;
        return "";
    }
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        long status = 0;
        // A camera error page is not a picture.
        if (http_.downloadFile(url, path, &status) && http_success(status)) {
            kovo::log::info() << "[UPLOAD] Downloaded siyi photo: " << url << " -> " << path;
            return path;
        }
        kovo::log::error() << "[UPLOAD] Download retry " << attempt << "/" << kAttempts << " failed for: " << url;
        if (!clock_.sleepFor(kRetryPause)) {
            stopped = true;
            break;
        }
    }
    ::unlink(path.c_str());
    if (!stopped) {
        kovo::log::error() << "[UPLOAD] Failed to download siyi photo after " << kAttempts << " retries: " << url;
    }
    return "";
}

std::map<std::string, std::string> PhotoUploader::buildForm(const config::AppConfig& cfg, const Batch& batch,
                                                            const StepPose& now, int height_idx) const {
    const MissionSnapshot& s = batch.mission;
    // The step where the photo was taken: its point, and the pose and time
    // when the arrival there was seen; otherwise the last point and now.
    PointRef point{s.current_point_id, s.warehouse_position_num};
    if (height_idx >= 0 && static_cast<size_t>(height_idx) < s.points.size()) {
        point = point_ref(s.points[static_cast<size_t>(height_idx)], cfg.app.float_precision);
    }
    const auto arrival = s.arrivals.find(height_idx);
    const bool arrived = arrival != s.arrivals.end();
    const StepPose& uav = arrived ? arrival->second : now;
    const std::string& default_height = cfg.mission.defaults.takeOffAltitude;
    std::string height = default_height;
    if (height_idx >= 0 && static_cast<size_t>(height_idx) < s.points.size()) {
        height = records_.jsonString(s.points[static_cast<size_t>(height_idx)], "z", default_height);
    }
    std::string warehouse = s.warehouse_num;
    if (!s.warehouse_list.empty()) {
        const size_t i = static_cast<size_t>(std::max(height_idx, 0));
        warehouse = i < s.warehouse_list.size() ? s.warehouse_list[i] : s.warehouse_list.front();
    }
    return {
        {"carActionId", s.action_id},
        {"carFlightPointActionId", ""},
        {"carFlightPointId", point.id},
        {"carMissionHistoryId", s.history_id},
        {"carPointId", s.point_id},
        {"carStrategyId", s.strategy_id},
        {"carX", s.car_x},
        {"carY", s.car_y},
        {"carYaw", s.car_yaw},
        {"height", height},
        {"occurrenceTime", arrived ? uav.time : records_.currentTime()},
        {"uavX", uav.x},
        {"uavY", uav.y},
        {"uavYaw", uav.yaw},
        {"uavZ", uav.z},
        {"warehouseNum", warehouse},
        {"warehousePositionNum", point.warehouse_position_num},
    };
}

}  // namespace kovo::app
