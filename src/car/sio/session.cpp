#include "car/sio/session.h"

#include <algorithm>
#include <utility>

namespace kovo::car::sio {

const char* to_string(SessionEnd end) {
    switch (end) {
    case SessionEnd::PingTimeout:
        return "ping timeout";
    case SessionEnd::ServerDisconnect:
        return "server disconnect";
    case SessionEnd::ServerClose:
        return "server close";
    case SessionEnd::Rejected:
        return "connection rejected";
    case SessionEnd::HandshakeTimeout:
        return "handshake timeout";
    case SessionEnd::BadHandshake:
        return "bad open packet";
    }
    return "unknown";
}

Session::Session(SessionSink& sink, SessionLimits limits) : sink_(sink), limits_(limits) {}

void Session::start(Clock::time_point now) {
    state_ = State::AwaitOpenPacket;
    handshake_deadline_ = now + limits_.handshake_timeout;
}

void Session::onText(std::string_view frame, Clock::time_point now) {
    if (state_ == State::Ended) return;
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
    case EngineType::Open:
        if (state_ != State::AwaitOpenPacket) throw ProtocolError("second open packet");
        try {
            handshake_ = decode_handshake(frame.data, limits_.packet.max_depth);
        } catch (const ProtocolError& e) {
            sink_.frameDropped(e.what());
            end(SessionEnd::BadHandshake);
            return;
        }
        state_ = State::AwaitConnect;
        next_ping_ = now + handshake_.ping_interval;
        dead_at_ = now + handshake_.ping_interval + handshake_.ping_timeout;
        return;
    case EngineType::Close:
        end(SessionEnd::ServerClose);
        return;
    case EngineType::Ping:
        // Revision 3 servers never ping; answering costs nothing.
        sink_.sendFrame("3" + std::string(frame.data));
        return;
    case EngineType::Pong:
    case EngineType::Upgrade:
    case EngineType::Noop:
        return;
    case EngineType::Message:
        break;
    }
    if (state_ == State::AwaitOpenPacket) throw ProtocolError("message before the open packet");
    if (pending_) {
        dropPendingBinary("text packet while " + std::to_string(pending_->attachments - attachments_.size()) +
                          " attachment(s) were missing");
    }
    Packet packet = decode_packet(frame.data, limits_.packet);
    if ((packet.type == PacketType::BinaryEvent || packet.type == PacketType::BinaryAck) && packet.attachments > 0) {
        pending_ = std::move(packet);
        return;
    }
    onPacket(std::move(packet));
}

void Session::onBinary(std::string_view frame, Clock::time_point now) {
    if (state_ == State::Ended) return;
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
    if (state_ == State::Open || state_ == State::AwaitConnect)
        dead_at_ = now + handshake_.ping_interval + handshake_.ping_timeout;
}

void Session::onPacket(Packet packet) {
    // Only the default namespace is ours; the server has no reason to use
    // another, and its packets concern nobody here.
    if (packet.nsp != "/") return;
    switch (packet.type) {
    case PacketType::Connect:
        // A second connect (root middleware on the server) changes nothing.
        if (state_ == State::AwaitConnect) {
            state_ = State::Open;
            sink_.opened(handshake_.sid);
        }
        return;
    case PacketType::Disconnect:
        end(SessionEnd::ServerDisconnect);
        return;
    case PacketType::Error:
        sink_.serverError(packet.data ? &*packet.data : nullptr);
        if (state_ == State::AwaitConnect) end(SessionEnd::Rejected);
        return;
    case PacketType::Ack:
    case PacketType::BinaryAck:
        // We never ask the server for acknowledgements.
        return;
    case PacketType::Event:
    case PacketType::BinaryEvent:
        if (state_ != State::Open) throw ProtocolError("event before the namespace connect");
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
    if (state_ == State::Ended) return;
    if (state_ != State::Open && now >= handshake_deadline_) {
        end(SessionEnd::HandshakeTimeout);
        return;
    }
    if (state_ == State::AwaitOpenPacket) return;
    if (now >= dead_at_) {
        end(SessionEnd::PingTimeout);
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
    case State::AwaitOpenPacket:
        return handshake_deadline_;
    case State::AwaitConnect:
        return std::min({handshake_deadline_, next_ping_, dead_at_});
    case State::Open:
        return std::min(next_ping_, dead_at_);
    case State::Ended:
        break;
    }
    return std::nullopt;
}

void Session::end(SessionEnd why) {
    if (state_ == State::Ended) return;
    state_ = State::Ended;
    clearPending();
    sink_.ended(why);
}

}  // namespace kovo::car::sio
