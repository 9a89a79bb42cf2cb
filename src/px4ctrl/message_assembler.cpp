#include "px4ctrl/message_assembler.h"

namespace kovo::px4ctrl {

MessageAssembler::Result MessageAssembler::add(const char* data, size_t len, bool last) {
    message_ = {};
    if (received_ == 0) {
        if (last && len <= cap_) {
            // The usual case: the whole message in one event, used in place.
            message_ = std::string_view(data, len);
            return Result::COMPLETE;
        }
        buffer_.clear();
    }
    received_ += len;
    if (!overflow_ && received_ > cap_) {
        overflow_ = true;
        std::string().swap(buffer_);
    }
    if (!overflow_) buffer_.append(data, len);
    if (!last) return Result::INCOMPLETE;

    const size_t total = received_;
    received_ = 0;
    if (overflow_) {
        overflow_ = false;
        dropped_size_ = total;
        return Result::OVERSIZE;
    }
    message_ = buffer_;
    return Result::COMPLETE;
}

void MessageAssembler::reset() {
    buffer_.clear();
    message_ = {};
    received_ = 0;
    overflow_ = false;
}

}  // namespace kovo::px4ctrl
