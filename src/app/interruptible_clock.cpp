#include "app/interruptible_clock.h"

namespace kovo::app {

std::chrono::steady_clock::time_point InterruptibleClock::now() const { return std::chrono::steady_clock::now(); }

bool InterruptibleClock::sleepFor(std::chrono::milliseconds d) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !cv_.wait_for(lock, d, [this] { return stopped_; });
}

void InterruptibleClock::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    cv_.notify_all();
}

}  // namespace kovo::app
