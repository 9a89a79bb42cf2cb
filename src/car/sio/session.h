#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "car/sio/packet.h"

// One socket.io connection on the default namespace, from the WebSocket's
// establishment to its end: the open packet, the namespace connect, the
// client's pings, events with their attachments, acknowledgements, errors.
// It does no I/O and reads no clock: frames and the current time come in, and
// decisions go out through a SessionSink, so it is tested without a network.
namespace kovo::car::sio {

// Why the session gave up its connection.
enum class SessionEnd {
    PING_TIMEOUT,       // nothing from the server within the ping timeout
    SERVER_DISCONNECT,  // the server closed the namespace (41)
    SERVER_CLOSE,       // the server sent Engine.IO close (1)
    REJECTED,           // ERROR (44) instead of the namespace connect
    HANDSHAKE_TIMEOUT,  // no open packet and namespace connect in time
    BAD_HANDSHAKE,      // an unusable open packet
};

const char* to_string(SessionEnd end);

class SessionSink {
public:
    virtual ~SessionSink() = default;
    // A text frame for the server.
    virtual void sendFrame(std::string frame) = 0;
    // The open packet and the namespace connect have arrived.
    virtual void opened(const std::string& session_id) = 0;
    // An event of the default namespace; an ack id asks for encode_ack after
    // the handler ran.
    virtual void eventReceived(Event event) = 0;
    // An ERROR packet; data is null when it carried no JSON.
    virtual void serverError(const Message* data) = 0;
    // The session is over; no further call follows.
    virtual void ended(SessionEnd why) = 0;
    // A frame broke the protocol and was dropped; the connection goes on.
    virtual void frameDropped(const std::string& why) = 0;
};

struct SessionLimits {
    std::chrono::milliseconds handshake_timeout{20000};
    std::size_t max_attachment_bytes = 16u << 20;  // all attachments of one event
    PacketLimits packet;
};

class Session {
public:
    using Clock = std::chrono::steady_clock;

    Session(SessionSink& sink, SessionLimits limits = {});

    // The WebSocket is established; the open packet is due.
    void start(Clock::time_point now);
    void onText(std::string_view frame, Clock::time_point now);
    void onBinary(std::string_view frame, Clock::time_point now);
    // Part of a frame arrived: the server is alive, even if a large frame
    // takes longer than the ping timeout to come in whole.
    void onActivity(Clock::time_point now);
    // Runs the timers that are due: pings, ping timeout, handshake timeout.
    void onTimer(Clock::time_point now);
    // When onTimer must run next; none once the session ended.
    std::optional<Clock::time_point> nextDeadline() const;

private:
    enum class State { AWAIT_OPEN_PACKET, AWAIT_CONNECT, OPEN, ENDED };

    void onEnginePacket(const EngineFrame& frame, Clock::time_point now);
    void onPacket(Packet packet);
    void clearPending();
    void dropPendingBinary(const std::string& why);
    void end(SessionEnd why);

    SessionSink& sink_;
    SessionLimits limits_;
    State state_ = State::AWAIT_OPEN_PACKET;
    Handshake handshake_{};
    Clock::time_point handshake_deadline_{};
    Clock::time_point next_ping_{};
    Clock::time_point dead_at_{};  // no frame from the server by then: dropped

    // A binary event or ack waiting for its attachments.
    std::optional<Packet> pending_;
    std::vector<std::string> attachments_;
    std::size_t attachment_bytes_ = 0;
};

}  // namespace kovo::car::sio
