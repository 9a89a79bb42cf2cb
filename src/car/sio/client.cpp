#include "car/sio/client.h"

#include <libwebsockets.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "car/sio/reconnect.h"
#include "car/sio/session.h"
#include "car/sio/uri.h"
#include "log/log.h"

namespace kovo::car::sio {

namespace {

using Clock = Session::Clock;

// Frames waiting for the service thread: a car that stops reading must not
// make the daemon's memory grow without end.
constexpr std::size_t kMaxQueuedFrames = 1024;
// Largest frame accepted from the server; a larger one is dropped.
constexpr std::size_t kMaxMessageBytes = 16u << 20;
// libwebsockets hands received data over in pieces of this size at most; a
// frame is put back together from them.
constexpr std::size_t kRxChunkBytes = 64 * 1024;
// How long close() lets the close handshake run before it gives up.
constexpr std::chrono::milliseconds kCloseGrace{1000};
// Seconds that a polite close may take before the connection is cut.
constexpr int kPoliteCloseSeconds = 2;

int service_callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len);

const lws_protocols kProtocols[] = {
    {"kovo-sio", service_callback, 0, kRxChunkBytes, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// libwebsockets' own idle pings are not needed: Engine.IO pings above it.
// The figures only keep lws from hanging up on its own.
const lws_retry_bo_t kIdlePolicy = {nullptr, 0, 0, 65535, 65535, 0};

}  // namespace

struct Client::Impl final : SessionSink {
    // A scheduled callback of the service thread; the list element comes
    // first so that the callback can find its owner.
    struct Timer {
        lws_sorted_usec_list_t sul;
        Impl* owner;
    };

    enum class Link { IDLE, CONNECTING, CONNECTED, WAITING_RETRY, FINISHED };

    Impl() {
        for (Timer* t : {&session_timer, &retry_timer, &shutdown_timer}) {
            std::memset(&t->sul, 0, sizeof t->sul);
            t->owner = this;
        }
    }

    // Settings and listeners: written before connect, read by the service thread.
    std::function<void()> on_open;
    std::function<void()> on_fail;
    std::function<void()> on_reconnecting;
    std::function<void(unsigned)> on_give_up;
    std::function<void(CloseReason)> on_close;
    std::function<void(const Message*)> on_error;
    int reconnect_attempts = 0;
    std::chrono::milliseconds reconnect_delay{1000};
    const SessionLimits limits{};

    std::mutex handlers_mutex;
    std::map<std::string, EventHandler> handlers;

    // Shared with the threads that emit.
    mutable std::mutex mutex;
    lws_context* ctx = nullptr;
    std::deque<std::string> queue;
    bool open = false;
    std::string session_id;
    std::atomic<bool> stop_requested{false};
    std::thread thread;

    // The service thread's own state.
    bool uri_ok = false;
    std::string uri_error;
    ServerAddress address;
    std::string path;
    std::string host_header;
    Link link = Link::IDLE;
    std::uintptr_t attempt = 0;  // tags the connection of the current attempt
    lws* wsi = nullptr;
    std::vector<lws*> closing;  // connections given up, closing in the background
    std::optional<Session> session;
    std::optional<SessionEnd> session_end;
    std::optional<CloseReason> peer_close;
    bool was_opened = false;
    ReconnectBudget budget{0, std::chrono::milliseconds(0)};
    std::string rx;
    bool rx_binary = false;
    bool rx_discard = false;
    std::vector<unsigned char> tx;
    Timer session_timer{};
    Timer retry_timer{};
    Timer shutdown_timer{};
    bool shutting_down = false;
    bool finished = false;
    // Set while the context is destroyed (after the service thread ended):
    // the callbacks lws makes then must not reach any listener.
    bool destroying = false;

    template <typename Fn, typename... Args>
    void call(const char* what, const Fn& fn, Args&&... args) {
        if (!fn) return;
        kovo::log::guarded(std::string("[SIO] ") + what + " threw", [&] { fn(std::forward<Args>(args)...); });
    }

    // ---- SessionSink (service thread) ----
    void sendFrame(std::string frame) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(std::move(frame));
        }
        if (wsi != nullptr) lws_callback_on_writable(wsi);
    }

