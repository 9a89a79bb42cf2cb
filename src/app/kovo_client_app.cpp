#include "app/kovo_client_app.h"

#include <algorithm>
#include <chrono>

#include "app/command_line.h"
#include "app/config_update.h"
#include "app/mission/records.h"
#include "app/service_notify.h"
#include "log/log.h"
#include "monitor/stats_routes.h"

namespace kovo::app {

namespace {

// The dashboard's start and stop times keep this pattern whatever
// app.time_format says.
constexpr const char* kStatsTimeFormat = "%Y-%m-%d %H:%M:%S";

}  // namespace

KovoClientApp::KovoClientApp(const config::AppConfig& config, const std::string& config_path)
    : config_(config),
      config_path_(config_path),
      px4_client_(config),
      sio_client_(config),
      http_client_(config),
      mqtt_client_(config),
      spool_(config.spool.dir, static_cast<uint64_t>(config.spool.max_mb) * 1024 * 1024,
             static_cast<int64_t>(config.spool.max_age_hours) * 3600 * 1000),
      report_forwarder_(spool_, mqtt_client_),
      retry_http_client_(config),
      px4_port_(px4_client_),
      car_port_(sio_client_, config_),
      mqtt_port_(report_forwarder_, config_),
      http_port_(http_client_, monitor::StatsManager::instance()),
      retry_http_port_(retry_http_client_, monitor::StatsManager::instance()),
      upload_retrier_(spool_, retry_http_port_),
      stats_port_(monitor::StatsManager::instance()),
      core_(config_, mission_,
            MissionPorts{px4_port_, car_port_, mqtt_port_, http_port_, stats_port_, clock_, tasks_, &upload_retrier_}) {
    sio_client_.setMissionCallback([this](const nlohmann::json& payload) { core_.intake.onCarMission(payload); });
    sio_client_.setRebootQueryCallback([this] { core_.reboot.onCarRebootQuery(); });
    sio_client_.setOnConnected([] { monitor::StatsManager::instance().onSioConnected(); });
    sio_client_.setOnDisconnected([] { monitor::StatsManager::instance().onSioDisconnected(); });
    sio_client_.setOnGaveUp([](unsigned attempts) { monitor::StatsManager::instance().onSioGaveUp(attempts); });
    px4_client_.setOnConnected([] { monitor::StatsManager::instance().onWsConnected(); });
    px4_client_.setOnDisconnected([] { monitor::StatsManager::instance().onWsDisconnected(); });
    mqtt_client_.setResponseCallback([](const std::string& text) { kovo::log::info() << "[MQTT] Response: " << text; });
    mqtt_client_.setOnConnected([this] {
        monitor::StatsManager::instance().onMqttConnected();
        report_forwarder_.onConnected();
        // The uplink is back: the platform may well be reachable again too.
        upload_retrier_.wake();
    });
    mqtt_client_.setOnDisconnected([this] {
        monitor::StatsManager::instance().onMqttDisconnected();
        report_forwarder_.onDisconnected();
    });
    mqtt_client_.setOnPublished([this](int mid) { report_forwarder_.onPublished(mid); });
}

KovoClientApp::~KovoClientApp() { stop(); }

bool KovoClientApp::start() {
    // Before any link: a second daemon would fight this one for the
    // broker's client id and the spool.
    std::string error;
    if (!spool_.lock(&error)) {
        if (error == "locked") {
            kovo::log::error() << "[APP] Another kovo_sio_client is already running with spool " << spool_.dir();
            return false;
        }
        kovo::log::error() << "[APP] Spool " << spool_.dir()
                           << " unusable, reports and uploads are not kept: " << error;
    } else if (!spool_.open(&error)) {
        kovo::log::error() << "[APP] Spool " << spool_.dir()
                           << " unusable, reports and uploads are not kept: " << error;
    }
    monitor::StatsManager& stats = monitor::StatsManager::instance();
    stats.setSpoolSource([this] { return spoolStats(); });
    stats.recordStartup(format_current_time(kStatsTimeFormat));
    const BuildInfo build = build_info();
    stats.recordVersion(build.version, build.revision, build.time);
    const auto cfg = config_.snapshot();
    record_config_stats(stats, config_);
    // Failure lines feed the dashboard's list of recent errors.
    kovo::log::set_observer([](kovo::log::Level level, const std::string& text) {
        if (level == kovo::log::Level::ERROR) monitor::StatsManager::instance().onErrorRecord(text);
    });

    if (cfg->stats.enabled) {
        // A server that cannot listen does not stop the daemon.
        web_server_.start(cfg->stats.bind_address, cfg->stats.web_port,
                          monitor::StatsRoutes(stats, cfg->stats.auth_token, [this](const std::string& body) {
                              return handle_config_update(config_, config_path_, body,
                                                          monitor::StatsManager::instance());
                          }));
    }
    if (!px4_client_.start()) {
        kovo::log::error() << "Failed to start ws client";
        return false;
    }
    if (!sio_client_.start()) {
        kovo::log::error() << "Failed to start sio client";
        return false;
    }
    if (!mqtt_client_.start()) {
        kovo::log::error() << "[APP] Failed to start mqtt client, continuing without MQTT";
    }
    running_ = true;
    worker_thread_ = std::thread([this] { workerLoop(); });
    tasks_.run([this] { upload_retrier_.run(); });
    return true;
}

std::vector<std::string> KovoClientApp::stopUntil(std::chrono::steady_clock::time_point deadline) {
    closeDown();
    if (tasks_.joinAllUntil(deadline)) {
        return {};
    }
    std::vector<std::string> left = http_port_.spoolInFlight(upload_retrier_);
    for (const std::string& retry : retry_http_port_.transfersInFlight()) {
        left.push_back(retry + ", still in the spool");
    }
    if (left.empty()) {
        left.push_back("background work");
    }
    return left;
}

void KovoClientApp::stop() {
    closeDown();
    tasks_.joinAll();
}

void KovoClientApp::closeDown() {
    // Only a daemon that ran to the end of start() has a shutdown to show.
    if (running_.exchange(false)) {
        monitor::StatsManager::instance().recordShutdown(format_current_time(kStatsTimeFormat));
    }
    // No new mission or configuration update may arrive while the objects
    // they use go away.
    sio_client_.stop();
    web_server_.stop();
    px4_client_.stop();
    mqtt_client_.stop();
    upload_retrier_.stop();
    clock_.stop();
    if (worker_thread_.joinable()) {
        worker_thread_.join();
    }
    kovo::log::set_observer(nullptr);
}

nlohmann::json KovoClientApp::spoolStats() const {
    platform::SpoolQueue::Entry report, upload;
    const bool has_report = spool_.reports().oldest(report);
    const bool has_upload = spool_.uploads().oldest(upload);
    int64_t oldest = 0;
    if (has_report || has_upload) {
        const int64_t created = !has_upload   ? report.created_ms
                                : !has_report ? upload.created_ms
                                              : std::min(report.created_ms, upload.created_ms);
        oldest = std::max<int64_t>(0, (platform::wall_clock_ms() - created) / 1000);
    }
    return {{"reports_waiting", spool_.reports().count()},
            {"uploads_waiting", spool_.uploads().count()},
            {"bytes", spool_.reports().bytes() + spool_.uploads().bytes()},
            {"oldest_age_s", oldest},
            {"dropped", spool_.dropped()},
            {"last_error", spool_.lastError()}};
}

void KovoClientApp::workerLoop() {
    while (running_) {
        // Whole seconds; at least one, so a zero setting cannot spin.
        const int seconds = std::max(1, config_.snapshot()->mission.worker_poll_interval_seconds);
        if (!clock_.sleepFor(std::chrono::seconds(seconds)) || !running_) {
            return;
        }
        // A failing tick costs that tick, never the daemon.
        kovo::log::guarded("[APP] Monitor tick failed", [this] { core_.monitor.tick(); });
        notify_watchdog();
    }
}

}  // namespace kovo::app
