#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "config/app_config.h"
#include "platform/reconnect_backoff.h"

struct mosquitto;
struct mosquitto_message;

namespace kovo::platform {

// Request/response traffic with the operator platform over an MQTT broker.
// libmosquitto's network loop runs on a thread of this client; it reconnects
// after a loss with delays of 1 s growing to 5 s and subscribes to the
// response topic after every connection.
class PlatformMqttClient {
public:
    explicit PlatformMqttClient(const config::AppConfig& config);
    ~PlatformMqttClient();
    PlatformMqttClient(const PlatformMqttClient&) = delete;
    PlatformMqttClient& operator=(const PlatformMqttClient&) = delete;

    // The callbacks run on the loop thread and must not block for long.
    void setResponseCallback(std::function<void(const std::string&)> cb);
    void setOnConnected(std::function<void()> cb);
    void setOnDisconnected(std::function<void()> cb);
    // A publish with this message id is done: acknowledged by the broker
    // (QoS 1 and 2) or written to the socket (QoS 0).
    void setOnPublished(std::function<void(int mid)> cb);

    // False when the broker could not be reached at once; the client still
    // keeps trying in the background and subscribes once connected. Once
    // started (reached or not), a second start does nothing and returns true.
    bool start();
    // Disconnects and joins the loop thread; returns within about three
    // seconds whatever the broker does (a hanging name lookup aside).
    void stop();
    bool isConnected() const;
    // False while no connection is acknowledged: the message is dropped.
    bool publishRequest(const std::string& message);
    // The same on topic (a request topic changed while running).
    bool publish(const std::string& topic, const std::string& message, int* mid = nullptr);

private:
    void loopThread(bool connect_first);
    // Sleeps for delay unless stop() comes first; false when stopping.
    bool waitUnlessStopped(std::chrono::seconds delay);
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onMessage(const mosquitto_message* message);
    static void onConnectWrapper(mosquitto* mosq, void* self, int rc);
    static void onDisconnectWrapper(mosquitto* mosq, void* self, int rc);
    static void onPublishWrapper(mosquitto* mosq, void* self, int mid);
    static void onMessageWrapper(mosquitto* mosq, void* self, const mosquitto_message* message);

    const config::AppConfig& config_;
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> connected_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> started_{false};
    std::thread loop_thread_;
    std::function<void(const std::string&)> on_response_;
    std::function<void()> on_connected_;
    std::function<void()> on_disconnected_;
    std::function<void(int)> on_published_;
    std::mutex publish_mutex_;
    // Wakes the loop thread out of a reconnection delay when stop() comes.
    std::mutex stop_mutex_;
    std::condition_variable stop_cv_;
    // Touched on the loop thread only.
    ReconnectBackoff backoff_;
};

}  // namespace kovo::platform
