#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

namespace kovo::car {

namespace sio {
class Client;
struct Event;
}  // namespace sio

// The daemon's link to the car's socket.io server: mission and reboot-query
// events in, realtime status, mission status and reboot answer out.
class SioCarClient {
public:
    explicit SioCarClient(const config::AppConfig& config);
    ~SioCarClient();
    SioCarClient(const SioCarClient&) = delete;
    SioCarClient& operator=(const SioCarClient&) = delete;

    void setMissionCallback(std::function<void(const nlohmann::json&)> cb);
    void setRebootQueryCallback(std::function<void()> cb);
    void setOnConnected(std::function<void()> cb);
    void setOnDisconnected(std::function<void()> cb);
    // The link gave up reconnecting (after that many attempts): no mission
    // can arrive until the daemon is restarted.
    void setOnGaveUp(std::function<void(unsigned attempts)> cb);

    // Launches the connection; the outcome arrives through the listeners.
    bool start();
    void stop();
    bool isConnected() const;

    // Each emit does nothing (and logs nothing) while the link is down.
    void sendRealtimeStatus(const nlohmann::json& status);
    void sendMissionStatus(const nlohmann::json& status);
    // access_key: the current one, which may differ from the one the link
    // presented when it connected.
    void sendCanRebootResp(bool can_reboot, const std::string& access_key);

private:
    void onConnected();
    void onMessageEvent(const sio::Event& event);
    void onMissionEvent(const sio::Event& event);
    void onRebootQueryEvent(const sio::Event& event);
    // Converts and logs an incoming payload; throws what the conversion throws.
    nlohmann::json receivePayload(const sio::Event& event);
    // Logs (when asked) and emits one status text; nothing while down.
    void emitText(const std::string& event, const nlohmann::json& payload, bool log);

    const config::AppConfig& config_;
    std::string uri_;
    std::string access_key_;
    std::unique_ptr<sio::Client> client_;
    std::atomic<bool> connected_{false};
    std::function<void(const nlohmann::json&)> mission_cb_;
    std::function<void()> reboot_query_cb_;
    std::function<void()> on_connected_;
    std::function<void()> on_disconnected_;
    std::function<void(unsigned)> on_gave_up_;
};

}  // namespace kovo::car
