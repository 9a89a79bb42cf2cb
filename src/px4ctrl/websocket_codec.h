#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The WebSocket protocol (RFC 6455) as a client of px4ctrl speaks it: the
// upgrade request and the check of its answer, masked client frames, and a
// parser for the server's frames that works on whole buffers. No I/O here.
namespace kovo::px4ctrl {

enum class Opcode : uint8_t { CONTINUATION = 0, TEXT = 1, BINARY = 2, CLOSE = 8, PING = 9, PONG = 10 };

// Room a client frame's header needs before its payload: 2 bytes, 8 bytes
// of extended length, 4 bytes of mask.
constexpr size_t kMaxClientHeader = 14;

// Turns the len payload bytes at payload into a masked client frame in
// place: the header goes into the kMaxClientHeader bytes before payload, the
// payload is masked. Returns where the frame begins; it ends at payload + len.
unsigned char* frame_in_place(unsigned char* payload, size_t len, Opcode opcode, uint32_t mask);

// The key of an upgrade request: 16 random bytes in base64.
std::string new_upgrade_key();
std::string upgrade_request(std::string_view host, std::string_view path, std::string_view protocol,
                            std::string_view key);
// The value the server must answer a key with (Sec-WebSocket-Accept).
std::string upgrade_accept(std::string_view key);

struct UpgradeAnswer {
    size_t head_size = 0;  // 0 while the head is incomplete
    std::string error;     // empty when the upgrade was accepted
};
// Looks at the bytes received after the request: once the whole head is
// there, whether the server switched to the WebSocket protocol (and to the
// offered sub-protocol, when it names one).
UpgradeAnswer check_upgrade_answer(std::string_view received, std::string_view key, std::string_view protocol);

// Splits the server's byte stream into frames, one piece at a time. Payload
// bytes are handed over where they lie, without a copy; the small payload of
// a control frame is collected whole first.
class FrameReader {
public:
    enum class Kind { NONE, DATA, PING, PONG, CLOSE, ERROR };
    struct Piece {
        Kind kind = Kind::NONE;
        std::string_view bytes;  // DATA: the next bytes of the message; control frames: the payload
        bool last = false;       // DATA: the message ends with these bytes
    };

    // Consumes bytes from data and stores in piece the next piece found
    // (kind NONE: everything given was used and more is needed); returns how
    // many bytes it used. After ERROR, error() says why and the stream is
    // unusable until reset().
    size_t parse(const char* data, size_t len, Piece* piece);
    const std::string& error() const { return error_; }
    void reset();

private:
    bool beginFrame();
    bool fail(std::string why);

    std::array<unsigned char, kMaxClientHeader> header_{};
    size_t header_len_ = 0;
    uint64_t remaining_ = 0;  // payload bytes of the current frame still to come
    bool in_frame_ = false;
    bool fin_ = false;
    Opcode opcode_ = Opcode::CONTINUATION;
    bool in_message_ = false;  // a fragmented data message is in progress
    std::string control_;
    std::string error_;
};

}  // namespace kovo::px4ctrl
