#include "car/sio/packet.h"

#include <algorithm>
#include <exception>

namespace kovo::car::sio {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number of at most max_digits digits at pos; advances pos.
std::uint64_t read_number(std::string_view text, std::size_t& pos, std::size_t max_digits, const char* what) {
    std::uint64_t value = 0;
    const std::size_t start = pos;
    while (pos < text.size() && is_digit(text[pos])) {
        if (pos - start == max_digits) throw ProtocolError(std::string(what) + " has too many digits");
        value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
        ++pos;
    }
    return value;
}

Message parse_json(std::string_view text, int max_depth) {
    try {
        return parse_message(text, max_depth);
    } catch (const std::exception& e) {
        throw ProtocolError(std::string("broken JSON: ") + e.what());
    }
}

std::chrono::milliseconds ping_period(const Message& open, const char* key) {
    const auto it = open.find(key);
    if (it == open.end() || !it->is_number()) throw ProtocolError(std::string("open packet without a numeric ") + key);
    const double ms = std::clamp(it->get<double>(), static_cast<double>(kMinPingPeriod.count()),
                                 static_cast<double>(kMaxPingPeriod.count()));
    return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

}  // namespace

void fill_placeholders(Message& value, const std::vector<std::string>& attachments) {
    if (value.is_object()) {
        const auto flag = value.find("_placeholder");
        if (flag != value.end() && flag->is_boolean() && flag->get<bool>()) {
            const auto num = value.find("num");
            if (num == value.end() || kind_of(*num) != Kind::INTEGER)
                throw ProtocolError("placeholder without an attachment number");
            const auto n = num->get<std::int64_t>();
            if (n < 0 || static_cast<std::uint64_t>(n) >= attachments.size())
                throw ProtocolError("placeholder for missing attachment " + std::to_string(n));
            const std::string& bytes = attachments[static_cast<std::size_t>(n)];
            value = Message::binary(Message::binary_t::container_type(bytes.begin(), bytes.end()));
            return;
        }
    }
    if (value.is_object() || value.is_array()) {
        for (auto& element : value)
            fill_placeholders(element, attachments);
    }
}

EngineFrame decode_engine_frame(std::string_view frame) {
    if (frame.empty()) throw ProtocolError("empty frame");
    const char c = frame[0];
    if (c < '0' || c > '6') throw ProtocolError("unknown Engine.IO packet type");
    // EngineType lists the types in the order of their digits.
    return EngineFrame{static_cast<EngineType>(c - '0'), frame.substr(1)};
}

Handshake decode_handshake(std::string_view data, int max_depth) {
    const Message open = parse_json(data, max_depth);
    if (!open.is_object()) throw ProtocolError("open packet is not an object");
    const auto sid = open.find("sid");
    if (sid == open.end() || !sid->is_string() || sid->get_ref<const std::string&>().empty())
        throw ProtocolError("open packet without a session id");
    return Handshake{sid->get<std::string>(), ping_period(open, "pingInterval"), ping_period(open, "pingTimeout")};
}

Packet decode_packet(std::string_view data, const PacketLimits& limits) {
    if (data.empty()) throw ProtocolError("empty socket.io packet");
    const char c = data[0];
    if (c < '0' || c > '6') throw ProtocolError("unknown socket.io packet type");
    Packet packet;
    packet.type = static_cast<PacketType>(c - '0');
    std::size_t pos = 1;
    if (packet.type == PacketType::BINARY_EVENT || packet.type == PacketType::BINARY_ACK) {
        const std::size_t start = pos;
        const std::uint64_t n = read_number(data, pos, 9, "attachment count");
        if (pos == start || pos >= data.size() || data[pos] != '-')
            throw ProtocolError("binary packet without an attachment count");
        if (n > limits.max_attachments) throw ProtocolError("too many attachments (" + std::to_string(n) + ")");
        packet.attachments = static_cast<std::size_t>(n);
        ++pos;
    }
    if (pos < data.size() && data[pos] == '/') {
        const std::size_t comma = data.find(',', pos);
        const std::size_t end = comma == std::string_view::npos ? data.size() : comma;
        packet.nsp = std::string(data.substr(pos, end - pos));
        pos = comma == std::string_view::npos ? data.size() : comma + 1;
    }
    if (pos < data.size() && is_digit(data[pos])) packet.id = read_number(data, pos, 19, "acknowledgement id");
    if (pos < data.size()) packet.data = parse_json(data.substr(pos), limits.max_depth);
    return packet;
}

std::string_view attachment_payload(std::string_view frame) {
    if (frame.empty() || frame[0] != kBinaryMessagePrefix)
        throw ProtocolError("binary frame without the Engine.IO message type 0x04");
    return frame.substr(1);
}

Event event_from_packet(Packet packet) {
    if (!packet.data || !packet.data->is_array() || packet.data->empty() || !(*packet.data)[0].is_string())
        throw ProtocolError("event is not an array starting with its name");
    Event event;
    event.ack_id = packet.id;
    auto& items = packet.data->get_ref<Message::array_t&>();
    event.name = std::move(items[0].get_ref<std::string&>());
    event.args.assign(std::make_move_iterator(items.begin() + 1), std::make_move_iterator(items.end()));
    return event;
}

std::string encode_event(std::string_view name, std::string_view text) {
    const Message array = Message::array({std::string(name), std::string(text)});
    return "42" + array.dump(-1, ' ', false, Message::error_handler_t::replace);
}

std::string encode_ack(std::uint64_t id) { return "43" + std::to_string(id) + "[]"; }

}  // namespace kovo::car::sio
