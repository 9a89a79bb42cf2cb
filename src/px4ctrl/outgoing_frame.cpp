#include "px4ctrl/outgoing_frame.h"

#include <algorithm>
#include <cstring>

namespace kovo::px4ctrl {

FrameBuffer::FrameBuffer(size_t headroom, int write_buffer_size)
    : headroom_(headroom),
      capacity_(write_buffer_size > 1 ? static_cast<size_t>(write_buffer_size) - 1 : 0),
      bytes_(headroom + capacity_ + 1, 0) {}

size_t FrameBuffer::load(std::string_view text) {
    const size_t len = std::min(text.size(), capacity_);
    std::memcpy(payload(), text.data(), len);
    return len;
}

}  // namespace kovo::px4ctrl
