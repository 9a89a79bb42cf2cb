#pragma once

#include <cstdint>
#include <vector>

#include <libwebsockets.h>

namespace kovo::px4ctrl {

// The reconnect back-off: the n-th delay taken over the life of the link is
// entry min(n, last) of the table, plus the library's random jitter (up to
// 30 %). The counter is never reset, so after a flaky start every later
// reconnection waits the last entry.
class ReconnectDelays {
public:
    explicit ReconnectDelays(std::vector<uint32_t> table_ms);
    ReconnectDelays(const ReconnectDelays&) = delete;
    ReconnectDelays& operator=(const ReconnectDelays&) = delete;

    // The next delay in milliseconds; the context supplies the randomness.
    unsigned nextMs(lws_context* context);

private:
    std::vector<uint32_t> table_;
    lws_retry_bo_t policy_{};
    uint16_t count_ = 0;
};

}  // namespace kovo::px4ctrl
