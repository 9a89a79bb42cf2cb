#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/kovo_client_app.h"
#include "app/service_notify.h"
#include "app/stop_signals.h"
#include "config/app_config.h"
#include "log/log.h"

namespace {

using namespace std::chrono_literals;

// How long a stop waits for running uploads; systemd and the people at the
// console expect a stop within 5 s.
constexpr auto kBackgroundGrace = 4s;
// The whole stop, past which the daemon leaves whatever still runs.
constexpr auto kStopLimit = 4500ms;

// Stops the application on the first SIGTERM or SIGINT; a second one during
// the stop ends the process at once. The exit status.
int run_until_stopped(kovo::app::KovoClientApp& app) {
    int signal = 0;
    while (signal == 0) {
        signal = kovo::app::wait_for_stop_signal(1h);
    }
    kovo::log::info() << "[APP] " << kovo::app::stop_signal_name(signal) << " received, stopping";
    kovo::app::notify_stopping();
    const auto start = std::chrono::steady_clock::now();
    auto stopping = std::async(std::launch::async, [&app, start] { return app.stopUntil(start + kBackgroundGrace); });
    while (stopping.wait_for(0s) != std::future_status::ready) {
        if (kovo::app::wait_for_stop_signal(20ms) != 0) {
            kovo::log::error() << "[APP] Second signal, stopping at once";
            std::_Exit(1);
        }
        if (std::chrono::steady_clock::now() - start > kStopLimit) {
            kovo::log::error() << "[APP] Stop did not finish in time, leaving it";
            kovo::log::info() << "kovo_sio_client stopped";
            std::_Exit(1);
        }
    }
    const std::vector<std::string> left = stopping.get();
    for (const std::string& work : left) {
        kovo::log::error() << "[APP] Stopping without waiting for the " << work;
    }
    kovo::log::info() << "kovo_sio_client stopped";
    if (!left.empty()) {
        // That work still uses the objects main would now destroy.
        std::_Exit(0);
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Before any thread exists, so that every thread inherits it.
    kovo::app::block_stop_signals();
    kovo::log::info() << kovo::app::banner_line();
    const kovo::app::CommandLine cmd = kovo::app::parse_command_line(std::vector<std::string>(argv, argv + argc));
    for (const std::string& arg : cmd.ignored) {
        kovo::log::error() << "[APP] Ignoring unknown argument: " << arg;
    }
    if (cmd.help) {
        kovo::log::info() << kovo::app::usage_text(argc > 0 ? argv[0] : "kovo_sio_client");
        return 0;
    }

    kovo::config::AppConfig config;
    for (const kovo::config::LoadMessage& m : config.load(cmd.config_path)) {
        if (m.error) {
            kovo::log::error() << m.text;
        } else {
            kovo::log::info() << m.text;
        }
    }
    kovo::app::apply_overrides(cmd, config);

    kovo::app::KovoClientApp app(config, cmd.config_path);
    if (!app.start()) {
        kovo::log::error() << "Failed to start app";
        return 1;
    }
    kovo::log::info() << "kovo_sio_client started. Press Ctrl+C to exit.";
    kovo::app::notify_ready();
    return run_until_stopped(app);
}
