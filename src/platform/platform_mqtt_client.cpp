#include "platform/platform_mqtt_client.h"

#include <mosquitto.h>

#include <climits>
#include <exception>

#include "log/log.h"

namespace kovo::platform {

namespace {

constexpr std::chrono::seconds kReconnectDelay{1};
constexpr std::chrono::seconds kReconnectDelayMax{5};
// After stop() a connected client gets this long to hand its DISCONNECT to
// the broker before the loop gives up on it.
constexpr std::chrono::seconds kDisconnectGrace{2};
constexpr unsigned kMaxInflight = 20;

}  // namespace

PlatformMqttClient::PlatformMqttClient(const config::AppConfig& config)
    : config_(config), backoff_(kReconnectDelay, kReconnectDelayMax, true) {
    mosquitto_lib_init();
    const std::string client_id = config_.mqtt.client_id_prefix + "_" + config_.platform.site_id;
    // Clean start: the broker keeps no subscriptions between connections.
    mosq_ = mosquitto_new(client_id.c_str(), true, this);
    if (mosq_ == nullptr) {
        kovo::log::error() << "[MQTT] Failed to create mosquitto instance";
        return;
    }
    // Our own thread runs the loop: publishes from other threads are queued
    // for it instead of being written from the caller's thread.
    mosquitto_threaded_set(mosq_, true);
    mosquitto_connect_callback_set(mosq_, onConnectWrapper);
    mosquitto_disconnect_callback_set(mosq_, onDisconnectWrapper);
    mosquitto_message_callback_set(mosq_, onMessageWrapper);
    mosquitto_publish_callback_set(mosq_, onPublishWrapper);
    // A long backlog goes out a window at a time instead of flooding the broker.
    mosquitto_max_inflight_messages_set(mosq_, kMaxInflight);
    if (!config_.mqtt.username.empty()) {
        const std::string& password = config_.mqtt.password;
        mosquitto_username_pw_set(mosq_, config_.mqtt.username.c_str(), password.empty() ? nullptr : password.c_str());
    }
}

PlatformMqttClient::~PlatformMqttClient() {
    stop();
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

void PlatformMqttClient::setResponseCallback(std::function<void(const std::string&)> cb) {
    on_response_ = std::move(cb);
}

void PlatformMqttClient::setOnConnected(std::function<void()> cb) { on_connected_ = std::move(cb); }

void PlatformMqttClient::setOnDisconnected(std::function<void()> cb) { on_disconnected_ = std::move(cb); }

void PlatformMqttClient::setOnPublished(std::function<void(int mid)> cb) { on_published_ = std::move(cb); }

bool PlatformMqttClient::start() {
    if (mosq_ == nullptr) return false;
    if (started_) return true;
    // Blocks until the TCP connection is made or fails; the CONNECT packet
    // itself goes out on the loop thread.
    const int rc = mosquitto_connect(mosq_, config_.mqtt.host.c_str(), config_.mqtt.port, config_.mqtt.keepalive);
    if (rc != MOSQ_ERR_SUCCESS) {
        kovo::log::error() << "[MQTT] mosquitto_connect failed: " << mosquitto_strerror(rc);
        // Invalid settings (port out of range, keep-alive below 5 s) can never connect.
        if (rc == MOSQ_ERR_INVAL) return false;
        // A broker not up yet (a network still coming up at boot) must not
        // cut the platform off for the life of the process.
        kovo::log::info() << "[MQTT] Retrying in the background";
    }
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        running_ = true;
    }
    started_ = true;
    loop_thread_ = std::thread(&PlatformMqttClient::loopThread, this, rc != MOSQ_ERR_SUCCESS);
    return rc == MOSQ_ERR_SUCCESS;
}

void PlatformMqttClient::stop() {
    started_ = false;
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        running_ = false;
    }
    stop_cv_.notify_all();
    // Queues the DISCONNECT and wakes the loop thread out of its wait.
    if (mosq_ != nullptr) mosquitto_disconnect(mosq_);
    if (loop_thread_.joinable()) loop_thread_.join();
}

bool PlatformMqttClient::isConnected() const { return connected_; }

bool PlatformMqttClient::publishRequest(const std::string& message) {
    return publish(config_.mqtt.request_topic, message);
}

bool PlatformMqttClient::publish(const std::string& topic, const std::string& message, int* mid) {
    if (mosq_ == nullptr || !connected_) return false;
    std::lock_guard<std::mutex> lock(publish_mutex_);
    const int rc = message.size() > static_cast<size_t>(INT_MAX)
                       ? MOSQ_ERR_PAYLOAD_SIZE
                       : mosquitto_publish(mosq_, mid, topic.c_str(), static_cast<int>(message.size()), message.data(),
                                           config_.mqtt.qos, false);
    if (rc == MOSQ_ERR_SUCCESS) return true;
    kovo::log::error() << "[MQTT] publish failed: " << mosquitto_strerror(rc);
    return false;
}

