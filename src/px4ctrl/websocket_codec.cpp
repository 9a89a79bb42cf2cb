#include "px4ctrl/websocket_codec.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>

#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/core/detail/sha1.hpp>

namespace kovo::px4ctrl {

namespace {

constexpr unsigned char kFin = 0x80;
constexpr unsigned char kReservedBits = 0x70;
constexpr unsigned char kMaskBit = 0x80;
constexpr size_t kMaxControlPayload = 125;
// A longer head is no answer to an upgrade.
constexpr size_t kMaxUpgradeHead = 8192;

std::string base64(const void* bytes, size_t len) {
    namespace b64 = boost::beast::detail::base64;
    std::string out(b64::encoded_size(len), '\0');
    out.resize(b64::encode(out.data(), bytes, len));
    return out;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// Whether the comma-separated list holds the token.
bool has_token(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const size_t comma = std::min(list.find(','), list.size());
        if (equal_nocase(trimmed(list.substr(0, comma)), token)) return true;
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    return false;
}

bool is_data(Opcode op) { return op == Opcode::CONTINUATION || op == Opcode::TEXT || op == Opcode::BINARY; }

}  // namespace

unsigned char* frame_in_place(unsigned char* payload, size_t len, Opcode opcode, uint32_t mask) {
    unsigned char key[4];
    std::memcpy(key, &mask, sizeof key);
    for (size_t i = 0; i < len; ++i)
        payload[i] ^= key[i & 3];
    const size_t extended = len < 126 ? 0 : len <= 0xffff ? 2 : 8;
    unsigned char* begin = payload - 2 - extended - sizeof key;
    begin[0] = kFin | static_cast<unsigned char>(opcode);
    begin[1] = kMaskBit | static_cast<unsigned char>(extended == 0 ? len : extended == 2 ? 126 : 127);
    for (size_t i = 0; i < extended; ++i)
        begin[2 + i] = static_cast<unsigned char>(static_cast<uint64_t>(len) >> (8 * (extended - 1 - i)));
    std::memcpy(begin + 2 + extended, key, sizeof key);
    return begin;
}

std::string new_upgrade_key() {
    // A nonce that proves the server speaks WebSocket, not a secret.
    std::random_device device;
    uint32_t words[4];
    for (uint32_t& w : words)
        w = device();
    return base64(words, sizeof words);
}

std::string upgrade_request(std::string_view host, std::string_view path, std::string_view protocol,
                            std::string_view key) {
    std::string r;
    r.append("GET ").append(path.empty() ? "/" : path).append(" HTTP/1.1\r\n");
    r.append("Host: ").append(host).append("\r\n");
    r.append("Upgrade: websocket\r\nConnection: Upgrade\r\n");
    r.append("Sec-WebSocket-Key: ").append(key).append("\r\n");
    r.append("Sec-WebSocket-Version: 13\r\n");
    if (!protocol.empty()) r.append("Sec-WebSocket-Protocol: ").append(protocol).append("\r\n");
    r.append("Origin: ").append(host).append("\r\n\r\n");
    return r;
}

std::string upgrade_accept(std::string_view key) {
    static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    namespace detail = boost::beast::detail;
    detail::sha1_context context;
    detail::init(context);
    detail::update(context, key.data(), key.size());
    detail::update(context, kGuid.data(), kGuid.size());
    unsigned char digest[detail::sha1_context::digest_size];
    detail::finish(context, digest);
    return base64(digest, sizeof digest);
}

UpgradeAnswer check_upgrade_answer(std::string_view received, std::string_view key, std::string_view protocol) {
    UpgradeAnswer answer;
    const size_t end = received.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        if (received.size() > kMaxUpgradeHead) {
            answer.head_size = received.size();
            answer.error = "HS: upgrade response too long";
        }
        return answer;
    }
    answer.head_size = end + 4;
    std::string_view head = received.substr(0, end + 2);
    const size_t status_end = head.find("\r\n");
    const std::string_view status = head.substr(0, status_end);
    head.remove_prefix(status_end + 2);
    if (status.size() < 12 || status.substr(0, 5) != "HTTP/" || status.substr(8, 4) != " 101") {
        answer.error = "HS: ws upgrade response not 101";
        return answer;
    }
    std::string_view upgrade, connection, accept, chosen;
    bool protocol_named = false;
    while (!head.empty()) {
        const size_t line_end = head.find("\r\n");
        const std::string_view line = head.substr(0, line_end);
        head.remove_prefix(line_end + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = trimmed(line.substr(0, colon));
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (equal_nocase(name, "upgrade")) upgrade = value;
        if (equal_nocase(name, "connection")) connection = value;
        if (equal_nocase(name, "sec-websocket-accept")) accept = value;
        if (equal_nocase(name, "sec-websocket-protocol")) {
            chosen = value;
            protocol_named = true;
        }
    }
    if (!equal_nocase(upgrade, "websocket")) {
        answer.error = "HS: UPGRADE missing";
    } else if (!has_token(connection, "upgrade")) {
        answer.error = "HS: CONNECTION missing";
    } else if (protocol_named && chosen != protocol) {
        answer.error = "HS: PROTOCOL malformed";
    } else if (accept != upgrade_accept(key)) {
        answer.error = "HS: Accept hash wrong";
    }
    return answer;
}

size_t FrameReader::parse(const char* data, size_t len, Piece* piece) {
    *piece = Piece{};
    if (!error_.empty()) {
        piece->kind = Kind::ERROR;
        return len;
    }
    size_t used = 0;
    while (!in_frame_) {
        // Two bytes, then the extended length they announce.
        const unsigned char len7 = header_[1] & 0x7f;
        const size_t need = header_len_ < 2 ? 2 : 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0);
        if (header_len_ == need) {
            header_len_ = 0;
            if (!beginFrame()) {
                piece->kind = Kind::ERROR;
                return len;
            }
            break;
        }
        if (used == len) return used;
        const size_t take = std::min(need - header_len_, len - used);
        std::memcpy(header_.data() + header_len_, data + used, take);
        header_len_ += take;
        used += take;
    }
    const size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, len - used));
    if (take == 0 && remaining_ > 0) return used;
    remaining_ -= take;
    const std::string_view bytes(data + used, take);
    used += take;
    if (remaining_ == 0) in_frame_ = false;
    if (is_data(opcode_)) {
        piece->kind = Kind::DATA;
        piece->bytes = bytes;
        piece->last = fin_ && remaining_ == 0;
        return used;
    }
    control_.append(bytes);
    if (remaining_ > 0) return used;
    piece->kind = opcode_ == Opcode::PING ? Kind::PING : opcode_ == Opcode::PONG ? Kind::PONG : Kind::CLOSE;
    piece->bytes = control_;
    return used;
}

