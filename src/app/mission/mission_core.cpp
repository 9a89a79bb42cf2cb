#include "app/mission/mission_core.h"

namespace kovo::app {

MissionCore::MissionCore(const config::SharedConfig& config, MissionContext& mission, const MissionPorts& ports)
    : records(config),
      reports(mission, ports.mqtt, records),
      car_status(mission, ports.car, records),
      photos(mission, ports.px4, ports.http, ports.clock, ports.tasks, records, ports.spill),
      logs(ports.http, records, ports.spill),
      intake(mission, ports.px4, ports.stats, ports.clock, ports.tasks, reports, records),
      reboot(ports.px4, ports.car, records),
      monitor(mission, ports.px4, ports.stats, ports.clock, reports, car_status, photos, logs, records) {}

}  // namespace kovo::app
