#include "app/mission/mission_intake.h"

#include <chrono>
#include <cmath>
#include <mutex>
#include <tuple>

#include "app/mission/fs_codes.h"
#include "app/mission/json_fields.h"
#include "app/mission/mission_status.h"
#include "log/log.h"

namespace kovo::app {

using nlohmann::json;

namespace {

// px4ctrl gets a fixed time to settle after the car's order.
constexpr std::chrono::seconds kStartDelay{10};

std::string text_member(const json& payload, const char* key, const std::string& def = "") {
    return safe_json_value<std::string>(payload, key, def);
}

// One finite decimal number: a JSON number, or a text that is exactly one
// ("1.5", "-2", ".5"; not "1.5,99", "1e3", " 2" or "").
bool is_height(const json& z) {
    if (z.is_number()) return std::isfinite(z.get<double>());
    if (!z.is_string()) return false;
    const std::string& text = z.get_ref<const std::string&>();
    size_t i = text.empty() || (text[0] != '+' && text[0] != '-') ? 0 : 1;
    size_t digits = 0;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            ++digits;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digits > 0;
}

// The index of the first flight point with a "z" that is no height; -1 when
// every point's height will do (a missing or null one takes the default).
int first_bad_height(const json& payload) {
    const json points = safe_json_array(payload, "carFlightPointList");
    for (size_t i = 0; i < points.size(); ++i) {
        const json* z = points[i].is_object() && points[i].contains("z") ? &points[i]["z"] : nullptr;
        if (z != nullptr && !z->is_null() && !is_height(*z)) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

MissionIntake::MissionIntake(MissionContext& mission, Px4Port& px4, StatsPort& stats, Clock& clock, TaskRunner& tasks,
                             PlatformReports& reports, const RecordHelpers& records)
    : mission_(mission), px4_(px4), stats_(stats), clock_(clock), tasks_(tasks), reports_(reports), records_(records) {}

void MissionIntake::onCarMission(const json& payload) {
    // The car's strings may hold bad UTF-8: shown with replacements, the
    // mission is still accepted.
    kovo::log::info() << "[CAR] Received mission payload:\n"
                      << payload.dump(2, ' ', false, json::error_handler_t::replace);

    // px4ctrl would read a text such as "1.5,99" as two heights.
    if (const int bad = first_bad_height(payload); bad >= 0) {
        kovo::log::error() << "[CAR] Mission refused: flight point " << bad << " has z "
                           << payload["carFlightPointList"][static_cast<size_t>(bad)]["z"].dump(
                                  -1, ' ', false, json::error_handler_t::replace)
                           << ", not one finite decimal number";
        return;
    }
    const std::optional<Accepted> accepted = accept(*records_.config(), payload);
    if (!accepted) {
        kovo::log::info() << "[CAR] Already has an active task, ignore new mission";
        return;
    }
    const Accepted& a = *accepted;
    // px4ctrl reports the task directory only once the mission runs.
    stats_.onMissionStarted(a.history_id, a.strategy_id, a.point_id, a.action_id, a.points, std::string(),
                            records_.currentTime());
    kovo::log::info() << "[CAR] carFlightPointList size=" << a.points << " cmd=[" << a.cmd << "]";
    tasks_.run([this, cmd = a.cmd, seq = a.seq] { startSequence(cmd, seq); });
}

std::optional<MissionIntake::Accepted> MissionIntake::accept(const config::AppConfig& cfg, const json& payload) {
    std::lock_guard<std::mutex> lock(mission_.mutex);
    if (mission_.has_task) {
        return std::nullopt;
    }
    mission_.has_task = true;
    fillMission(cfg, payload);
    Accepted a;
    a.seq = ++mission_.mission_seq;
    a.cmd = buildCommand(cfg);
    a.history_id = mission_.car_flight_mission_history_id;
    a.strategy_id = mission_.car_strategy_id;
    a.point_id = mission_.car_point_id;
    a.action_id = mission_.car_action_id;
    a.points = static_cast<int>(mission_.car_flight_point_list.size());
    return a;
}

void MissionIntake::fillMission(const config::AppConfig& cfg, const json& payload) {
    const auto& defaults = cfg.mission.defaults;
    mission_.car_x = text_member(payload, "carX");
    mission_.car_y = text_member(payload, "carY");
    mission_.car_yaw = text_member(payload, "carYaw");
    mission_.car_strategy_id = text_member(payload, "carStrategyId");
    mission_.car_point_id = text_member(payload, "carPointId");
    mission_.car_action_id = text_member(payload, "carActionId");
    mission_.car_flight_mission_history_id = text_member(payload, "carFlightMissionHistoryId");
    mission_.car_mission_id = text_member(payload, "carMissionId");

    const json warehouse = payload.is_object() && payload.contains("warehouseNum") ? payload["warehouseNum"] : json();
    std::tie(mission_.warehouse_num, mission_.warehouse_count) = parse_warehouse_num(warehouse);
    mission_.warehouse_num_list = collect_warehouse_nums(warehouse);

    mission_.battery_limit = text_member(payload, "batteryLimit", defaults.batteryLimit);
    mission_.upload_media_data_url = text_member(payload, "uploadMediaDataUrl");
    mission_.is_before_takeoff_photo = text_member(payload, "isBeforeTakeoffPhoto", defaults.isBeforeTakeoffPhoto);
    mission_.before_takeoff_photo_config = safe_json_object(payload, "beforeTakeoffPhotoConfig");

    const json points = safe_json_array(payload, "carFlightPointList");
    mission_.car_flight_point_list.assign(points.begin(), points.end());

    mission_.arrivals.clear();
    mission_.photos_uploaded = false;
    mission_.photos_ok = 0;
    mission_.photos_failed = 0;
    mission_.car_mission_written = false;
    mission_.flight_seen = false;
    mission_.task_dir.clear();
}

std::string MissionIntake::buildCommand(const config::AppConfig& cfg) const {
    const std::string& default_height = cfg.mission.defaults.takeOffAltitude;
    std::string heights;
    for (const json& point : mission_.car_flight_point_list) {
        if (!heights.empty()) {
            heights += ",";
        }
        heights += json_string(point, "z", default_height, cfg.app.float_precision);
    }
    if (mission_.car_flight_point_list.empty()) {
        heights = default_height;
    }
    return cfg.mission.kovo_cmd_prefix + " " + heights;
}

int MissionIntake::readFs(const config::AppConfig& cfg) {
    return safe_json_value<int>(px4_.getState(), "fs", cfg.mission.default_fs_value);
}

bool MissionIntake::isCurrent(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mission_.mutex);
    return mission_.has_task && mission_.mission_seq == seq;
}

bool MissionIntake::flightSeen() {
    std::lock_guard<std::mutex> lock(mission_.mutex);
    return mission_.flight_seen;
}

void MissionIntake::startSequence(const std::string& cmd, uint64_t seq) {
    kovo::log::info() << "[CAR] Mission received, waiting 10 seconds before execution...";
    if (!clock_.sleepFor(kStartDelay)) {
        return;
    }
    kovo::log::info() << "[CAR] 10-second delay finished, starting mission execution";

    int retries = 0;
    for (int attempt = 1;; ++attempt) {
        const auto cfg = records_.config();
        retries = cfg->mission.max_start_retries;
        if (attempt > retries) {
            break;
        }
        // The monitor loop may have closed the mission meanwhile (px4ctrl
        // flew and landed), and the car may have sent the next one: its
        // command must not be this one.
        if (!isCurrent(seq)) {
            kovo::log::info() << "[CAR] Mission no longer active, start sequence ends";
            return;
        }
        if (tryStart(*cfg, cmd, attempt) == Attempt::DONE) {
            return;
        }
    }
    giveUp(retries, seq);
}

MissionIntake::Attempt MissionIntake::tryStart(const config::AppConfig& cfg, const std::string& cmd, int attempt) {
    const auto& m = cfg.mission;
    const std::string of = std::to_string(attempt) + "/" + std::to_string(m.max_start_retries);
    const auto wait_retry = [&] {
        return clock_.sleepFor(std::chrono::seconds(m.retry_wait_seconds)) ? Attempt::RETRY : Attempt::DONE;
    };

    int fs = readFs(cfg);
    if (fs_in_mission(m, fs)) {
        kovo::log::info() << "[CAR] px4ctrl already in flight state (fs=" << fs << "), mission started";
        return Attempt::DONE;
    }
    if (fs != m.fs_standby) {
        kovo::log::info() << "[CAR] Retry " << of << ": fs=" << fs << " not STANDBY, wait...";
        return wait_retry();
    }
    kovo::log::info() << "[CAR] Send to px4ctrl (retry " << of << "): " << cmd;
    if (!px4_.sendCmd(cmd)) {
        kovo::log::info() << "[CAR] px4ctrl not ready, wait for reconnect...";
        return wait_retry();
    }
    reports_.sendPlatformStatusHistory(http_status_code(KOVOMissionStatus::START_SENT));
    if (!clock_.sleepFor(std::chrono::seconds(m.state_verify_wait_seconds))) {
        return Attempt::DONE;
    }
    fs = readFs(cfg);
    if (fs_in_mission(m, fs) || flightSeen()) {
        kovo::log::info() << "[CAR] px4ctrl entered KOVO state, mission started";
        return Attempt::DONE;
    }
    kovo::log::info() << "[CAR] Retry " << of << ": px4ctrl did not enter KOVO (fs=" << fs << "), will retry";
    return Attempt::RETRY;
}

void MissionIntake::giveUp(int retries, uint64_t seq) {
    kovo::log::error() << "[CAR] Failed to start mission after " << retries << " retries";
    // The mission may have been closed and a new one accepted meanwhile:
    // never report or clear someone else's mission.
    if (!isCurrent(seq)) {
        return;
    }
    reports_.sendPlatformStatusHistory(http_status_code(KOVOMissionStatus::START_FAILED));
    std::string task_dir;
    {
        std::lock_guard<std::mutex> lock(mission_.mutex);
        if (!mission_.has_task || mission_.mission_seq != seq) {
            return;
        }
        mission_.has_task = false;
        task_dir = mission_.task_dir;
    }
    records_.clientLog(task_dir, "start_failed", {{"reason", "max_retries_exceeded"}});
    stats_.onMissionFailed("max_retries_exceeded", records_.currentTime());
}

}  // namespace kovo::app
