#include "px4ctrl/reconnect_delays.h"

#include <utility>

namespace kovo::px4ctrl {

ReconnectDelays::ReconnectDelays(std::vector<uint32_t> table_ms) : table_(std::move(table_ms)) {
    // The library counts table entries in 16 bits.
    if (table_.size() > UINT16_MAX) table_.resize(UINT16_MAX);
    policy_.retry_ms_table = table_.data();
    policy_.retry_ms_table_count = static_cast<uint16_t>(table_.size());
    policy_.conceal_count = static_cast<uint16_t>(table_.size());
}

unsigned ReconnectDelays::nextMs(lws_context* context) {
    // An empty table must not reach the library, which would read before its
    // start; without a policy it applies its default delay.
    return lws_retry_get_delay_ms(context, table_.empty() ? nullptr : &policy_, &count_, nullptr);
}

}  // namespace kovo::px4ctrl
