#pragma once

#include <functional>
#include <string>

#include "config/app_config.h"

// Request/response traffic with the operator platform over an MQTT broker.
class PlatformMqttClient {
public:
    explicit PlatformMqttClient(const AppConfig& config);
    ~PlatformMqttClient();
    PlatformMqttClient(const PlatformMqttClient&) = delete;
    PlatformMqttClient& operator=(const PlatformMqttClient&) = delete;

    void setResponseCallback(std::function<void(const std::string&)> cb);
    void setOnConnected(std::function<void()> cb);
    void setOnDisconnected(std::function<void()> cb);

    // False when the broker could not be reached at once; the client still
    // keeps trying in the background and subscribes once connected.
    bool start();
    void stop();
    bool isConnected() const;
    bool publishRequest(const std::string& message);

    // Implementation members are the platform link's own (see the .cpp).
};
