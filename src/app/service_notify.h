#pragma once

namespace kovo::app {

// Tells the service manager (systemd, Type=notify) how the daemon is doing.
// Without a service manager (no NOTIFY_SOCKET) each call does nothing.

// The links are started: the service counts as up.
void notify_ready();
// The monitor loop made one more round; systemd restarts the daemon when
// these stop for longer than WatchdogSec=.
void notify_watchdog();
// The stop has begun.
void notify_stopping();

}  // namespace kovo::app
