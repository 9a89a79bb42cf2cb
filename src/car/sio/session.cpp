#include "car/sio/session.h"

#include <algorithm>
#include <utility>

namespace kovo::car::sio {

const char* to_string(SessionEnd end) {
    switch (end) {
    case SessionEnd::PING_TIMEOUT:
        return "ping timeout";
    case SessionEnd::SERVER_DISCONNECT:
        return "server disconnect";
    case SessionEnd::SERVER_CLOSE:
        return "server close";
    case SessionEnd::REJECTED:
        return "connection rejected";
    case SessionEnd::HANDSHAKE_TIMEOUT:
        return "handshake timeout";
    case SessionEnd::BAD_HANDSHAKE:
        return "bad open packet";
    }
    return "unknown";
}

Session::Session(SessionSink& sink, SessionLimits limits) : sink_(sink), limits_(limits) {}

void Session::start(Clock::time_point now) {
    state_ = State::AWAIT_OPEN_PACKET;
    handshake_deadline_ = now + limits_.handshake_timeout;
}

void Session::onText(std::string_view frame, Clock::time_point now) {
    if (state_ == State::ENDED) return;
    // Any frame, even a broken one, shows the server is alive.
    onActivity(now);
    try {
        onEnginePacket(decode_engine_frame(frame), now);
    } catch (const ProtocolError& e) {
        sink_.frameDropped(e.what());
    }
}

void Session::onEnginePacket(const EngineFrame& frame, Clock::time_point now) {
    switch (frame.type) {
    case EngineType::OPEN:
        if (state_ != State::AWAIT_OPEN_PACKET) throw ProtocolError("second open packet");
        try {
            handshake_ = decode_handshake(frame.data, limits_.packet.max_depth);
        } catch (const ProtocolError& e) {
            sink_.frameDropped(e.what());
            end(SessionEnd::BAD_HANDSHAKE);
            return;
        }
        state_ = State::AWAIT_CONNECT;
        next_ping_ = now + handshake_.ping_interval;
        dead_at_ = now + handshake_.ping_interval + handshake_.ping_timeout;
        return;
    case EngineType::CLOSE:
        end(SessionEnd::SERVER_CLOSE);
        return;
    case EngineType::PING:
        // Revision 3 servers never ping; answering costs nothing.
        sink_.sendFrame("3" + std::string(frame.data));
        return;
    case EngineType::PONG:
    case EngineType::UPGRADE:
    case EngineType::NOOP:
        return;
    case EngineType::MESSAGE:
        break;
    }
    if (state_ == State::AWAIT_OPEN_PACKET) throw ProtocolError("message before the open packet");
    if (pending_) {
        dropPendingBinary("text packet while " + std::to_string(pending_->attachments - attachments_.size()) +
                          " attachment(s) were missing");
    }
    Packet packet = decode_packet(frame.data, limits_.packet);
    if ((packet.type == PacketType::BINARY_EVENT || packet.type == PacketType::BINARY_ACK) && packet.attachments > 0) {
        pending_ = std::move(packet);
        return;
    }
    onPacket(std::move(packet));
}

void Session::onBinary(std::string_view frame, Clock::time_point now) {
    if (state_ == State::ENDED) return;
    onActivity(now);
    if (!pending_) {
        sink_.frameDropped("binary frame without a binary packet waiting for it");
        return;
    }
    std::string_view payload;
    try {
        payload = attachment_payload(frame);
    } catch (const ProtocolError& e) {
        dropPendingBinary(e.what());
        return;
    }
    if (payload.size() > limits_.max_attachment_bytes - attachment_bytes_) {
        dropPendingBinary("attachments larger than " + std::to_string(limits_.max_attachment_bytes) + " bytes");
        return;
    }
    attachment_bytes_ += payload.size();
    attachments_.emplace_back(payload);
    if (attachments_.size() < pending_->attachments) return;
    Packet packet = std::move(*pending_);
    const std::vector<std::string> attachments = std::move(attachments_);
    clearPending();
    try {
        if (packet.data) fill_placeholders(*packet.data, attachments);
        onPacket(std::move(packet));
    } catch (const ProtocolError& e) {
        sink_.frameDropped(e.what());
    }
}

void Session::onActivity(Clock::time_point now) {
    if (state_ == State::OPEN || state_ == State::AWAIT_CONNECT)
        dead_at_ = now + handshake_.ping_interval + handshake_.ping_timeout;
}

void Session::onPacket(Packet packet) {
    // Only the default namespace is ours; the server has no reason to use
    // another, and its packets concern nobody here.
    if (packet.nsp != "/") return;
    switch (packet.type) {
    case PacketType::CONNECT:
        // A second connect (root middleware on the server) changes nothing.
        if (state_ == State::AWAIT_CONNECT) {
            state_ = State::OPEN;
            sink_.opened(handshake_.sid);
        }
        return;
    case PacketType::DISCONNECT:
        end(SessionEnd::SERVER_DISCONNECT);
        return;
    case PacketType::ERROR:
        sink_.serverError(packet.data ? &*packet.data : nullptr);
        if (state_ == State::AWAIT_CONNECT) end(SessionEnd::REJECTED);
        return;
    case PacketType::ACK:
    case PacketType::BINARY_ACK:
        // We never ask the server for acknowledgements.
        return;
    case PacketType::EVENT:
    case PacketType::BINARY_EVENT:
        if (state_ != State::OPEN) throw ProtocolError("event before the namespace connect");
        sink_.eventReceived(event_from_packet(std::move(packet)));
        return;
    }
}

void Session::clearPending() {
    pending_.reset();
    attachments_.clear();
    attachment_bytes_ = 0;
}

void Session::dropPendingBinary(const std::string& why) {
    clearPending();
    sink_.frameDropped("partial binary packet dropped: " + why);
}

void Session::onTimer(Clock::time_point now) {
    if (state_ == State::ENDED) return;
    if (state_ != State::OPEN && now >= handshake_deadline_) {
        end(SessionEnd::HANDSHAKE_TIMEOUT);
        return;
    }
    if (state_ == State::AWAIT_OPEN_PACKET) return;
    if (now >= dead_at_) {
        end(SessionEnd::PING_TIMEOUT);
        return;
    }
    if (now >= next_ping_) {
        sink_.sendFrame(std::string(kPingFrame));
        next_ping_ = now + handshake_.ping_interval;
        dead_at_ = std::min(dead_at_, now + handshake_.ping_timeout);
    }
}

std::optional<Session::Clock::time_point> Session::nextDeadline() const {
    switch (state_) {
    case State::AWAIT_OPEN_PACKET:
        return handshake_deadline_;
    case State::AWAIT_CONNECT:
        return std::min({handshake_deadline_, next_ping_, dead_at_});
    case State::OPEN:
        return std::min(next_ping_, dead_at_);
    case State::ENDED:
        break;
    }
    return std::nullopt;
}

void Session::end(SessionEnd why) {
    if (state_ == State::ENDED) return;
    state_ = State::ENDED;
    clearPending();
    sink_.ended(why);
}

}  // namespace kovo::car::sio
