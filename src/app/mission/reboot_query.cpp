#include "app/mission/reboot_query.h"

#include <mutex>

#include "app/mission/fs_codes.h"
#include "app/mission/json_fields.h"
#include "log/log.h"

namespace kovo::app {

RebootQuery::RebootQuery(MissionContext& mission, Px4Port& px4, CarPort& car, const RecordHelpers& records)
    : mission_(mission), px4_(px4), car_(car), records_(records) {}

void RebootQuery::onCarRebootQuery() {
    kovo::log::info() << "[CAR] Received reboot query";
    const auto cfg = records_.config();
    bool allowed = true;
    {
        // Lock order: mission lock, then px4ctrl's state lock inside getState.
        std::lock_guard<std::mutex> lock(mission_.mutex);
        const int fs = safe_json_value<int>(px4_.getState(), "fs", cfg->mission.default_fs_value);
        allowed = !fs_listed(cfg->mission.flying_fs_codes, fs);
    }
    car_.sendCanRebootResp(allowed);
}

}  // namespace kovo::app
