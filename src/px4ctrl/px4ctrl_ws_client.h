#pragma once

#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

// One WebSocket connection to px4ctrl for the whole life of the process:
// login, continuous state requests, the latest pushed state document, and the
// mission command. Reconnects by itself with a back-off delay.
class Px4ctrlWsClient {
public:
    explicit Px4ctrlWsClient(const AppConfig& config);
    ~Px4ctrlWsClient();
    Px4ctrlWsClient(const Px4ctrlWsClient&) = delete;
    Px4ctrlWsClient& operator=(const Px4ctrlWsClient&) = delete;

    bool start();
    void stop();

    bool isConnected() const;
    bool isLogined() const;

    // A copy of the last accepted state document; an empty object before the
    // first push. Kept across disconnections.
    nlohmann::json getState();

    // Queues the command for the next writable event while logged in. False
    // when not connected and logged in, or when the text does not fit the
    // send buffer (a cut mission command would fly wrong heights).
    bool sendCmd(const std::string& cmd);

    void setOnConnected(std::function<void()> cb);
    void setOnDisconnected(std::function<void()> cb);

    // Implementation members are the px4ctrl link's own (see the .cpp).
};
