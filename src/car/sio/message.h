#pragma once

#include <string_view>

#include <nlohmann/json.hpp>

// Values carried by socket.io events. A value is a JSON value in which binary
// attachments sit as JSON binary values; integers and floating-point numbers
// stay apart, as the car's JavaScript wrote them.
namespace kovo::car::sio {

using Message = nlohmann::json;

// Kinds numbered as socket.io-client-cpp numbers its message flags; the
// daemon logs these numbers.
enum class Kind : int {
    INTEGER = 0,
    DOUBLE = 1,
    STRING = 2,
    BINARY = 3,
    ARRAY = 4,
    OBJECT = 5,
    BOOLEAN = 6,
    NULL_VALUE = 7,
};

Kind kind_of(const Message& message);

// Deepest nesting of arrays and objects accepted from a peer: a hostile
// document must not make later recursive walks exhaust the stack.
constexpr int kDefaultMaxDepth = 128;

// Parses JSON text strictly. A number without fraction or exponent that fits
// 64 signed bits becomes an integer, any other number a double. Throws
// std::exception (with a readable text) on a syntax error or on nesting
// deeper than max_depth.
Message parse_message(std::string_view text, int max_depth = kDefaultMaxDepth);

}  // namespace kovo::car::sio
