#include "app/mission/mission_monitor.h"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "app/mission/json_fields.h"
#include "app/mission/mission_point.h"
#include "app/mission/mission_status.h"
#include "log/log.h"

namespace kovo::app {

using nlohmann::json;

namespace {

// How long the end of a mission waits for its photos at most.
constexpr int kPhotoWaitSeconds = 60;
// Ticks without growth of the photo list before it is handed over.
constexpr int kStableTicks = 3;

}  // namespace

MissionMonitor::MissionMonitor(MissionContext& mission, Px4Port& px4, StatsPort& stats, Clock& clock,
                               PlatformReports& reports, CarStatusReporter& car_status, PhotoUploader& photos,
                               LogUploader& logs, const RecordHelpers& records)
    : mission_(mission),
      px4_(px4),
      stats_(stats),
      clock_(clock),
      reports_(reports),
      car_status_(car_status),
      photos_(photos),
      logs_(logs),
      records_(records),
      last_hover_idx_(records.config()->mission.last_kovo_idx_sentinel) {}

bool MissionMonitor::linkUp() {
    const bool up = px4_.isConnected() && px4_.isLogined();
    const uint64_t logins = px4_.loginCount();
    if (was_flying_ && (!up || logins != logins_)) {
        link_lost_ = true;
    }
    logins_ = logins;
    return up;
}

void MissionMonitor::tick() {
    if (!linkUp()) {
        return;
    }
    const json state = px4_.getState();
    if (state.is_null()) {
        return;
    }
    TickView t = readState(state, records_.config());
    const std::optional<json> copy = readMission(t, safe_json_value(t.kovo, "task_dir", ""));
    // A mission accepted between two ticks (even right after the previous
    // one ended) starts with fresh per-mission state.
    if (t.active && t.seq != seen_seq_) {
        startOfMission(t.seq);
    }
    if (copy) {
        records_.writeJsonFile(t.task_dir + "/" + t.cfg->files.car_mission, *copy);
        records_.clientLog(t.task_dir, "client_start", {{"task_dir", t.task_dir}});
    }
    if (t.active) {
        kovo::log::info() << "[PX4-STATE] fs=" << t.fs << " kovo_sub=" << t.sub_state << " kovo_idx=" << t.height_idx
                          << " photos=" << photoCount(t);
    }
    if (t.active) {
        t.photos = keepListed(t.photos);
    }
    checkPhotos(t);
    const bool finished = t.active && followMission(t);
    everyTick(t, finished);
}

MissionMonitor::TickView MissionMonitor::readState(const json& state, std::shared_ptr<const config::AppConfig> cfg) {
    TickView t;
    const auto& m = cfg->mission;
    t.fs = safe_json_value<int>(state, "fs", m.default_fs_value);
    t.uav = safe_json_object(state, "uav");
    t.kovo = safe_json_object(state, "kovo");
    t.sub_state = safe_json_value(t.kovo, "sub_state", "");
    t.height_idx = safe_json_value<int>(t.kovo, "height_idx", m.default_height_idx);
    t.photos = safe_json_array(t.kovo, "photos");
    t.cfg = std::move(cfg);
    return t;
}

int MissionMonitor::photoCount(const TickView& t) const { return static_cast<int>(t.photos.size()); }

json MissionMonitor::keepListed(const json& photos) {
    // px4ctrl's list only grows while it runs; one that restarts lists its
    // photos anew (often none, or the old ones again). Those listed before
    // stay owed, so the mission's list only grows, and a re-listed photo is
    // not owed twice.
    const bool relisted = photos.size() < px4_listed_;
    for (size_t i = relisted ? 0 : px4_listed_; i < photos.size(); ++i) {
        if (!relisted || std::find(listed_.begin(), listed_.end(), photos[i]) == listed_.end()) {
            listed_.push_back(photos[i]);
        }
    }
    px4_listed_ = photos.size();
    return listed_;
}

std::optional<json> MissionMonitor::readMission(TickView& t, const std::string& state_task_dir) {
    std::optional<json> copy;
    std::lock_guard<std::mutex> lock(mission_.mutex);
    if (!state_task_dir.empty() && state_task_dir != last_task_dir_) {
        mission_.task_dir = state_task_dir;
        last_task_dir_ = state_task_dir;
    }
    // Only an active mission writes its copy: a directory reported between
    // missions is usually the previous mission's, whose copy must stay.
    if (mission_.has_task && !mission_.task_dir.empty() && !mission_.car_mission_written) {
        mission_.car_mission_written = true;
        copy = missionCopy();
    }
    t.active = mission_.has_task;
    t.photos_uploaded = mission_.photos_uploaded;
    t.upload_url = mission_.upload_media_data_url;
    t.task_dir = mission_.task_dir;
    t.seq = mission_.mission_seq;
    t.point_count = static_cast<int>(mission_.car_flight_point_list.size());
    t.mission_id = mission_.car_flight_mission_history_id;
    t.strategy_id = mission_.car_strategy_id;
    return copy;
}

json MissionMonitor::missionCopy() const {
    const MissionContext& m = mission_;
    json copy = json::object();
    copy["carX"] = m.car_x;
    copy["carY"] = m.car_y;
    copy["carYaw"] = m.car_yaw;
    copy["carStrategyId"] = m.car_strategy_id;
    copy["carPointId"] = m.car_point_id;
    copy["carActionId"] = m.car_action_id;
    copy["carFlightMissionHistoryId"] = m.car_flight_mission_history_id;
    copy["carMissionId"] = m.car_mission_id;
    copy["warehouseNum"] = m.warehouse_num;
    copy["warehouseCount"] = m.warehouse_count;
    copy["warehouseNumList"] = m.warehouse_num_list;
    copy["batteryLimit"] = m.battery_limit;
    copy["uploadMediaDataUrl"] = m.upload_media_data_url;
    copy["isBeforeTakeoffPhoto"] = m.is_before_takeoff_photo;
    copy["beforeTakeoffPhotoConfig"] =
        m.before_takeoff_photo_config.is_object() ? m.before_takeoff_photo_config : json::object();
    copy["carFlightPointList"] = m.car_flight_point_list;
    return copy;
}

void MissionMonitor::startOfMission(uint64_t seq) {
    seen_seq_ = seq;
    prev_sub_state_.clear();
    was_flying_ = false;
    last_photo_count_ = 0;
    stable_ticks_ = 0;
    upload_started_ = false;
    photos_handed_ = 0;
    last_arrival_idx_ = -1;
    last_hover_idx_ = records_.config()->mission.last_kovo_idx_sentinel;
    highest_step_ = -1;
    link_lost_ = false;
    listed_ = json::array();
    px4_listed_ = 0;
    records_.newMission();
}

void MissionMonitor::checkPhotos(const TickView& t) {
    if (t.upload_url.empty() || t.task_dir.empty() || t.photos.empty()) {
        return;
    }
    const int count = photoCount(t);
    if (count > last_photo_count_) {
        last_photo_count_ = count;
        stable_ticks_ = 0;
        kovo::log::info() << "[UPLOAD] Photos count increased to " << count << ", waiting for stability...";
        return;
    }
    // Entries listed after an earlier hand-over go out as a follow-up batch
    // once the list is stable again, so no photo is left behind.
    if (count > photos_handed_ && ++stable_ticks_ >= kStableTicks) {
        handOverPhotos(t, photos_handed_ == 0
                              ? "[UPLOAD] Photos stable at " + std::to_string(count) + ", starting upload..."
                              : "[UPLOAD] Photos stable at " + std::to_string(count) + ", uploading " +
                                    std::to_string(count - photos_handed_) + " more...");
    }
}

void MissionMonitor::handOverPhotos(const TickView& t, const std::string& line) {
    const int count = photoCount(t);
    json batch = json::array();
    for (int i = photos_handed_; i < count; ++i) {
        batch.push_back(t.photos[static_cast<size_t>(i)]);
    }
    kovo::log::info() << line;
    upload_started_ = true;
    photos_handed_ = count;
    photos_.uploadPhotosAsync(batch, t.upload_url, t.task_dir, safe_json_value<int>(t.kovo, "beforecount", -1));
}

bool MissionMonitor::followMission(const TickView& t) {
    PhaseInput in;
    in.fs = t.fs;
    in.sub_state = t.sub_state;
    in.prev_fs = prev_fs_;
    in.prev_sub_state = prev_sub_state_;
    in.was_flying = was_flying_;
    in.hover_idx = hover_index(t.height_idx, t.photos);
    in.last_hover_idx = last_hover_idx_;
    const PhaseStep step = classify_tick(t.cfg->mission, in);
    if (step.was_flying && !was_flying_) {
        std::lock_guard<std::mutex> lock(mission_.mutex);
        mission_.flight_seen = true;
    }
    was_flying_ = step.was_flying;
    // A step is reached when px4ctrl hovers at it; flying to a step shows
    // only that the ones before it were reached.
    if (t.sub_state == "hover_photo") {
        highest_step_ = std::max(highest_step_, t.height_idx);
    } else if (t.sub_state == "goto_height") {
        highest_step_ = std::max(highest_step_, t.height_idx - 1);
    }
    const bool finished = step.entered && enterPhase(step.phase, t);
    if (step.arrived) {
        highest_step_ = std::max(highest_step_, in.hover_idx);
        reportArrival(t, in.hover_idx);
    }
    return finished;
}

bool MissionMonitor::enterPhase(MissionPhase phase, const TickView& t) {
    switch (phase) {
    case MissionPhase::TAKEOFF:
        reports_.sendPlatformStatusHistory(http_status_code(KOVOMissionStatus::TAKEOFF));
        stats_.onStatusTransition(std::to_string(prev_fs_), std::to_string(t.fs));
        records_.clientLog(t.task_dir, "takeoff");
        return false;
    case MissionPhase::EXECUTING:
        reports_.sendPlatformStatusHistory(http_status_code(KOVOMissionStatus::EXECUTING));
        records_.clientLog(t.task_dir, "executing", {{"sub_state", t.sub_state}});
        return false;
    case MissionPhase::LANDING:
        reports_.sendPlatformStatusHistory(http_status_code(KOVOMissionStatus::LANDING));
        records_.clientLog(t.task_dir, "landing");
        return false;
    case MissionPhase::RETURNING:
        reports_.sendPlatformStatusHistory(http_status_code(KOVOMissionStatus::RETURNING));
        records_.clientLog(t.task_dir, "rtl");
        return false;
    case MissionPhase::ENDED:
        return endSequence(t);
    case MissionPhase::NONE:
        return false;
    }
    return false;
}

bool MissionMonitor::endSequence(const TickView& t) {
    reports_.sendPlatformStatusHistory(http_status_code(KOVOMissionStatus::TASK_ENDED));
    if (!clock_.sleepFor(std::chrono::milliseconds(t.cfg->mission.landed_to_finished_delay_ms))) {
        return false;
    }
    // px4ctrl has landed, so its list will not grow: whatever it lists and
    // was not handed over yet goes now.
    const int count = photoCount(t);
    if (!t.upload_url.empty() && !t.task_dir.empty() && count > photos_handed_) {
        handOverPhotos(t, "[UPLOAD] Task ended, uploading " + std::to_string(count - photos_handed_) +
                              " photo(s) not handed over yet...");
    }
    // Without any photo handed over there is nothing to wait for.
    if (photos_handed_ > 0 && !waitForPhotos()) {
        return false;
    }

    if (last_arrival_idx_ < 0 && !t.photos.empty()) {
        const int idx = safe_json_value<int>(t.photos.front(), "height_idx", 0);
        if (idx >= 0) {
            last_arrival_idx_ = idx;
            kovo::log::info() << "[KOVO] Fallback: task ended with photos but no hover_photo trigger, using photo_idx="
                              << idx;
        }
    }
    reports_.sendPlatformStatusHistory(http_status_code(KOVOMissionStatus::FINISHED));
    int photos_ok = 0;
    int photos_failed = 0;
    {
        std::lock_guard<std::mutex> lock(mission_.mutex);
        mission_.has_task = false;
        photos_ok = mission_.photos_ok;
        photos_failed = mission_.photos_failed;
    }
    const std::string reason = failureReason(t, photos_ok);
    stats_.onMissionPhotos(photoCount(t), photos_ok, photos_failed);
    if (reason.empty()) {
        stats_.onMissionSuccess(records_.currentTime());
    } else {
        kovo::log::error() << "[KOVO] Mission failed: " << reason;
        stats_.onMissionFailed(reason, records_.currentTime());
    }
    if (!t.task_dir.empty()) {
        records_.clientLog(t.task_dir, "finished", {{"reason", reason.empty() ? "all_heights_completed" : reason}});
        // After the photos, so that the log tells how each of them ended.
        photos_.afterUploads([this, dir = t.task_dir] { logs_.upload(dir); });
    }
    return true;
}

std::string MissionMonitor::failureReason(const TickView& t, int photos_ok) const {
    // Without a point the command flies one default height.
    const int last_step = std::max(t.point_count, 1) - 1;
    if (highest_step_ < last_step) {
        if (link_lost_) {
            return "px4ctrl_link_lost";
        }
        // px4ctrl's own end stands only when its progress does not contradict it.
        if (highest_step_ >= 0) {
            return "heights_incomplete";
        }
    }
    return photos_ok < photoCount(t) ? "photos_not_uploaded" : "";
}

bool MissionMonitor::waitForPhotos() {
    auto uploaded = [this] {
        std::lock_guard<std::mutex> lock(mission_.mutex);
        return mission_.photos_uploaded;
    };
    if (uploaded()) {
        return true;
    }
    kovo::log::info() << "[UPLOAD] Task ended, waiting for photo upload to complete...";
    for (int i = 0; i < kPhotoWaitSeconds; ++i) {
        if (!clock_.sleepFor(std::chrono::seconds(1))) {
            return false;
        }
        if (uploaded()) {
            kovo::log::info() << "[UPLOAD] Photo upload completed";
            return true;
        }
    }
    kovo::log::error() << "[UPLOAD] Timeout waiting for photo upload";
    return true;
}

void MissionMonitor::reportArrival(const TickView& t, int idx) {
    kovo::log::info() << "[KOVO] hover_photo detected, effective_idx=" << idx << " kovo_idx=" << t.height_idx
                      << " fs=" << t.fs;
    {
        const int precision = t.cfg->app.float_precision;
        StepPose pose = uav_pose(t.uav, *t.cfg, records_.currentTime());
        std::lock_guard<std::mutex> lock(mission_.mutex);
        mission_.arrivals[idx] = std::move(pose);
        if (static_cast<size_t>(idx) < mission_.car_flight_point_list.size()) {
            const PointRef point = point_ref(mission_.car_flight_point_list[static_cast<size_t>(idx)], precision);
            mission_.current_point_id = point.id;
            mission_.warehouse_position_num = point.warehouse_position_num;
        }
    }
    reports_.sendPlatformArrivePoint();
    last_hover_idx_ = idx;
    last_arrival_idx_ = idx;
    records_.clientLog(t.task_dir, "arrive_point", {{"height_idx", idx}});
}

void MissionMonitor::everyTick(const TickView& t, bool finished) {
    const auto& d = t.cfg->uav_defaults;
    prev_fs_ = t.fs;
    prev_sub_state_ = t.sub_state;

    monitor::InternalState s;
    s.fs = t.fs;
    s.kovo_sub = t.sub_state;
    s.kovo_idx = t.height_idx;
    s.has_task = t.active;
    s.photos_uploaded = t.photos_uploaded;
    s.upload_started = upload_started_;
    s.photo_count = photoCount(t);
    s.last_completed_height_idx = last_arrival_idx_;
    s.mission_id = t.mission_id;
    s.strategy_id = t.strategy_id;
    s.battery_remain = json_float(safe_json_object(t.uav, "bat"), "remain", static_cast<float>(d.battery_remain));
    const json lpos = safe_json_object(t.uav, "lpos");
    s.lpos_z = json_float(lpos, "z", d.lpos_z_f);
    s.lpos_vz = json_float(lpos, "vz", d.lpos_vz_f);
    stats_.updateInternalState(s);

    CarStatusReporter::Tick car;
    car.fs = t.fs;
    car.height_idx = t.height_idx;
    car.uav = t.uav;
    car.active = t.active;
    car.finished = finished;
    car_status_.report(car);

    reports_.sendPlatformFlightHistory(t.uav);
}

}  // namespace kovo::app
