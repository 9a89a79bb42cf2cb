#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "log/log.h"

// The libFuzzer targets' silent log and a reader that cuts one input into the
// pieces a peer would send.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kovo::log::set_sink([](kovo::log::Level, kovo::log::Colour, const std::string&) {});
    return 0;
}

namespace fuzzing {

// Hands out an input's bytes piece by piece; sizes come from the input itself.
class Pieces {
public:
    Pieces(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}
    bool empty() const { return rest_.empty(); }
    uint8_t byte() {
        if (rest_.empty()) return 0;
        const auto b = static_cast<uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return b;
    }
    // Up to n bytes.
    std::string_view take(size_t n) {
        const std::string_view piece = rest_.substr(0, std::min(n, rest_.size()));
        rest_.remove_prefix(piece.size());
        return piece;
    }
    // A piece whose length (two bytes) precedes it.
    std::string_view sized() {
        const size_t n = static_cast<size_t>(byte()) << 8 | byte();
        return take(n);
    }
    std::string_view rest() { return take(rest_.size()); }

private:
    std::string_view rest_;
};

}  // namespace fuzzing
