#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace kovo::px4ctrl {

// The reconnect back-off: the n-th delay taken over the life of the link is
// entry min(n, last) of the table, plus a random jitter of up to 30 %; an
// empty table gives 3000 ms plus jitter. The counter is never reset, so after
// a flaky start every later reconnection waits the last entry.
class ReconnectDelays {
public:
    explicit ReconnectDelays(std::vector<uint32_t> table_ms);

    // The next delay in milliseconds.
    unsigned nextMs();

private:
    std::vector<uint32_t> table_;
    size_t count_ = 0;
    std::minstd_rand random_;
};

}  // namespace kovo::px4ctrl
