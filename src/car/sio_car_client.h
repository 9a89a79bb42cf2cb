#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

// The daemon's link to the car's socket.io server: mission and reboot-query
// events in, realtime status, mission status and reboot answer out.
class SioCarClient {
public:
    explicit SioCarClient(const AppConfig& config);
    ~SioCarClient();
    SioCarClient(const SioCarClient&) = delete;
    SioCarClient& operator=(const SioCarClient&) = delete;

    void setMissionCallback(std::function<void(const nlohmann::json&)> cb);
    void setRebootQueryCallback(std::function<void()> cb);
    void setOnConnected(std::function<void()> cb);
    void setOnDisconnected(std::function<void()> cb);

    // Launches the connection; the outcome arrives through the listeners.
    bool start();
    void stop();
    bool isConnected() const;

    // Each emit does nothing (and logs nothing) while the link is down.
    void sendRealtimeStatus(const nlohmann::json& status);
    void sendMissionStatus(const nlohmann::json& status);
    void sendCanRebootResp(bool can_reboot);

    // Implementation members are the car link's own (see the .cpp).
};
