#include "platform/reconnect_backoff.h"

namespace kovo::platform {

ReconnectBackoff::ReconnectBackoff(std::chrono::seconds initial, std::chrono::seconds max, bool exponential)
    : initial_(initial), max_(max), exponential_(exponential) {}

std::chrono::seconds ReconnectBackoff::next() {
    const long factor = exponential_ ? (attempts_ + 1) * (attempts_ + 1) : attempts_ + 1;
    const std::chrono::seconds delay = initial_ * factor;
    // Once the cap is reached the count stops growing, so it cannot overflow.
    if (delay >= max_) return max_;
    ++attempts_;
    return delay;
}

void ReconnectBackoff::reset() { attempts_ = 0; }

}  // namespace kovo::platform
