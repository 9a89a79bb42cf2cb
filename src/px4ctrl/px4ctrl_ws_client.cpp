#include "px4ctrl/px4ctrl_ws_client.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <system_error>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "log/log.h"
#include "net/asio_client.h"
#include "px4ctrl/message_assembler.h"
#include "px4ctrl/outgoing_frame.h"
#include "px4ctrl/px4ctrl_message.h"
#include "px4ctrl/reconnect_delays.h"
#include "px4ctrl/request_pacer.h"
#include "px4ctrl/websocket_codec.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using ErrorCode = boost::system::error_code;
using namespace std::chrono_literals;

namespace kovo::px4ctrl {

namespace {

// A refused login is tried again after this pause, not at network speed: a
// wrong password would otherwise fill the log thousands of times a second.
constexpr auto kLoginRetryPause = 1000ms;
// A connection attempt (TCP, TLS and the upgrade) that takes longer failed.
constexpr auto kConnectTimeout = 20s;
// Bytes taken from the socket at once: several state pushes.
constexpr size_t kReadChunk = 16 * 1024;
constexpr int kMaxStateIntervalMs = 60000;
// A refused command is logged with at most this many characters.
constexpr size_t kLoggedCommandChars = 80;

std::string shortened(const std::string& text) {
    if (text.size() <= kLoggedCommandChars) return text;
    return text.substr(0, kLoggedCommandChars) + "...";
}

std::chrono::milliseconds state_interval(int ms) {
    return std::chrono::milliseconds(std::clamp(ms, 0, kMaxStateIntervalMs));
}

}  // namespace

struct Px4ctrlWsClient::Link {
    enum class Phase { IDLE, CONNECTING, OPEN, CLOSING };
    enum class Sent { CONTROL, LOGIN, COMMAND, STATE_REQUEST };

    Link(Px4ctrlWsClient& client, const config::AppConfig::Px4ctrl& s)
        : owner(client),
          frame(kMaxClientHeader, s.write_buffer_size),
          delays(s.reconnect_backoff_ms),
          pacer(state_interval(s.state_interval_ms)),
          rx(kReadChunk),
          masks(std::random_device{}()) {}

    void scheduleConnect(std::chrono::microseconds delay);
    void connect();
    void onTcpConnected();
    void sendUpgrade();
    void readUpgrade();
    void onEstablished(size_t head_size);
    void read();
    bool onBytes(const char* data, size_t len);
    void onMessage(std::string_view text);
    void pump();
    void write(Sent kind, std::string_view text, Opcode opcode);
    void armPaceTimer(Clock::time_point at);
    void connectionError(const std::string& why);
    void teardown();

    Px4ctrlWsClient& owner;
    // One thread runs every I/O operation; only post() comes from others.
    asio::io_context io{BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO};
    asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
    tcp::socket socket{io};
    std::unique_ptr<asio::ssl::context> tls_context;
    std::unique_ptr<net::TlsStream> tls;
    asio::steady_timer connect_timer{io};  // the back-off delay, then the attempt's deadline
    asio::steady_timer pace_timer{io};
    asio::steady_timer login_timer{io};
    Clock::time_point pace_armed = Clock::time_point::max();
    // Handlers of an earlier connection find it changed and do nothing.
    unsigned generation = 0;
    Phase phase = Phase::IDLE;
    bool timed_out = false;

    std::string upgrade_key;
    std::string upgrade_text;
    FrameBuffer frame;
    bool writing = false;
    Sent in_flight = Sent::CONTROL;
    std::string in_flight_cmd;
    std::optional<std::pair<Opcode, std::string>> control_reply;
    bool want_login = false;
    bool login_paused = false;  // after a refused login, until login_timer fires

