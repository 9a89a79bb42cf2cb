#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "app/mission/car_status.h"
#include "app/mission/log_upload.h"
#include "app/mission/mission_context.h"
#include "app/mission/mission_phase.h"
#include "app/mission/photo_upload.h"
#include "app/mission/platform_reports.h"
#include "app/mission/ports.h"
#include "app/mission/record_helpers.h"

namespace kovo::app {

// Follows a mission through px4ctrl's phases, one tick per poll interval, on
// the monitor thread: task directory takeover and the mission's files, phase
// reports, arrivals at height steps, photo hand-over, the end sequence; and on
// every tick with a state the statistics, the car's status messages and the
// flight history.
class MissionMonitor {
public:
    MissionMonitor(MissionContext& mission, Px4Port& px4, StatsPort& stats, Clock& clock, PlatformReports& reports,
                   CarStatusReporter& car_status, PhotoUploader& photos, LogUploader& logs,
                   const RecordHelpers& records);

    // One tick, after the poll interval's sleep.
    void tick();

private:
    // What one tick read from px4ctrl and copied from the mission record.
    struct TickView {
        std::shared_ptr<const config::AppConfig> cfg;  // one snapshot for the whole tick
        int fs = -1;
        nlohmann::json uav;
        nlohmann::json kovo;
        std::string sub_state;
        int height_idx = -1;
        nlohmann::json photos;
        bool active = false;
        bool photos_uploaded = false;
        std::string upload_url;
        std::string task_dir;
        uint64_t seq = 0;
        int point_count = 0;
        std::string mission_id;
        std::string strategy_id;
    };

    // Notes a lost or remade px4ctrl link during a flight; true when it is up.
    bool linkUp();
    static TickView readState(const nlohmann::json& state, std::shared_ptr<const config::AppConfig> cfg);
    // One section under the mission lock: takes over a newly reported task
    // directory and copies what the tick needs into t. Returns the mission
    // copy when it is due (once per mission, into its first directory).
    std::optional<nlohmann::json> readMission(TickView& t, const std::string& state_task_dir);
    nlohmann::json missionCopy() const;  // mission lock held
    void startOfMission(uint64_t seq);
    void checkPhotos(const TickView& t);
    void handOverPhotos(const TickView& t, const std::string& line);
    // Classifies an active mission's tick and acts on it; true when the end
    // sequence finished the mission.
    bool followMission(const TickView& t);
    bool enterPhase(MissionPhase phase, const TickView& t);
    bool endSequence(const TickView& t);
    // False when the application is stopping.
    bool waitForPhotos();
    // Why the mission failed from what was seen; empty for a success.
    std::string failureReason(const TickView& t, int photos_ok) const;
    void reportArrival(const TickView& t, int idx);
    void everyTick(const TickView& t, bool finished);
    int photoCount(const TickView& t) const;
    // Every photo px4ctrl has listed in this mission, in listing order.
    nlohmann::json keepListed(const nlohmann::json& photos);

    MissionContext& mission_;
    Px4Port& px4_;
    StatsPort& stats_;
    Clock& clock_;
    PlatformReports& reports_;
    CarStatusReporter& car_status_;
    PhotoUploader& photos_;
    LogUploader& logs_;
    const RecordHelpers& records_;

    // Kept across ticks; the per-mission ones are reset when the loop first
    // sees a newly accepted mission.
    int prev_fs_ = -1;
    std::string prev_sub_state_;
    std::string last_task_dir_;
    uint64_t seen_seq_ = 0;
    bool was_flying_ = false;
    int last_photo_count_ = 0;
    int stable_ticks_ = 0;
    bool upload_started_ = false;
    // Entries of px4ctrl's photo list already handed to the uploader.
    int photos_handed_ = 0;
    // The last arrival reported (or the end's fallback), as the statistics
    // show it; and the last hover reported, which the arrival rule compares.
    int last_arrival_idx_ = -1;
    int last_hover_idx_;
    // The mission's evidence: the highest height step px4ctrl reported
    // reaching, and whether its link was lost (or remade) while
    // flying; logins_ is px4ctrl's login count last seen.
    int highest_step_ = -1;
    bool link_lost_ = false;
    nlohmann::json listed_ = nlohmann::json::array();
    size_t px4_listed_ = 0;  // entries of px4ctrl's current list taken
    uint64_t logins_ = 0;
};

}  // namespace kovo::app
