#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "app/mission/ports.h"

namespace kovo::app {

// The daemon's clock: the steady clock, and sleeps that stop() cuts short so
// that shutting the application down never waits out a 10-second delay.
class InterruptibleClock : public Clock {
public:
    std::chrono::steady_clock::time_point now() const override;
    bool sleepFor(std::chrono::milliseconds d) override;
    // Wakes every sleeper; later sleeps return false at once.
    void stop();

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stopped_ = false;
};

}  // namespace kovo::app
