#include "app/service_notify.h"

#include <systemd/sd-daemon.h>

namespace kovo::app {

void notify_ready() { sd_notify(0, "READY=1"); }

void notify_watchdog() { sd_notify(0, "WATCHDOG=1"); }

void notify_stopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace kovo::app
