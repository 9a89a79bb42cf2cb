#pragma once

#include <chrono>

namespace kovo::platform {

// Delays between reconnection attempts, grown the way libmosquitto grows its
// own: initial * (n + 1)^2 when exponential, initial * (n + 1) otherwise, n
// counting the attempts since the last reset, never above max.
class ReconnectBackoff {
public:
    ReconnectBackoff(std::chrono::seconds initial, std::chrono::seconds max, bool exponential);

    // The delay before the next attempt.
    std::chrono::seconds next();
    // After a successful connection the next outage starts from the initial delay.
    void reset();

private:
    std::chrono::seconds initial_;
    std::chrono::seconds max_;
    bool exponential_;
    long attempts_ = 0;
};

}  // namespace kovo::platform