bool FrameReader::beginFrame() {
    const unsigned char b0 = header_[0];
    const unsigned char b1 = header_[1];
    if (b0 & kReservedBits) return fail("reserved bits set in a frame");
    if (b1 & kMaskBit) return fail("masked frame from the server");
    const unsigned op = b0 & 0x0f;
    if (op > 10 || (op > 2 && op < 8)) return fail("unknown opcode " + std::to_string(op));
    opcode_ = static_cast<Opcode>(op);
    fin_ = (b0 & kFin) != 0;
    const unsigned char len7 = b1 & 0x7f;
    remaining_ = len7;
    if (len7 >= 126) {
        const size_t bytes = len7 == 126 ? 2 : 8;
        remaining_ = 0;
        for (size_t i = 0; i < bytes; ++i)
            remaining_ = (remaining_ << 8) | header_[2 + i];
        if (remaining_ >> 63) return fail("frame length out of range");
    }
    if (!is_data(opcode_)) {
        if (!fin_ || remaining_ > kMaxControlPayload) return fail("control frame fragmented or too long");
        control_.clear();
    } else if ((opcode_ == Opcode::CONTINUATION) != in_message_) {
        return fail(in_message_ ? "new message inside a fragmented one" : "continuation frame without a message");
    } else {
        in_message_ = !fin_;
    }
    in_frame_ = true;
    return true;
}

void FrameReader::reset() {
    header_len_ = 0;
    remaining_ = 0;
    in_frame_ = false;
    in_message_ = false;
    control_.clear();
    error_.clear();
}

bool FrameReader::fail(std::string why) {
    error_ = std::move(why);
    return false;
}

}  // namespace kovo::px4ctrl