    void opened(const std::string& sid) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
            session_id = sid;
        }
        was_opened = true;
        budget.reset();
        call("open listener", on_open);
    }

    void eventReceived(Event event) override {
        EventHandler handler;
        {
            std::lock_guard<std::mutex> lock(handlers_mutex);
            const auto it = handlers.find(event.name);
            if (it != handlers.end()) handler = it->second;
        }
        call("handler", handler, event);
        // The server waits for the acknowledgement whether or not a handler ran.
        if (event.ack_id) sendFrame(encode_ack(*event.ack_id));
    }

    void serverError(const Message* data) override { call("socket error listener", on_error, data); }

    void ended(SessionEnd why) override { session_end = why; }

    void frameDropped(const std::string& why) override {
        kovo::log::error() << "[SIO] Dropped frame from server: " << why;
    }

    // ---- connection life (service thread) ----
    bool isCurrent(lws* w) const {
        return (link == Link::CONNECTING || link == Link::CONNECTED) &&
               reinterpret_cast<std::uintptr_t>(lws_get_opaque_user_data(w)) == attempt;
    }

    void startAttempt() {
        ++attempt;
        link = Link::CONNECTING;
        wsi = nullptr;
        lws_client_connect_info ci;
        std::memset(&ci, 0, sizeof ci);
        ci.context = ctx;
        ci.address = address.host.c_str();
        ci.port = address.port;
        ci.path = path.c_str();
        ci.host = host_header.c_str();
        ci.ietf_version_or_minus_one = -1;
        ci.local_protocol_name = kProtocols[0].name;
        ci.retry_and_idle_policy = &kIdlePolicy;
        ci.opaque_user_data = reinterpret_cast<void*>(attempt);
        const std::uintptr_t this_attempt = attempt;
        lws* w = lws_client_connect_via_info(&ci);
        // A failure may already have been reported from inside the call.
        if (link != Link::CONNECTING || attempt != this_attempt) return;
        if (w != nullptr)
            wsi = w;
        else
            connectFailed("cannot start the connection");
    }

    void connectFailed(const std::string& why) {
        kovo::log::error() << "[SIO] Connect error: " << why;
        wsi = nullptr;
        link = Link::IDLE;
        scheduleRetry(true);
    }

    // after_failed_attempt: no connection could be made, so running out of
    // attempts is a failure; after an opened connection ended it is not.
    void scheduleRetry(bool after_failed_attempt) {
        if (stop_requested) return;
        if (const auto delay = budget.next()) {
            link = Link::WAITING_RETRY;
            schedule(retry_timer, &Impl::onRetryTimer, std::chrono::ceil<std::chrono::microseconds>(*delay));
            return;
        }
        link = Link::FINISHED;
        if (after_failed_attempt) call("fail listener", on_fail);
        call("give-up listener", on_give_up, budget.made());
    }

    static void onRetryTimer(lws_sorted_usec_list_t* sul) {
        Impl& self = *reinterpret_cast<Timer*>(sul)->owner;
        if (self.stop_requested || self.link != Link::WAITING_RETRY) return;
        self.call("reconnecting listener", self.on_reconnecting);
        if (!self.stop_requested) self.startAttempt();
    }

    void schedule(Timer& timer, sul_cb_t cb, std::chrono::microseconds delay) {
        lws_sul_schedule(ctx, 0, &timer.sul, cb, std::max<lws_usec_t>(delay.count(), 1));
    }

    void onEstablished() {
        link = Link::CONNECTED;
        peer_close.reset();
        session_end.reset();
        rx.clear();
        rx_discard = false;
        session.emplace(*this, limits);
        session->start(Clock::now());
        afterSession();
    }

    // Runs after every call into the session: a session that ended is torn
    // down here, outside its own member functions.
    void afterSession() {
        if (!session) return;
        if (session_end) {
            endSession(*session_end);
            return;
        }
        if (const auto deadline = session->nextDeadline())
            schedule(session_timer, &Impl::onSessionTimer,
                     std::chrono::ceil<std::chrono::microseconds>(*deadline - Clock::now()));
        else
            lws_sul_cancel(&session_timer.sul);
    }

    static void onSessionTimer(lws_sorted_usec_list_t* sul) {
        Impl& self = *reinterpret_cast<Timer*>(sul)->owner;
        if (!self.session) return;
        self.session->onTimer(Clock::now());
        self.afterSession();
    }

    void endSession(SessionEnd why) {
        kovo::log::error() << "[SIO] Connection ended: " << to_string(why);
        // A silent server gets no close handshake: it would only wait.
        abandon(why != SessionEnd::PING_TIMEOUT && why != SessionEnd::HANDSHAKE_TIMEOUT);
        switch (why) {
        case SessionEnd::PING_TIMEOUT:
            connectionEnded(CloseReason::DROP, true);
            break;
        case SessionEnd::SERVER_DISCONNECT:
            // The server closed our namespace on purpose: no reconnection.
            connectionEnded(CloseReason::NORMAL, false);
            break;
        case SessionEnd::SERVER_CLOSE:
            connectionEnded(CloseReason::NORMAL, true);
            break;
        case SessionEnd::REJECTED:
        case SessionEnd::HANDSHAKE_TIMEOUT:
        case SessionEnd::BAD_HANDSHAKE:
            // Never opened: counted as a failed attempt.
            connectionEnded(CloseReason::DROP, true);
            break;
        }
    }

    // Leaves the current connection to close in the background.
    void abandon(bool polite) {
        if (wsi == nullptr) return;
        closing.push_back(wsi);
        if (polite) {
            lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, kPoliteCloseSeconds);
            lws_callback_on_writable(wsi);
        } else {
            lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
        }
        wsi = nullptr;
    }

    // The current connection is over (its wsi already given up or gone).
    void connectionEnded(CloseReason reason, bool reconnect) {
        wsi = nullptr;
        link = Link::IDLE;
        lws_sul_cancel(&session_timer.sul);
        session.reset();
        session_end.reset();
        rx.clear();
        rx.shrink_to_fit();
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = false;
            session_id.clear();
            queue.clear();
        }
        const bool had_opened = was_opened;
        was_opened = false;
        if (had_opened) call("close listener", on_close, reason);
        if (stop_requested) return;
        if (!had_opened)
            scheduleRetry(true);
        else if (reconnect)
            scheduleRetry(false);
        else
            link = Link::FINISHED;
    }

    void forgetClosing(lws* w) {
        closing.erase(std::remove(closing.begin(), closing.end(), w), closing.end());
        if (shutting_down && closing.empty()) finished = true;
    }

    void beginShutdown() {
        shutting_down = true;
        lws_sul_cancel(&retry_timer.sul);
        if (link == Link::CONNECTED) {
            abandon(true);
            connectionEnded(CloseReason::NORMAL, false);
        } else if (link == Link::CONNECTING) {
            abandon(false);
        }
        link = Link::FINISHED;
        if (closing.empty()) {
            finished = true;
            return;
        }
        schedule(shutdown_timer, &Impl::onShutdownTimer, std::chrono::ceil<std::chrono::microseconds>(kCloseGrace));
    }

    static void onShutdownTimer(lws_sorted_usec_list_t* sul) { reinterpret_cast<Timer*>(sul)->owner->finished = true; }

    void run() {
        if (uri_ok) {
            startAttempt();
        } else {
            kovo::log::error() << "[SIO] " << uri_error;
            link = Link::FINISHED;
            call("fail listener", on_fail);
        }
        while (true) {
            if (stop_requested && !shutting_down) beginShutdown();
            if (finished) break;
            lws_service(ctx, 0);
        }
        for (Timer* t : {&session_timer, &retry_timer, &shutdown_timer})
            lws_sul_cancel(&t->sul);
    }

    // ---- libwebsockets events (service thread) ----
    int onReceive(lws* w, const char* data, std::size_t len) {
        if (!isCurrent(w) || !session) return 0;
        if (lws_is_first_fragment(w)) {
            rx.clear();
            rx_discard = false;
            rx_binary = lws_frame_is_binary(w) != 0;
        }
        if (!rx_discard) {
            if (len > kMaxMessageBytes - rx.size()) {
                rx_discard = true;
                rx.clear();
                rx.shrink_to_fit();
                frameDropped("message larger than " + std::to_string(kMaxMessageBytes) + " bytes");
            } else {
                rx.append(data, len);
            }
        }
        if (!lws_is_final_fragment(w)) {
            session->onActivity(Clock::now());
            afterSession();
            return 0;
        }
        if (rx_discard) {
            rx_discard = false;
            return 0;
        }
        std::string frame;
        frame.swap(rx);
        if (rx_binary)
            session->onBinary(frame, Clock::now());
        else
            session->onText(frame, Clock::now());
        afterSession();
        return 0;
    }

    int onWritable(lws* w) {
        if (std::find(closing.begin(), closing.end(), w) != closing.end()) {
            lws_close_reason(w, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
            return -1;
        }
        if (!isCurrent(w) || link != Link::CONNECTED) return 0;
        std::string frame;
        bool more = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (queue.empty()) return 0;
            frame = std::move(queue.front());
            queue.pop_front();
            more = !queue.empty();
        }
        tx.resize(LWS_PRE + frame.size());
        std::memcpy(tx.data() + LWS_PRE, frame.data(), frame.size());
        const int n = lws_write(w, tx.data() + LWS_PRE, frame.size(), LWS_WRITE_TEXT);
        if (n < 0 || static_cast<std::size_t>(n) < frame.size()) {
            kovo::log::error() << "[SIO] Write to server failed";
            return -1;
        }
        if (more) lws_callback_on_writable(w);
        return 0;
    }

    void onPeerClose(lws* w, const unsigned char* payload, std::size_t len) {
        if (!isCurrent(w)) return;
        // A close without a code, or with 1000, is an orderly end.
        const unsigned code = len >= 2 ? (static_cast<unsigned>(payload[0]) << 8) | payload[1] : 0;
        peer_close = code == 0 || code == LWS_CLOSE_STATUS_NORMAL ? CloseReason::NORMAL : CloseReason::DROP;
    }

    void onClosed(lws* w) {
        if (isCurrent(w) && link == Link::CONNECTED) {
            const CloseReason reason = peer_close.value_or(CloseReason::DROP);
            kovo::log::error() << "[SIO] Connection closed by " << (peer_close ? "the server" : "the network");
            connectionEnded(reason, true);
        } else if (isCurrent(w)) {
            connectFailed("connection closed before the WebSocket was established");
        }
        forgetClosing(w);
    }

    void onWakeUp() {
        if (wsi == nullptr || link != Link::CONNECTED) return;
        std::lock_guard<std::mutex> lock(mutex);
        if (!queue.empty()) lws_callback_on_writable(wsi);
    }

    int dispatch(lws* w, lws_callback_reasons reason, void* in, std::size_t len) {
        switch (reason) {
        case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
            if (isCurrent(w)) connectFailed(in != nullptr ? static_cast<const char*>(in) : "unknown error");
            forgetClosing(w);
            return 0;
        case LWS_CALLBACK_CLIENT_ESTABLISHED:
            if (!isCurrent(w)) return -1;
            wsi = w;
            onEstablished();
            return 0;
        case LWS_CALLBACK_CLIENT_RECEIVE:
            return onReceive(w, static_cast<const char*>(in), len);
        case LWS_CALLBACK_CLIENT_WRITEABLE:
            return onWritable(w);
        case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
            onPeerClose(w, static_cast<const unsigned char*>(in), len);
            return 0;
        case LWS_CALLBACK_CLIENT_CLOSED:
        case LWS_CALLBACK_WSI_DESTROY:
            onClosed(w);
            return 0;
        case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
            onWakeUp();
            return 0;
        default:
            return 0;
        }
    }
};

