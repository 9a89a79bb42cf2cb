#include "car/sio/reconnect.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kovo::car::sio {

std::chrono::milliseconds reconnect_delay(std::chrono::milliseconds delay, unsigned n) {
    if (delay.count() <= 0) return std::chrono::milliseconds(0);
    // Computed in double: 1.5^n overflows no integer type, and the cap makes
    // large n harmless.
    const double ms = static_cast<double>(delay.count()) * std::pow(1.5, static_cast<double>(n));
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(std::min(ms, static_cast<double>(kMaxReconnectDelay.count()))));
}

std::optional<std::chrono::milliseconds> ReconnectBudget::next() {
    if (attempts_ == 0 || (attempts_ > 0 && made_ >= static_cast<unsigned>(attempts_))) return std::nullopt;
    const std::chrono::milliseconds wait = reconnect_delay(delay_, made_);
    // Retrying without end never wraps the count back to the short waits.
    if (made_ < std::numeric_limits<unsigned>::max()) ++made_;
    return wait;
}

}  // namespace kovo::car::sio
