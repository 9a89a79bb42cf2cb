#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/interruptible_clock.h"
#include "app/link_adapters.h"
#include "app/mission/mission_context.h"
#include "app/mission/mission_core.h"
#include "app/thread_task_runner.h"
#include "app/upload_retrier.h"
#include "car/sio_car_client.h"
#include "config/app_config.h"
#include "config/shared_config.h"
#include "monitor/web_server.h"
#include "platform/platform_http_client.h"
#include "platform/platform_mqtt_client.h"
#include "platform/report_forwarder.h"
#include "platform/spool.h"
#include "px4ctrl/px4ctrl_ws_client.h"

namespace kovo::app {

// The one application object: owns the configuration, the four links, the
// mission record and its logic, the monitor thread and the web server.
class KovoClientApp {
public:
    // The links are built from config, which the caller keeps alive until
    // this object is gone; the application's own copy is what hot updates
    // change.
    KovoClientApp(const config::AppConfig& config, const std::string& config_path);
    // Stops everything this object started (see stop()).
    ~KovoClientApp();
    KovoClientApp(const KovoClientApp&) = delete;
    KovoClientApp& operator=(const KovoClientApp&) = delete;

    // The spool's lock (fatal when another daemon holds it), statistics,
    // web server, px4ctrl (fatal), car (fatal), MQTT (not fatal), then the
    // monitor thread and the upload retries. False when a fatal step failed.
    bool start();
    // Records the shutdown time, closes the links and the web server, cuts
    // every wait short, ends the monitor thread, then waits for background
    // work (uploads) until deadline. Returns what still runs then, one
    // description each: the caller may leave it behind (uploads among it are
    // spooled first).
    std::vector<std::string> stopUntil(std::chrono::steady_clock::time_point deadline);
    // The same, waiting for all background work. Used by the destructor.
    void stop();

private:
    // Everything of the stop but the wait for background work.
    void closeDown();
    // The statistics' spool section.
    nlohmann::json spoolStats() const;
    // The monitor thread's body: one tick per poll interval while running.
    void workerLoop();

    config::SharedConfig config_;
    const std::string config_path_;
    px4ctrl::Px4ctrlWsClient px4_client_;
    car::SioCarClient sio_client_;
    platform::PlatformHttpClient http_client_;
    platform::PlatformMqttClient mqtt_client_;
    platform::Spool spool_;
    platform::ReportForwarder report_forwarder_;
    // The retries' own handles, so that a retry never holds a mission's upload up.
    platform::PlatformHttpClient retry_http_client_;
    Px4LinkAdapter px4_port_;
    CarLinkAdapter car_port_;
    MqttLinkAdapter mqtt_port_;
    HttpLinkAdapter http_port_;
    HttpLinkAdapter retry_http_port_;
    UploadRetrier upload_retrier_;
    StatsAdapter stats_port_;
    InterruptibleClock clock_;
    ThreadTaskRunner tasks_;
    MissionContext mission_;
    MissionCore core_;
    std::atomic<bool> running_{false};
    std::thread worker_thread_;
    monitor::WebServer web_server_;
};

}  // namespace kovo::app