namespace {

int service_callback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t len) {
    lws_context* ctx = lws_get_context(wsi);
    auto* impl = ctx != nullptr ? static_cast<Client::Impl*>(lws_context_user(ctx)) : nullptr;
    if (impl == nullptr || impl->destroying) return 0;
    return impl->dispatch(wsi, reason, in, len);
}

}  // namespace

Client::Client() : impl_(std::make_unique<Impl>()) {}

Client::~Client() { close(); }

void Client::setOpenListener(std::function<void()> listener) { impl_->on_open = std::move(listener); }
void Client::setFailListener(std::function<void()> listener) { impl_->on_fail = std::move(listener); }
void Client::setReconnectingListener(std::function<void()> listener) { impl_->on_reconnecting = std::move(listener); }
void Client::setCloseListener(std::function<void(CloseReason)> listener) { impl_->on_close = std::move(listener); }
void Client::setSocketErrorListener(std::function<void(const Message*)> listener) {
    impl_->on_error = std::move(listener);
}
void Client::setGiveUpListener(std::function<void(unsigned)> listener) { impl_->on_give_up = std::move(listener); }
void Client::setReconnectAttempts(int attempts) { impl_->reconnect_attempts = attempts; }
void Client::setReconnectDelay(std::chrono::milliseconds delay) { impl_->reconnect_delay = delay; }

