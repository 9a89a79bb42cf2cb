#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "car/sio/message.h"

// Wire codec of socket.io v2 over Engine.IO revision 3 (one packet per
// WebSocket frame). Pure functions: the session feeds them frames.
namespace kovo::car::sio {

// A frame that breaks the protocol; the text says how.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Engine.IO packet types, the first character of a text frame.
enum class EngineType { OPEN, CLOSE, PING, PONG, MESSAGE, UPGRADE, NOOP };

struct EngineFrame {
    EngineType type;
    std::string_view data;  // the frame after its type digit
};

EngineFrame decode_engine_frame(std::string_view frame);

// The open packet's contents.
struct Handshake {
    std::string sid;
    std::chrono::milliseconds ping_interval;
    std::chrono::milliseconds ping_timeout;
};

// Bounds applied to the server's ping figures so that a zero or absurd value
// cannot turn the ping timer into a busy loop or overflow the clock.
constexpr std::chrono::milliseconds kMinPingPeriod{100};
constexpr std::chrono::milliseconds kMaxPingPeriod{24LL * 3600 * 1000};

Handshake decode_handshake(std::string_view data, int max_depth = kDefaultMaxDepth);

// socket.io packet types, the first character inside an Engine.IO message.
enum class PacketType { CONNECT = 0, DISCONNECT = 1, EVENT = 2, ACK = 3, ERROR = 4, BINARY_EVENT = 5, BINARY_ACK = 6 };

struct Packet {
    PacketType type = PacketType::CONNECT;
    std::size_t attachments = 0;  // binary frames that follow (types 5 and 6)
    std::string nsp = "/";
    std::optional<std::uint64_t> id;  // acknowledgement id
    std::optional<Message> data;      // absent when the packet carries no JSON
};

struct PacketLimits {
    std::size_t max_attachments = 1000;
    int max_depth = kDefaultMaxDepth;
};

// data: an Engine.IO message's payload, "<type>[<n>-][<nsp>,][<id>][<json>]".
Packet decode_packet(std::string_view data, const PacketLimits& limits = {});

// An attachment frame's bytes without the leading Engine.IO message type 0x04.
std::string_view attachment_payload(std::string_view frame);

// Replaces every {"_placeholder":true,"num":N} in data by attachment N as a
// binary value. Throws ProtocolError for a number without an attachment.
void fill_placeholders(Message& data, const std::vector<std::string>& attachments);

struct Event {
    std::string name;
    std::vector<Message> args;
    std::optional<std::uint64_t> ack_id;  // the server waits for 43<id>[]
};

// An EVENT or BINARY_EVENT packet (attachments already filled) as an event:
// a non-empty array whose first element, a string, is the name.
Event event_from_packet(Packet packet);

// 42["<name>","<text>"]: an event with one string argument. Invalid UTF-8 in
// either string is replaced, never thrown on.
std::string encode_event(std::string_view name, std::string_view text);
// 43<id>[]: the acknowledgement of a server's event, without arguments.
std::string encode_ack(std::uint64_t id);

constexpr std::string_view kPingFrame = "2";
constexpr char kBinaryMessagePrefix = 0x04;

}  // namespace kovo::car::sio
