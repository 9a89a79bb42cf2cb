#pragma once

#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/mission/ports.h"
#include "car/sio_car_client.h"
#include "config/shared_config.h"
#include "monitor/stats_manager.h"
#include "platform/platform_http_client.h"
#include "platform/platform_mqtt_client.h"
#include "platform/report_forwarder.h"
#include "px4ctrl/px4ctrl_ws_client.h"

namespace kovo::app {

// The real links and the statistics behind the mission logic's interfaces.
// Settings a hot update changes while the daemon runs (the access key, the
// request topic) are read from the current configuration on each use.

class Px4LinkAdapter : public Px4Port {
public:
    explicit Px4LinkAdapter(px4ctrl::Px4ctrlWsClient& client) : client_(client) {}
    bool isConnected() const override { return client_.isConnected(); }
    bool isLogined() const override { return client_.isLogined(); }
    uint64_t loginCount() const override { return client_.loginCount(); }
    nlohmann::json getState() override { return client_.getState(); }
    bool sendCmd(const std::string& cmd) override { return client_.sendCmd(cmd); }

private:
    px4ctrl::Px4ctrlWsClient& client_;
};

class CarLinkAdapter : public CarPort {
public:
    CarLinkAdapter(car::SioCarClient& client, const config::SharedConfig& config) : client_(client), config_(config) {}
    void sendRealtimeStatus(const nlohmann::json& status) override { client_.sendRealtimeStatus(status); }
    void sendMissionStatus(const nlohmann::json& status) override { client_.sendMissionStatus(status); }
    void sendCanRebootResp(bool can_reboot) override {
        client_.sendCanRebootResp(can_reboot, config_.snapshot()->socketio.access_key);
    }

private:
    car::SioCarClient& client_;
    const config::SharedConfig& config_;
};

// Every report goes through the spool: it is kept until the broker has it.
class MqttLinkAdapter : public MqttPort {
public:
    MqttLinkAdapter(platform::ReportForwarder& forwarder, const config::SharedConfig& config)
        : forwarder_(forwarder), config_(config) {}
    bool publishRequest(const std::string& message) override {
        return forwarder_.submit(config_.snapshot()->mqtt.request_topic, message);
    }

private:
    platform::ReportForwarder& forwarder_;
    const config::SharedConfig& config_;
};

// Keeps the transfers running now, so that a stop that cannot wait for them
// can say which it leaves behind, and tells the statistics how the camera
// (downloads) and the platform (uploads) fare.
class HttpLinkAdapter : public HttpPort {
public:
    HttpLinkAdapter(platform::PlatformHttpClient& client, monitor::StatsManager& stats)
        : client_(client), stats_(stats) {}
    bool downloadFile(const std::string& url, const std::string& path, long* http_status) override {
        const InFlight transfer(*this, {"download of " + url, {}});
        const bool ok = client_.downloadFile(url, path, http_status);
        report(monitor::Peer::CAMERA, ok, http_status);
        return ok;
    }
    bool postFile(const std::string& url, const std::string& path, const std::map<std::string, std::string>& fields,
                  const std::string& field_name, std::string* response, long* http_status) override {
        const InFlight transfer(*this, {"upload of " + path + " to " + url, {url, path, "", fields, field_name, ""}});
        const bool ok = client_.postFile(url, path, fields, field_name, response, http_status);
        report(monitor::Peer::PLATFORM, ok, http_status);
        return ok;
    }
    // "upload of <file> to <url>" or "download of <url>", oldest first.
    std::vector<std::string> transfersInFlight() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const Transfer& t : in_flight_)
            out.push_back(t.what);
        return out;
    }
    // The same, the uploads among them handed to spill first, so that a stop
    // that cannot wait for them does not lose them.
    std::vector<std::string> spoolInFlight(UploadSpill& spill) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const Transfer& t : in_flight_) {
            if (t.upload.url.empty()) {
                out.push_back(t.what);
                continue;
            }
            spill.spool(t.upload);
            out.push_back(t.what + ", kept in the spool");
        }
        return out;
    }

private:
    struct Transfer {
        std::string what;
        SpooledUpload upload;  // url empty for a download
    };
    // Lists one transfer for its lifetime.
    class InFlight {
    public:
        InFlight(HttpLinkAdapter& adapter, Transfer transfer) : adapter_(adapter) {
            std::lock_guard<std::mutex> lock(adapter_.mutex_);
            entry_ = adapter_.in_flight_.insert(adapter_.in_flight_.end(), std::move(transfer));
        }
        ~InFlight() {
            std::lock_guard<std::mutex> lock(adapter_.mutex_);
            adapter_.in_flight_.erase(entry_);
        }
        InFlight(const InFlight&) = delete;
        InFlight& operator=(const InFlight&) = delete;

    private:
        HttpLinkAdapter& adapter_;
        std::list<Transfer>::iterator entry_;
    };

    // A peer that answered is up, even with an error status.
    void report(monitor::Peer peer, bool answered, const long* http_status) {
        const long status = http_status != nullptr ? *http_status : 0;
        if (!answered) {
            stats_.onTransfer(peer, false, "transfer failed");
        } else {
            stats_.onTransfer(peer, true, http_success(status) ? "" : "HTTP " + std::to_string(status));
        }
    }

    platform::PlatformHttpClient& client_;
    monitor::StatsManager& stats_;
    mutable std::mutex mutex_;
    std::list<Transfer> in_flight_;
};

class StatsAdapter : public StatsPort {
public:
    explicit StatsAdapter(monitor::StatsManager& stats) : stats_(stats) {}
    void onMissionStarted(const std::string& mission_id, const std::string& strategy_id, const std::string& point_id,
                          const std::string& action_id, int point_count, const std::string& task_dir,
                          const std::string& start_time) override {
        stats_.onMissionStarted(mission_id, strategy_id, point_id, action_id, point_count, task_dir, start_time);
    }
    void onMissionSuccess(const std::string& end_time) override { stats_.onMissionSuccess(end_time); }
    void onMissionFailed(const std::string& reason, const std::string& end_time) override {
        stats_.onMissionFailed(reason, end_time);
    }
    void onMissionPhotos(int listed, int uploaded, int failed) override {
        stats_.onMissionPhotos(listed, uploaded, failed);
    }
    void onStatusTransition(const std::string& from, const std::string& to) override {
        stats_.onStatusTransition(from, to);
    }
    void updateInternalState(const monitor::InternalState& state) override { stats_.updateInternalState(state); }

private:
    monitor::StatsManager& stats_;
};

}  // namespace kovo::app