void Client::on(const std::string& event, EventHandler handler) {
    std::lock_guard<std::mutex> lock(impl_->handlers_mutex);
    impl_->handlers[event] = std::move(handler);
}

void Client::connect(const std::string& uri, const std::map<std::string, std::string>& query) {
    Impl& d = *impl_;
    if (d.thread.joinable()) throw std::runtime_error("socket.io client already started");
    try {
        d.address = parse_server_uri(uri);
        d.uri_ok = true;
    } catch (const std::invalid_argument& e) {
        d.uri_ok = false;
        d.uri_error = e.what();
    }
    d.path = handshake_path(query);
    const bool ipv6 = d.address.host.find(':') != std::string::npos;
    d.host_header = (ipv6 ? "[" + d.address.host + "]" : d.address.host) + ":" + std::to_string(d.address.port);
    d.budget = ReconnectBudget(d.reconnect_attempts, d.reconnect_delay);
    d.stop_requested = false;
    d.shutting_down = false;
    d.finished = false;
    d.link = Impl::Link::IDLE;

    lws_context_creation_info info;
    std::memset(&info, 0, sizeof info);
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = kProtocols;
    info.gid = -1;
    info.uid = -1;
    info.user = &d;
    info.connect_timeout_secs = static_cast<unsigned>(
        std::max<std::int64_t>(1, std::chrono::ceil<std::chrono::seconds>(d.limits.handshake_timeout).count()));
    lws_context* ctx = lws_create_context(&info);
    if (ctx == nullptr) throw std::runtime_error("cannot create the libwebsockets context");
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.ctx = ctx;
    }
    d.thread = std::thread([&d] { d.run(); });
}

bool Client::emit(const std::string& event, const std::string& text) {
    std::string frame = encode_event(event, text);
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.open || d.ctx == nullptr) return false;
    if (d.queue.size() >= kMaxQueuedFrames) {
        kovo::log::error() << "[SIO] Send queue full, event '" << event << "' dropped";
        return false;
    }
    d.queue.push_back(std::move(frame));
    lws_cancel_service(d.ctx);
    return true;
}

void Client::close() {
    Impl& d = *impl_;
    if (!d.thread.joinable()) return;
    d.stop_requested = true;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.ctx != nullptr) lws_cancel_service(d.ctx);
    }
    // From a listener or handler the thread cannot wait for itself; it ends
    // on its own, and the next close (at the latest the destructor) joins it.
    if (std::this_thread::get_id() == d.thread.get_id()) return;
    d.thread.join();
    lws_context* ctx = nullptr;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        ctx = d.ctx;
        d.ctx = nullptr;
        d.open = false;
        d.queue.clear();
    }
    d.destroying = true;
    lws_context_destroy(ctx);
    d.destroying = false;
    d.closing.clear();
    d.wsi = nullptr;
}

std::string Client::sessionId() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->session_id;
}

}  // namespace kovo::car::sio
