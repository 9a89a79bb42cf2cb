#include "px4ctrl/px4ctrl_ws_client.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include <libwebsockets.h>

#include "log/log.h"
#include "px4ctrl/message_assembler.h"
#include "px4ctrl/outgoing_frame.h"
#include "px4ctrl/px4ctrl_message.h"
#include "px4ctrl/reconnect_delays.h"

namespace kovo::px4ctrl {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// While logged in and no push arrives, a state request still leaves this often.
constexpr auto kIdleRequestPeriod = 500ms;
// After a message that was not an accepted push, the next request waits this.
constexpr auto kMessageRequestGap = 200ms;
// A refused login is tried again after this pause, not at network speed: a
// wrong password would otherwise fill the log thousands of times a second.
constexpr auto kLoginRetryPause = 1000ms;
// A refused command is logged with at most this many characters.
constexpr size_t kLoggedCommandChars = 80;

std::string shortened(const std::string& text) {
    if (text.size() <= kLoggedCommandChars) return text;
    return text.substr(0, kLoggedCommandChars) + "...";
}

}  // namespace

struct Px4ctrlWsClient::Link {
    // A timer entry that knows its link: the library hands back only the entry.
    struct Timer {
        lws_sorted_usec_list_t sul{};
        Link* link = nullptr;
    };

    Link(Px4ctrlWsClient& client, const config::AppConfig::Px4ctrl& s)
        : owner(client),
          protocol_name(s.ws_protocol.empty() ? "px4ctrl" : s.ws_protocol),
          delays(s.reconnect_backoff_ms),
          frame(LWS_PRE, s.write_buffer_size) {
        std::memset(protocols, 0, sizeof protocols);
        protocols[0].name = protocol_name.c_str();
        protocols[0].callback = &Link::callback;
        connect_timer.link = tick_timer.link = login_timer.link = this;
    }

    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);
    static Link& of(lws_sorted_usec_list_t* sul) { return *reinterpret_cast<Timer*>(sul)->link; }
    static void connectCb(lws_sorted_usec_list_t* sul);
    static void tickCb(lws_sorted_usec_list_t* sul);
    static void loginCb(lws_sorted_usec_list_t* sul);

    void schedule(Timer& timer, sul_cb_t cb, std::chrono::microseconds delay) {
        lws_sul_schedule(context, 0, &timer.sul, cb, std::max<lws_usec_t>(delay.count(), 0));
    }
    void cancelTimers() {
        lws_sul_cancel(&connect_timer.sul);
        lws_sul_cancel(&tick_timer.sul);
        lws_sul_cancel(&login_timer.sul);
    }
    std::chrono::milliseconds tickPeriod() const {
        return std::chrono::milliseconds(std::max(owner.settings_.service_timeout_ms, 1));
    }

    Px4ctrlWsClient& owner;
    std::string protocol_name;
    lws_protocols protocols[2];  // ours, then the terminating empty entry
    lws_context* context = nullptr;
    lws* wsi = nullptr;
    Timer connect_timer;
    Timer tick_timer;
    Timer login_timer;
    // One delay is taken per lost attempt, even when the library reports the
    // failure both by an event and by the connect call's result.
    bool reconnect_scheduled = false;
    ReconnectDelays delays;
    FrameBuffer frame;
    MessageAssembler assembler;
    Clock::time_point last_write_request = Clock::now();
    bool login_paused = false;  // after a refused login, until login_timer fires
};

int Px4ctrlWsClient::Link::callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    auto* link = wsi ? static_cast<Link*>(lws_context_user(lws_get_context(wsi))) : nullptr;
    if (link) {
        Px4ctrlWsClient& client = link->owner;
        switch (reason) {
        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR: {
            const char* text = static_cast<const char*>(in);
            if (text && *text) {
                kovo::log::error() << "[PX4] Connection error: " << text;
            } else {
                kovo::log::error() << "[PX4] Connection error (unknown)";
            }
            client.doRetry();
            break;
        }
        case LWS_CALLBACK_CLIENT_ESTABLISHED:
            client.onEstablished(wsi);
            break;
        case LWS_CALLBACK_CLIENT_RECEIVE:
            if (client.onReceive(wsi, static_cast<const char*>(in), len) < 0) return -1;
            break;
        case LWS_CALLBACK_CLIENT_WRITEABLE:
            if (client.sendFrame(wsi) < 0) return -1;
            break;
        case LWS_CALLBACK_CLIENT_CLOSED:
            client.doRetry();
            break;
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            client.onWake();
            break;
        default:
            break;
        }
    }
    return lws_callback_http_dummy(wsi, reason, user, in, len);
}

void Px4ctrlWsClient::Link::connectCb(lws_sorted_usec_list_t* sul) {
    Link& link = of(sul);
    link.reconnect_scheduled = false;
    link.owner.connectClient();
}

void Px4ctrlWsClient::Link::tickCb(lws_sorted_usec_list_t* sul) {
    Link& link = of(sul);
    link.owner.onTick();
    if (link.owner.running_) link.schedule(link.tick_timer, &Link::tickCb, link.tickPeriod());
}

