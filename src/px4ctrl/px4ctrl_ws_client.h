#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <nlohmann/json.hpp>

#include "config/app_config.h"
#include "px4ctrl/pending_command.h"
#include "px4ctrl/state_document.h"

namespace kovo::px4ctrl {

// One WebSocket connection to px4ctrl for the whole life of the process:
// login, paced state requests, the latest pushed state document, and the
// mission command. Reconnects by itself with a back-off delay. The network
// work runs on a thread of its own that sleeps until a socket event, a
// command or one of its timers.
class Px4ctrlWsClient {
public:
    explicit Px4ctrlWsClient(const config::AppConfig& config);
    ~Px4ctrlWsClient();
    Px4ctrlWsClient(const Px4ctrlWsClient&) = delete;
    Px4ctrlWsClient& operator=(const Px4ctrlWsClient&) = delete;

    // False only when the link's thread cannot be started.
    bool start();
    void stop();

    bool isConnected() const;
    bool isLogined() const;
    // Successful logins so far: a change means the link was lost and made
    // again meanwhile.
    uint64_t loginCount() const;

    // A copy of the last accepted state document; an empty object before the
    // first push. Kept across disconnections.
    nlohmann::json getState();

    // Queues the command; the link's thread sends it at once. False when not
    // connected and logged in, or when the text does not fit the send buffer
    // (a cut mission command would fly wrong heights).
    bool sendCmd(const std::string& cmd);

    // Both run on the link's thread; what they throw is logged.
    void setOnConnected(std::function<void()> cb);
    void setOnDisconnected(std::function<void()> cb);

private:
    // The network side (event loop, socket, timers, buffers), touched only on
    // the link's thread, and during start and stop.
    struct Link;

    const config::AppConfig::Px4ctrl settings_;
    const std::string host_;
    const int port_;
    const std::string login_text_;
    std::unique_ptr<Link> link_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> logined_{false};
    std::atomic<uint64_t> logins_{0};

    PendingCommand pending_;
    std::mutex mutex_;  // guards state_
    StateDocument state_;

    std::function<void()> on_connected_;
    std::function<void()> on_disconnected_;
};

}  // namespace kovo::px4ctrl
