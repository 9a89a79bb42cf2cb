#pragma once

#include <string>

#include "app/mission/car_status.h"
#include "app/mission/log_upload.h"
#include "app/mission/mission_context.h"
#include "app/mission/mission_intake.h"
#include "app/mission/mission_monitor.h"
#include "app/mission/photo_upload.h"
#include "app/mission/platform_reports.h"
#include "app/mission/ports.h"
#include "app/mission/reboot_query.h"
#include "app/mission/record_helpers.h"
#include "config/shared_config.h"

namespace kovo::app {

// Everything the mission logic talks to.
struct MissionPorts {
    Px4Port& px4;
    CarPort& car;
    MqttPort& mqtt;
    HttpPort& http;
    StatsPort& stats;
    Clock& clock;
    TaskRunner& tasks;
    // Where uploads given up during the mission go; none: they are lost.
    UploadSpill* spill = nullptr;
};

// The mission logic wired together over one mission record: the daemon builds
// it over its links, tests over fakes.
struct MissionCore {
    MissionCore(const config::SharedConfig& config, MissionContext& mission, const MissionPorts& ports);

    RecordHelpers records;
    PlatformReports reports;
    CarStatusReporter car_status;
    PhotoUploader photos;
    LogUploader logs;
    MissionIntake intake;
    RebootQuery reboot;
    MissionMonitor monitor;
};

}  // namespace kovo::app
