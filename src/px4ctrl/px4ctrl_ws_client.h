#pragma once

#include <atomic>
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

struct lws;
struct lws_context;

namespace kovo::px4ctrl {

// One WebSocket connection to px4ctrl for the whole life of the process:
// login, continuous state requests, the latest pushed state document, and the
// mission command. Reconnects by itself with a back-off delay.
class Px4ctrlWsClient {
public:
    explicit Px4ctrlWsClient(const config::AppConfig& config);
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

    // Both run on the service thread; what they throw is logged.
    void setOnConnected(std::function<void()> cb);
    void setOnDisconnected(std::function<void()> cb);

private:
    // The libwebsockets side (context, connection, timers, buffers), touched
    // only on the service thread, and during start and stop.
    struct Link;

    void runService();
    void connectClient();
    void scheduleReconnect();
    void doRetry();
    void onEstablished(lws* wsi);
    int onReceive(lws* wsi, const char* data, size_t len);
    int handleMessage(lws* wsi, std::string_view text);
    int sendFrame(lws* wsi);
    void onWake();
    void onTick();
    void requestWritable();

    const config::AppConfig::Px4ctrl settings_;
    const std::string host_;
    const int port_;
    const std::string login_text_;
    std::unique_ptr<Link> link_;
    std::thread service_thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> logined_{false};

    PendingCommand pending_;
    std::mutex mutex_;  // guards state_ and context_
    StateDocument state_;
    lws_context* context_ = nullptr;  // for waking the service thread

    std::function<void()> on_connected_;
    std::function<void()> on_disconnected_;
};

}  // namespace kovo::px4ctrl
