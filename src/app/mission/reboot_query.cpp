#include "app/mission/reboot_query.h"

#include "app/mission/fs_codes.h"
#include "app/mission/json_fields.h"
#include "log/log.h"

namespace kovo::app {

RebootQuery::RebootQuery(Px4Port& px4, CarPort& car, const RecordHelpers& records)
    : px4_(px4), car_(car), records_(records) {}

void RebootQuery::onCarRebootQuery() {
    kovo::log::info() << "[CAR] Received reboot query";
    const auto cfg = records_.config();
    const int fs = safe_json_value<int>(px4_.getState(), "fs", cfg->mission.default_fs_value);
    car_.sendCanRebootResp(!fs_listed(cfg->mission.flying_fs_codes, fs));
}

}  // namespace kovo::app