    ReconnectDelays delays;
    RequestPacer pacer;
    std::vector<char> rx;
    size_t rx_len = 0;  // bytes of the upgrade answer gathered so far
    FrameReader reader;
    MessageAssembler assembler;
    std::mt19937 masks;
};

void Px4ctrlWsClient::Link::scheduleConnect(std::chrono::microseconds delay) {
    connect_timer.expires_after(delay);
    connect_timer.async_wait([this](const ErrorCode& ec) {
        if (!ec) connect();
    });
}

void Px4ctrlWsClient::Link::connect() {
    const auto& s = owner.settings_;
    kovo::log::info() << "[PX4] Connecting to " << owner.host_ << ":" << owner.port_ << s.ws_path;
    ++generation;
    phase = Phase::CONNECTING;
    timed_out = false;
    rx_len = 0;
    if (owner.port_ < 0 || owner.port_ > 65535) {
        connectionError("port " + std::to_string(owner.port_) + " out of range");
        return;
    }
    // A name is resolved here, on the link's thread, as before each attempt.
    ErrorCode ec;
    const std::vector<tcp::endpoint> endpoints =
        net::resolve_endpoints(io, owner.host_, static_cast<unsigned short>(owner.port_), ec);
    if (ec) {
        connectionError(ec.message());
        return;
    }
    tls.reset();
    if (s.ssl_connection) {
        if (!tls_context) tls_context = net::tls_client_context();
        tls = net::tls_client_stream(socket, *tls_context, owner.host_);
    }
    const unsigned gen = generation;
    connect_timer.expires_after(kConnectTimeout);
    connect_timer.async_wait([this, gen](const ErrorCode& e) {
        if (e || gen != generation || phase != Phase::CONNECTING) return;
        timed_out = true;
        ErrorCode ignored;
        socket.close(ignored);
    });
    asio::async_connect(socket, endpoints, [this, gen](const ErrorCode& e, const tcp::endpoint&) {
        if (gen != generation) return;
        if (e) {
            connectionError(timed_out ? "connection timed out" : e.message());
            return;
        }
        onTcpConnected();
    });
}

void Px4ctrlWsClient::Link::onTcpConnected() {
    ErrorCode ignored;
    // Each request is one small frame that must leave at once.
    socket.set_option(tcp::no_delay(true), ignored);
    if (!tls) {
        sendUpgrade();
        return;
    }
    const unsigned gen = generation;
    tls->async_handshake(asio::ssl::stream_base::client, [this, gen](const ErrorCode& e) {
        if (gen != generation) return;
        if (e) {
            connectionError(timed_out ? "connection timed out" : e.message());
            return;
        }
        sendUpgrade();
    });
}

void Px4ctrlWsClient::Link::sendUpgrade() {
    const auto& s = owner.settings_;
    upgrade_key = new_upgrade_key();
    upgrade_text = upgrade_request(owner.host_, s.ws_path, s.ws_protocol, upgrade_key);
    const unsigned gen = generation;
    net::with_stream(socket, tls.get(), [&](auto& stream) {
        asio::async_write(stream, asio::buffer(upgrade_text), [this, gen](const ErrorCode& e, size_t) {
            if (gen != generation) return;
            if (e) {
                connectionError(timed_out ? "connection timed out" : e.message());
                return;
            }
            readUpgrade();
        });
    });
}

void Px4ctrlWsClient::Link::readUpgrade() {
    const unsigned gen = generation;
    net::with_stream(socket, tls.get(), [&](auto& stream) {
        stream.async_read_some(
            asio::buffer(rx.data() + rx_len, rx.size() - rx_len), [this, gen](const ErrorCode& e, size_t n) {
                if (gen != generation) return;
                if (e) {
                    connectionError(timed_out ? "connection timed out" : e.message());
                    return;
                }
                rx_len += n;
                const UpgradeAnswer answer =
                    check_upgrade_answer(std::string_view(rx.data(), rx_len), upgrade_key, owner.settings_.ws_protocol);
                if (!answer.error.empty()) {
                    connectionError(answer.error);
                } else if (answer.head_size == 0) {
                    readUpgrade();
                } else {
                    onEstablished(answer.head_size);
                }
            });
    });
}

void Px4ctrlWsClient::Link::onEstablished(size_t head_size) {
    connect_timer.cancel();
    phase = Phase::OPEN;
    kovo::log::info() << "[PX4] WebSocket established";
    owner.connected_ = true;
    owner.logined_ = false;
    want_login = true;
    login_paused = false;
    assembler.reset();
    reader.reset();
    owner.pending_.open();
    if (owner.on_connected_) kovo::log::guarded("[PX4] connected handler failed", owner.on_connected_);
    pump();
    // Frames that came with the answer to the upgrade.
    const unsigned gen = generation;
    if (onBytes(rx.data() + head_size, rx_len - head_size) && gen == generation) read();
}

void Px4ctrlWsClient::Link::read() {
    const unsigned gen = generation;
    net::with_stream(socket, tls.get(), [&](auto& stream) {
        stream.async_read_some(asio::buffer(rx), [this, gen](const ErrorCode& e, size_t n) {
            if (gen != generation) return;
            if (e) {
                // px4ctrl closed or the connection broke: no log, like a close.
                teardown();
                return;
            }
            if (onBytes(rx.data(), n) && gen == generation) read();
        });
    });
}

// False when the connection ended on these bytes.
bool Px4ctrlWsClient::Link::onBytes(const char* data, size_t len) {
    using Kind = FrameReader::Kind;
    const unsigned gen = generation;
    size_t used = 0;
    while (gen == generation) {
        FrameReader::Piece piece;
        used += reader.parse(data + used, len - used, &piece);
        switch (piece.kind) {
        case Kind::NONE:
            return true;
        case Kind::DATA:
            switch (assembler.add(piece.bytes.data(), piece.bytes.size(), piece.last)) {
            case MessageAssembler::Result::INCOMPLETE:
                break;
            case MessageAssembler::Result::OVERSIZE:
                kovo::log::error() << "[PX4] Message of " << assembler.droppedSize() << " bytes exceeds the "
                                   << kMaxMessageBytes << "-byte limit, dropped";
                break;
            case MessageAssembler::Result::COMPLETE:
                onMessage(assembler.message());
                break;
            }
            break;
        case Kind::PING:
            control_reply.emplace(Opcode::PONG, std::string(piece.bytes));
            pump();
            break;
        case Kind::PONG:
            break;
        case Kind::CLOSE:
            // Answer with the same status code, then end the connection.
            control_reply.emplace(Opcode::CLOSE, std::string(piece.bytes.substr(0, 2)));
            phase = Phase::CLOSING;
            pump();
            return false;
        case Kind::ERROR:
            connectionError(reader.error());
            return false;
        }
    }
    return false;
}

void Px4ctrlWsClient::Link::onMessage(std::string_view text) {
    using Kind = ScannedMessage::Kind;
    if (text.empty()) return;
    const ScannedMessage message = scan_message(text);
    switch (message.kind) {
    case Kind::NOT_OBJECT:
        return;
    case Kind::MALFORMED:
        kovo::log::error() << "[PX4] JSON parse error: " << message.error;
        return;
    case Kind::TOO_DEEP:
        kovo::log::error() << "[PX4] Message nested deeper than " << kMaxNesting << " levels, dropped";
        return;
    case Kind::OBJECT:
        break;
    }

    const MessageMeaning meaning = classify_message(message, owner.settings_);
    const auto now = Clock::now();
    if (meaning.login_reply) {
        owner.logined_ = meaning.login_ok;
        kovo::log::info() << "[PX4] Login result: " << (meaning.login_ok ? "success" : "failed");
        if (meaning.login_ok) {
            ++owner.logins_;
            pacer.start(now);
        } else {
            pacer.stop();
            login_paused = true;
            const unsigned gen = generation;
            login_timer.expires_after(kLoginRetryPause);
            login_timer.async_wait([this, gen](const ErrorCode& e) {
                if (e || gen != generation) return;
                login_paused = false;
                want_login = true;
                pump();
            });
        }
    }
    if (meaning.state_push) {
        {
            std::lock_guard<std::mutex> lock(owner.mutex_);
            owner.state_.set(message.state);
        }
        pacer.onPush(now);
    } else if (owner.logined_) {
        pacer.onOtherMessage(now);
    }
    pump();
}

// Sends the next frame that is due, one at a time: a control answer, the
// login, a pending command (at once), or a state request when the pacer says
// so; otherwise sleeps until the pacer's next time.
void Px4ctrlWsClient::Link::pump() {
    if (writing || (phase != Phase::OPEN && !(phase == Phase::CLOSING && control_reply))) return;
    if (control_reply) {
        const auto [opcode, payload] = std::move(*control_reply);
        control_reply.reset();
        write(Sent::CONTROL, payload, opcode);
        return;
    }
    if (!owner.logined_) {
        if (want_login && !login_paused) {
            want_login = false;
            write(Sent::LOGIN, owner.login_text_, Opcode::TEXT);
        }
        return;
    }
    if (std::optional<std::string> cmd = owner.pending_.take()) {
        in_flight_cmd = std::move(*cmd);
        write(Sent::COMMAND, in_flight_cmd, Opcode::TEXT);
        return;
    }
    const auto now = Clock::now();
    if (pacer.due(now)) {
        pacer.onRequestSent(now);
        write(Sent::STATE_REQUEST, owner.settings_.state_cmd, Opcode::TEXT);
        return;
    }
    armPaceTimer(pacer.nextDue());
}

void Px4ctrlWsClient::Link::write(Sent kind, std::string_view text, Opcode opcode) {
    const size_t len = frame.load(text);
    const unsigned char* begin = frame_in_place(frame.payload(), len, opcode, static_cast<uint32_t>(masks()));
    const size_t size = static_cast<size_t>(frame.payload() + len - begin);
    writing = true;
    in_flight = kind;
    const unsigned gen = generation;
    net::with_stream(socket, tls.get(), [&](auto& stream) {
        asio::async_write(stream, asio::buffer(begin, size), [this, gen](const ErrorCode& e, size_t) {
            if (gen != generation) return;
            writing = false;
            if (e) {
                if (in_flight == Sent::COMMAND) {
                    kovo::log::error() << "[PX4] Send failed, command discarded: " << in_flight_cmd;
                } else {
                    kovo::log::error() << "[PX4] Send failed, closing the connection";
                }
                teardown();
                return;
            }
            if (phase == Phase::CLOSING && !control_reply) {
                teardown();
                return;
            }
            pump();
        });
    });
}

// One timer serves the pacing and the keep-alive. It is moved only to an
// earlier time: a later one is checked when it fires, so a push does not
// cost a timer change.
void Px4ctrlWsClient::Link::armPaceTimer(Clock::time_point at) {
    if (at == Clock::time_point::max() || pace_armed <= at) return;
    pace_armed = at;
    pace_timer.expires_at(at);
    const unsigned gen = generation;
    pace_timer.async_wait([this, gen](const ErrorCode& e) {
        if (e == asio::error::operation_aborted) return;
        pace_armed = Clock::time_point::max();
        if (gen == generation) pump();
    });
}

void Px4ctrlWsClient::Link::connectionError(const std::string& why) {
    if (why.empty()) {
        kovo::log::error() << "[PX4] Connection error (unknown)";
    } else {
        kovo::log::error() << "[PX4] Connection error: " << why;
    }
    teardown();
}

void Px4ctrlWsClient::Link::teardown() {
    // Nothing may unwind out of the event loop and end the link's thread.
    if (owner.connected_ && owner.on_disconnected_) {
        kovo::log::guarded("[PX4] disconnected handler failed", owner.on_disconnected_);
    }
    ++generation;
    phase = Phase::IDLE;
    ErrorCode ignored;
    socket.close(ignored);
    owner.connected_ = false;
    owner.logined_ = false;
    pacer.stop();
    login_timer.cancel();
    pace_timer.cancel();
    pace_armed = Clock::time_point::max();
    writing = false;
    control_reply.reset();
    want_login = false;
    login_paused = false;
    assembler.reset();
    reader.reset();
    // The start sequence retries on its own; the command is not kept.
    if (const auto discarded = owner.pending_.close()) {
        kovo::log::error() << "[PX4] Connection lost, pending command discarded: " << *discarded;
    }
    if (owner.running_) {
        scheduleConnect(std::chrono::milliseconds(delays.nextMs()));
    } else {
        connect_timer.cancel();
    }
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
    if (thread_.joinable()) return true;
    running_ = true;
    l.io.restart();
    // Set before the thread exists: the timers belong to its event loop.
    l.scheduleConnect(std::chrono::microseconds(std::max(settings_.initial_schedule_delay_us, 0)));
    try {
        thread_ = std::thread([&l] { l.io.run(); });
    } catch (const std::system_error& e) {
        kovo::log::error() << "[PX4] Link thread not started: " << e.what();
        running_ = false;
        return false;
    }
    return true;
}

void Px4ctrlWsClient::stop() {
    Link& l = *link_;
    running_ = false;
    if (!thread_.joinable()) return;
    l.io.stop();
    thread_.join();
    // The loop has stopped: ending the connection here runs its disconnection
    // notice on this thread, as the last event of the link.
    if (l.phase != Link::Phase::IDLE) l.teardown();
    l.connect_timer.cancel();
}

bool Px4ctrlWsClient::isConnected() const { return connected_; }

bool Px4ctrlWsClient::isLogined() const { return logined_; }

uint64_t Px4ctrlWsClient::loginCount() const { return logins_; }

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
    Link& l = *link_;
    asio::post(l.io, [&l] { l.pump(); });
    return true;
}

void Px4ctrlWsClient::setOnConnected(std::function<void()> cb) { on_connected_ = std::move(cb); }

void Px4ctrlWsClient::setOnDisconnected(std::function<void()> cb) { on_disconnected_ = std::move(cb); }

}  // namespace kovo::px4ctrl
