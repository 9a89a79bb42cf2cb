#include "px4ctrl/reconnect_delays.h"

#include <algorithm>
#include <utility>

namespace kovo::px4ctrl {

namespace {

constexpr uint64_t kDefaultDelayMs = 3000;
constexpr uint64_t kJitterPercent = 30;

}  // namespace

ReconnectDelays::ReconnectDelays(std::vector<uint32_t> table_ms)
    : table_(std::move(table_ms)), random_(std::random_device{}()) {}

unsigned ReconnectDelays::nextMs() {
    const uint64_t base = table_.empty() ? kDefaultDelayMs : table_[std::min(count_, table_.size() - 1)];
    if (count_ < table_.size()) ++count_;
    // Links that lost px4ctrl together do not all come back at once.
    const uint64_t jitter = base * kJitterPercent * (random_() % 65536) / 65536 / 100;
    return static_cast<unsigned>(base + jitter);
}

}  // namespace kovo::px4ctrl