void Px4ctrlWsClient::Link::loginCb(lws_sorted_usec_list_t* sul) {
    Link& link = of(sul);
    link.login_paused = false;
    if (link.wsi && !link.owner.logined_) lws_callback_on_writable(link.wsi);
}

Px4ctrlWsClient::Px4ctrlWsClient(const config::AppConfig& config)
    : settings_(config.px4ctrl),
      host_(config.px4ctrl.host),
      port_(config.px4ctrl.port),
      login_text_(config.px4ctrl.login_cmd + config.px4ctrl.login_password),
      link_(std::make_unique<Link>(*this, settings_)) {}

Px4ctrlWsClient::~Px4ctrlWsClient() { stop(); }

bool Px4ctrlWsClient::start() {
    Link& l = *link_;
    if (l.context) return true;
    running_ = true;
    // The library's notices (version, build options) are not ours to print.
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);

    lws_context_creation_info info;
    std::memset(&info, 0, sizeof info);
    info.port = settings_.lws_context_port;
    info.protocols = l.protocols;
    info.user = &l;
    if (settings_.ssl_connection) info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    l.context = lws_create_context(&info);
    if (!l.context) {
        running_ = false;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        context_ = l.context;
    }
    // Timers are set before the service thread exists: the library's
    // scheduler may only be touched from the thread that services it.
    l.reconnect_scheduled = true;
    l.schedule(l.connect_timer, &Link::connectCb, std::chrono::microseconds(settings_.initial_schedule_delay_us));
    l.schedule(l.tick_timer, &Link::tickCb, l.tickPeriod());
    service_thread_ = std::thread(&Px4ctrlWsClient::runService, this);
    return true;
}

void Px4ctrlWsClient::stop() {
    Link& l = *link_;
    running_ = false;
    if (!l.context) return;
    // Wake the service thread and wait for it, so that destroying the
    // context never overlaps a service call.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lws_cancel_service(context_);
    }
    if (service_thread_.joinable()) service_thread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        context_ = nullptr;
    }
    l.cancelTimers();
    // Closing the connection delivers its close event here, on this thread.
    lws_context_destroy(l.context);
    l.context = nullptr;
    l.wsi = nullptr;
}

bool Px4ctrlWsClient::isConnected() const { return connected_; }

bool Px4ctrlWsClient::isLogined() const { return logined_; }

nlohmann::json Px4ctrlWsClient::getState() {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.get();
}

bool Px4ctrlWsClient::sendCmd(const std::string& cmd) {
    // A cut mission command would fly a wrong list of heights.
    if (!link_->frame.fits(cmd)) {
        kovo::log::error() << "[PX4] Command of " << cmd.size() << " bytes exceeds the " << link_->frame.capacity()
                           << "-byte send limit, refused: " << shortened(cmd);
        return false;
    }
    if (!connected_ || !logined_ || !pending_.queue(cmd)) return false;
    // Only this call is safe from another thread; the service thread then
    // asks for the writable event itself.
    std::lock_guard<std::mutex> lock(mutex_);
    if (context_) lws_cancel_service(context_);
    return true;
}

void Px4ctrlWsClient::setOnConnected(std::function<void()> cb) { on_connected_ = std::move(cb); }

void Px4ctrlWsClient::setOnDisconnected(std::function<void()> cb) { on_disconnected_ = std::move(cb); }

void Px4ctrlWsClient::runService() {
    while (running_) {
        if (lws_service(link_->context, 0) < 0) {
            kovo::log::error() << "[PX4] WebSocket service failed, link stopped";
            break;
        }
    }
}

void Px4ctrlWsClient::connectClient() {
    Link& l = *link_;
    kovo::log::info() << "[PX4] Connecting to " << host_ << ":" << port_ << settings_.ws_path;
    lws_client_connect_info info;
    std::memset(&info, 0, sizeof info);
    info.context = l.context;
    info.address = host_.c_str();
    info.port = port_;
    info.ssl_connection = settings_.ssl_connection ? LCCSCF_USE_SSL : 0;
    info.path = settings_.ws_path.c_str();
    info.host = host_.c_str();
    info.origin = host_.c_str();
    info.protocol = settings_.ws_protocol.empty() ? nullptr : settings_.ws_protocol.c_str();
    info.local_protocol_name = l.protocol_name.c_str();
    info.userdata = this;
    info.pwsi = &l.wsi;
    if (!lws_client_connect_via_info(&info)) {
        kovo::log::error() << "[PX4] lws_client_connect_via_info failed";
        scheduleReconnect();
    }
}

void Px4ctrlWsClient::scheduleReconnect() {
    Link& l = *link_;
    if (l.reconnect_scheduled) return;
    l.reconnect_scheduled = true;
    l.schedule(l.connect_timer, &Link::connectCb, std::chrono::milliseconds(l.delays.nextMs(l.context)));
}