// libmosquitto's loop_forever, with two differences: the delay before a
// reconnection gives way to stop() at once, and a connection that was never
// made (the broker down at start-up) is tried again like a lost one. The
// attempts are non-blocking, so a broker that drops packets cannot hold
// stop() up either.
void PlatformMqttClient::loopThread(bool connect_first) {
    bool need_connect = connect_first;
    bool stopping = false;
    std::chrono::steady_clock::time_point give_up;
    while (true) {
        if (need_connect) {
            if (!waitUnlessStopped(backoff_.next())) break;
            // A failure here (name resolution, no route) is retried after the next delay.
            if (mosquitto_reconnect_async(mosq_) != MOSQ_ERR_SUCCESS) continue;
            need_connect = false;
        }
        const int rc = mosquitto_loop(mosq_, -1, 1);
        if (!running_) {
            if (!stopping) {
                stopping = true;
                give_up = std::chrono::steady_clock::now() + kDisconnectGrace;
            }
            // A connected client first flushes the DISCONNECT that stop() queued.
            if (rc != MOSQ_ERR_SUCCESS || !connected_ || std::chrono::steady_clock::now() >= give_up) break;
            continue;
        }
        // The connection is lost or the attempt failed; onDisconnect has told
        // whoever needs to know.
        if (rc != MOSQ_ERR_SUCCESS) need_connect = true;
    }
    connected_ = false;
}

bool PlatformMqttClient::waitUnlessStopped(std::chrono::seconds delay) {
    std::unique_lock<std::mutex> lock(stop_mutex_);
    return !stop_cv_.wait_for(lock, delay, [this] { return !running_; });
}

void PlatformMqttClient::onConnect(int rc) {
    if (rc != 0) {
        connected_ = false;
        kovo::log::error() << "[MQTT] Connect failed, rc=" << rc;
        return;
    }
    connected_ = true;
    backoff_.reset();
    if (on_connected_) on_connected_();
    kovo::log::info() << "[MQTT] Connected to broker " << config_.mqtt.host << ":" << config_.mqtt.port;
    // Clean start: the broker forgot the subscription with the old connection.
    const int sub = mosquitto_subscribe(mosq_, nullptr, config_.mqtt.response_topic.c_str(), config_.mqtt.qos);
    if (sub != MOSQ_ERR_SUCCESS) {
        kovo::log::error() << "[MQTT] subscribe failed: " << mosquitto_strerror(sub);
    } else {
        kovo::log::info() << "[MQTT] Subscribed to " << config_.mqtt.response_topic;
    }
}

void PlatformMqttClient::onDisconnect(int rc) {
    // libmosquitto also reports a failed attempt (refused, unreachable,
    // rejected CONNECT) as a disconnection; only the end of an acknowledged
    // connection is one.
    if (!connected_.exchange(false)) return;
    if (on_disconnected_) on_disconnected_();
    if (rc != 0) {
        kovo::log::error() << "[MQTT] Unexpected disconnection, rc=" << rc;
    } else {
        kovo::log::info() << "[MQTT] Disconnected";
    }
}

void PlatformMqttClient::onMessage(const mosquitto_message* message) {
    if (message == nullptr || message->payload == nullptr || message->payloadlen <= 0) return;
    // The whole payload, zero bytes included.
    const std::string text(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    kovo::log::info() << "[MQTT] Received on " << (message->topic != nullptr ? message->topic : "") << ": " << text;
    if (on_response_) on_response_(text);
}

// No exception may unwind through libmosquitto's C frames.
void PlatformMqttClient::onConnectWrapper(mosquitto*, void* self, int rc) {
    kovo::log::guarded("[MQTT] connect handler failed", [&] { static_cast<PlatformMqttClient*>(self)->onConnect(rc); });
}

void PlatformMqttClient::onDisconnectWrapper(mosquitto*, void* self, int rc) {
    kovo::log::guarded("[MQTT] disconnect handler failed",
                       [&] { static_cast<PlatformMqttClient*>(self)->onDisconnect(rc); });
}

void PlatformMqttClient::onPublishWrapper(mosquitto*, void* self, int mid) {
    kovo::log::guarded("[MQTT] publish handler failed", [&] {
        auto* client = static_cast<PlatformMqttClient*>(self);
        if (client->on_published_) client->on_published_(mid);
    });
}

void PlatformMqttClient::onMessageWrapper(mosquitto*, void* self, const mosquitto_message* message) {
    kovo::log::guarded("[MQTT] message handler failed",
                       [&] { static_cast<PlatformMqttClient*>(self)->onMessage(message); });
}

}  // namespace kovo::platform
