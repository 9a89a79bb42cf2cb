#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kovo::px4ctrl {

// Largest message accepted from px4ctrl; anything longer is dropped whole.
constexpr size_t kMaxMessageBytes = 1u << 20;

// Joins the pieces in which the WebSocket library hands over one message
// (fragments, or a frame larger than its receive buffer) into the whole
// message, up to a cap. Memory stays bounded by the cap: once a message
// exceeds it, its remaining pieces are only counted.
class MessageAssembler {
public:
    enum class Result { INCOMPLETE, COMPLETE, OVERSIZE };

    explicit MessageAssembler(size_t cap = kMaxMessageBytes) : cap_(cap) {}

    // Adds the bytes of one receive event; last says the message ends with
    // them. After COMPLETE, message() holds the whole message (it may point
    // into data, so it is valid only until data goes away or the next add).
    // After OVERSIZE, droppedSize() tells how long the message was.
    Result add(const char* data, size_t len, bool last);
    std::string_view message() const { return message_; }
    size_t droppedSize() const { return dropped_size_; }
    // Forgets a message in progress (the connection was lost).
    void reset();

private:
    size_t cap_;
    std::string buffer_;
    std::string_view message_;
    size_t received_ = 0;  // bytes of the message in progress
    bool overflow_ = false;
    size_t dropped_size_ = 0;
};

}  // namespace kovo::px4ctrl
