#pragma once

#include <chrono>
#include <optional>

// Reconnection timing: a number of attempts (or no end) with a growing wait.
namespace kovo::car::sio {

constexpr std::chrono::milliseconds kMaxReconnectDelay{25000};

// The wait before attempt n (from 0): delay x 1.5^n, at most 25 s, no jitter.
std::chrono::milliseconds reconnect_delay(std::chrono::milliseconds delay, unsigned n);

// Counts the attempts since the last successful open.
class ReconnectBudget {
public:
    ReconnectBudget(int attempts, std::chrono::milliseconds delay) : attempts_(attempts), delay_(delay) {}

    // A connection opened: the next failure starts again from attempt 0.
    void reset() { made_ = 0; }
    // The wait before the next attempt, which it counts; none when no
    // attempt is left (attempts 0: never; negative: no end).
    std::optional<std::chrono::milliseconds> next();
    // Attempts counted since the last open.
    unsigned made() const { return made_; }

private:
    int attempts_;
    std::chrono::milliseconds delay_;
    unsigned made_ = 0;
};

}  // namespace kovo::car::sio
