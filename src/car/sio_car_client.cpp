#include "car/sio_car_client.h"

#include <exception>
#include <map>
#include <string>
#include <utility>

#include "car/sio/client.h"
#include "car/sio_msg_json.h"
#include "log/log.h"

namespace kovo::car {

namespace {

// Payloads received from the car are shown green, payloads sent yellow.
constexpr kovo::log::Colour kRxColour = kovo::log::Colour::GREEN;
constexpr kovo::log::Colour kTxColour = kovo::log::Colour::YELLOW;

// The car's strings may hold invalid UTF-8: replaced, never thrown on.
std::string dump_text(const nlohmann::json& value, int indent = -1) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

const sio::Message* first_argument(const sio::Event& event) {
    return event.args.empty() ? nullptr : &event.args.front();
}

}  // namespace

SioCarClient::SioCarClient(const config::AppConfig& config)
    : config_(config),
      uri_(config.socketio.uri),
      access_key_(config.socketio.access_key),
      client_(std::make_unique<sio::Client>()) {
    client_->setReconnectAttempts(config.socketio.reconnect_attempts);
    client_->setReconnectDelay(std::chrono::milliseconds(config.socketio.reconnect_delay_ms));
    client_->setOpenListener([this] { onConnected(); });
    client_->setFailListener([] { kovo::log::error() << "[SIO] Connection failed"; });
    client_->setReconnectingListener([] { kovo::log::info() << "[SIO] Reconnecting..."; });
    client_->setGiveUpListener([this](unsigned attempts) {
        kovo::log::error() << "[SIO] Giving up after " << attempts
                           << " reconnection attempts; no missions can be received until restart";
        if (on_gave_up_) on_gave_up_(attempts);
    });
    client_->setCloseListener([this](sio::CloseReason reason) {
        kovo::log::info() << "SIO close: " << static_cast<int>(reason);
        connected_ = false;
        if (on_disconnected_) on_disconnected_();
    });
    // Set once here rather than on each open, so that a server refusing the
    // namespace before the first open is logged too.
    client_->setSocketErrorListener([](const sio::Message* error) {
        std::string text = "unknown";
        if (error != nullptr) text = error->is_string() ? error->get<std::string>() : dump_text(*error);
        kovo::log::error() << "[SIO] Socket error: " << text;
    });
}

SioCarClient::~SioCarClient() {
    stop();
    client_.reset();
}

void SioCarClient::setMissionCallback(std::function<void(const nlohmann::json&)> cb) { mission_cb_ = std::move(cb); }
void SioCarClient::setRebootQueryCallback(std::function<void()> cb) { reboot_query_cb_ = std::move(cb); }
void SioCarClient::setOnConnected(std::function<void()> cb) { on_connected_ = std::move(cb); }
void SioCarClient::setOnDisconnected(std::function<void()> cb) { on_disconnected_ = std::move(cb); }
void SioCarClient::setOnGaveUp(std::function<void(unsigned)> cb) { on_gave_up_ = std::move(cb); }

bool SioCarClient::start() {
    const std::map<std::string, std::string> query{{"accessKey", access_key_},
                                                   {"clientType", config_.socketio.client_type}};
    try {
        client_->connect(uri_, query);
    } catch (const std::exception& e) {
        kovo::log::error() << "SIO connect exception: " << e.what();
        return false;
    }
    return true;
}

void SioCarClient::stop() {
    if (client_) client_->close();
}

bool SioCarClient::isConnected() const { return connected_; }

void SioCarClient::onConnected() {
    kovo::log::info() << "SIO connected to car server";
    connected_ = true;
    if (on_connected_) on_connected_();
    kovo::log::info() << "[SIO] namespace=" << sio::Client::nsp() << " sessionid=" << client_->sessionId();
    // Registering a name again replaces its handler: after a reconnection
    // each event still has exactly one.
    client_->on("connect", [](const sio::Event&) { kovo::log::info() << "[SIO] Socket event: connect"; });
    client_->on("disconnect", [](const sio::Event&) { kovo::log::info() << "[SIO] Socket event: disconnect"; });
    client_->on("message", [this](const sio::Event& event) { onMessageEvent(event); });
    const auto& events = config_.socketio.events;
    kovo::log::info() << "[SIO] Listening events: mission='" << events.mission << "' reboot_query='"
                      << events.reboot_query << "' realtime='" << events.realtime_status << "' mission_status='"
                      << events.mission_status << "'";
    client_->on(events.mission, [this](const sio::Event& event) { onMissionEvent(event); });
    client_->on(events.reboot_query, [this](const sio::Event& event) { onRebootQueryEvent(event); });
}

void SioCarClient::onMessageEvent(const sio::Event& event) {
    const sio::Message* message = first_argument(event);
    std::string shown;
    if (message == nullptr)
        shown = "(empty)";
    else if (message->is_string())
        shown = message->get<std::string>();
    else
        shown = "(non-string)";
    kovo::log::info(kRxColour) << "[SIO] RX Socket event: message -> " << shown;
}

nlohmann::json SioCarClient::receivePayload(const sio::Event& event) {
    const sio::Message* message = first_argument(event);
    nlohmann::json payload = sio_msg_to_json(message);
    const std::string flag = message == nullptr ? "null" : std::to_string(static_cast<int>(sio::kind_of(*message)));
    kovo::log::info(kRxColour) << "[SIO] RX " << event.name << " (flag=" << flag << "):\n" << dump_text(payload, 2);
    return payload;
}

void SioCarClient::onMissionEvent(const sio::Event& event) {
    try {
        const nlohmann::json payload = receivePayload(event);
        if (mission_cb_) mission_cb_(payload);
    } catch (const std::exception& e) {
        kovo::log::error() << event.name << " parse error: " << e.what();
    }
}

void SioCarClient::onRebootQueryEvent(const sio::Event& event) {
    try {
        receivePayload(event);
    } catch (const std::exception& e) {
        kovo::log::error() << event.name << " parse error: " << e.what();
    }
    // The question is answered even when its payload could not be read.
    if (reboot_query_cb_) reboot_query_cb_();
}

void SioCarClient::emitText(const std::string& event, const nlohmann::json& payload, bool log) {
    if (!connected_) return;
    const std::string text = dump_text(payload);
    if (log) kovo::log::info(kTxColour) << "[SIO] TX " << event << ": " << text;
    client_->emit(event, text);
}

void SioCarClient::sendRealtimeStatus(const nlohmann::json& status) {
    emitText(config_.socketio.events.realtime_status, status, false);
}

void SioCarClient::sendMissionStatus(const nlohmann::json& status) {
    emitText(config_.socketio.events.mission_status, status, true);
}

void SioCarClient::sendCanRebootResp(bool can_reboot, const std::string& access_key) {
    // Members sort by name, so the text lists accessKey before can_reboot_uav.
    const nlohmann::json answer{{"accessKey", access_key}, {"can_reboot_uav", can_reboot ? "1" : "0"}};
    emitText(config_.socketio.events.reboot_query, answer, true);
}

}  // namespace kovo::car