void Px4ctrlWsClient::doRetry() {
    Link& l = *link_;
    // Nothing may unwind through libwebsockets' C frames.
    if (connected_ && on_disconnected_) kovo::log::guarded("[PX4] disconnected handler failed", on_disconnected_);
    l.wsi = nullptr;
    connected_ = false;
    logined_ = false;
    lws_sul_cancel(&l.login_timer.sul);
    l.assembler.reset();
    // The start sequence retries on its own; the command is not kept.
    if (const auto discarded = pending_.close()) {
        kovo::log::error() << "[PX4] Connection lost, pending command discarded: " << *discarded;
    }
    if (l.context && running_) scheduleReconnect();
}

void Px4ctrlWsClient::onEstablished(lws* wsi) {
    Link& l = *link_;
    kovo::log::info() << "[PX4] WebSocket established";
    l.wsi = wsi;
    connected_ = true;
    logined_ = false;
    l.login_paused = false;
    l.assembler.reset();
    pending_.open();
    if (on_connected_) kovo::log::guarded("[PX4] connected handler failed", on_connected_);
    lws_callback_on_writable(wsi);
}

int Px4ctrlWsClient::onReceive(lws* wsi, const char* data, size_t len) {
    Link& l = *link_;
    const bool last = lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0;
    switch (l.assembler.add(data, len, last)) {
    case MessageAssembler::Result::INCOMPLETE:
        return 0;
    case MessageAssembler::Result::OVERSIZE:
        kovo::log::error() << "[PX4] Message of " << l.assembler.droppedSize() << " bytes exceeds the "
                           << kMaxMessageBytes << "-byte limit, dropped";
        return 0;
    case MessageAssembler::Result::COMPLETE:
        break;
    }
    return handleMessage(wsi, l.assembler.message());
}

int Px4ctrlWsClient::handleMessage(lws* wsi, std::string_view text) {
    using Kind = ScannedMessage::Kind;
    Link& l = *link_;
    if (text.empty()) return 0;
    const ScannedMessage message = scan_message(text);
    switch (message.kind) {
    case Kind::NOT_OBJECT:
        return 0;
    case Kind::MALFORMED:
        kovo::log::error() << "[PX4] JSON parse error: " << message.error;
        return 0;
    case Kind::TOO_DEEP:
        kovo::log::error() << "[PX4] Message nested deeper than " << kMaxNesting << " levels, dropped";
        return 0;
    case Kind::OBJECT:
        break;
    }

    const MessageMeaning meaning = classify_message(message, settings_);
    if (meaning.login_reply) {
        logined_ = meaning.login_ok;
        kovo::log::info() << "[PX4] Login result: " << (meaning.login_ok ? "success" : "failed");
        if (meaning.login_ok) {
            requestWritable();
        } else {
            l.login_paused = true;
            l.schedule(l.login_timer, &Link::loginCb, kLoginRetryPause);
        }
    }
    const auto now = Clock::now();
    if (meaning.state_push) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_.set(message.state);
        }
        l.last_write_request = now;
        // The answer to a push leaves at once, as the writable event would
        // send it, sparing a round of the event loop per message; only output
        // still queued in the library makes it wait for the writable event.
        if (!lws_partial_buffered(wsi)) return sendFrame(wsi);
        requestWritable();
    }
    if (logined_ && now - l.last_write_request >= kMessageRequestGap) {
        requestWritable();
        l.last_write_request = now;
    }
    return 0;
}

int Px4ctrlWsClient::sendFrame(lws* wsi) {
    Link& l = *link_;
    const bool logined = logined_;
    const std::optional<std::string> cmd = logined ? pending_.take() : std::nullopt;
    const FrameKind kind = next_frame(logined, cmd.has_value(), l.login_paused);
    std::string_view text;
    switch (kind) {
    case FrameKind::NONE:
        return 0;
    case FrameKind::COMMAND:
        text = *cmd;
        break;
    case FrameKind::LOGIN:
        text = login_text_;
        break;
    case FrameKind::STATE_REQUEST:
        text = settings_.state_cmd;
        break;
    }
    const size_t len = l.frame.load(text);
    if (lws_write(wsi, l.frame.payload(), len, LWS_WRITE_TEXT) < 0) {
        if (kind == FrameKind::COMMAND) {
            kovo::log::error() << "[PX4] Send failed, command discarded: " << *cmd;
        } else {
            kovo::log::error() << "[PX4] Send failed, closing the connection";
        }
        return -1;
    }
    return 0;
}

void Px4ctrlWsClient::onWake() {
    if (logined_ && pending_.waiting()) requestWritable();
}

void Px4ctrlWsClient::onTick() {
    Link& l = *link_;
    const auto now = Clock::now();
    if (logined_ && l.wsi && now - l.last_write_request >= kIdleRequestPeriod) {
        lws_callback_on_writable(l.wsi);
        l.last_write_request = now;
    }
}

void Px4ctrlWsClient::requestWritable() {
    if (link_->wsi) lws_callback_on_writable(link_->wsi);
}

}  // namespace kovo::px4ctrl
