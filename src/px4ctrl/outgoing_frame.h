#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace kovo::px4ctrl {

// The one send buffer of the link, allocated once: the headroom a frame's
// header is written into, then the payload.
class FrameBuffer {
public:
    // write_buffer_size is the configured buffer size; one frame carries at
    // most that many bytes minus one.
    FrameBuffer(size_t headroom, int write_buffer_size);

    size_t capacity() const { return capacity_; }
    bool fits(std::string_view text) const { return text.size() <= capacity_; }
    // Copies text after the headroom, cut to capacity(); returns the length.
    size_t load(std::string_view text);
    unsigned char* payload() { return bytes_.data() + headroom_; }

private:
    size_t headroom_;
    size_t capacity_;
    std::vector<unsigned char> bytes_;
};

}  // namespace kovo::px4ctrl
