#include "app/mission/mission_core.h"

namespace kovo::app {

MissionCore::MissionCore(const config::SharedConfig& config, MissionContext& mission, const MissionPorts& ports,
                         const std::string& access_key, const std::string& site_id)
    : records(config),
      reports(mission, ports.mqtt, records, site_id),
      car_status(mission, ports.car, records, access_key),
      photos(mission, ports.px4, ports.http, ports.clock, ports.tasks, records),
      logs(ports.http, records, site_id),
      intake(mission, ports.px4, ports.stats, ports.clock, ports.tasks, reports, records),
      reboot(ports.px4, ports.car, records),
      monitor(mission, ports.px4, ports.stats, ports.clock, reports, car_status, photos, logs, records) {}

}  // namespace kovo::app
