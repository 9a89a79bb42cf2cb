#include "car/sio/message.h"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace kovo::car::sio {

Kind kind_of(const Message& message) {
    using Type = Message::value_t;
    switch (message.type()) {
    case Type::number_integer:
        return Kind::INTEGER;
    case Type::number_unsigned:
        return message.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? Kind::INTEGER
                   : Kind::DOUBLE;
    case Type::number_float:
        return Kind::DOUBLE;
    case Type::string:
        return Kind::STRING;
    case Type::binary:
        return Kind::BINARY;
    case Type::array:
        return Kind::ARRAY;
    case Type::object:
        return Kind::OBJECT;
    case Type::boolean:
        return Kind::BOOLEAN;
    default:
        return Kind::NULL_VALUE;
    }
}

Message parse_message(std::string_view text, int max_depth) {
    // The callback sees every start of an array or object with its depth, and
    // every finished value; it enforces the depth bound and turns nlohmann's
    // unsigned numbers into signed integers or doubles.
    auto callback = [max_depth](int depth, Message::parse_event_t event, Message& parsed) {
        if ((event == Message::parse_event_t::object_start || event == Message::parse_event_t::array_start) &&
            depth >= max_depth) {
            throw std::runtime_error("JSON nesting deeper than " + std::to_string(max_depth) + " levels");
        }
        if (event == Message::parse_event_t::value && parsed.is_number_unsigned()) {
            const auto u = parsed.get<std::uint64_t>();
            if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                parsed = static_cast<std::int64_t>(u);
            else
                parsed = static_cast<double>(u);
        }
        return true;
    };
    return Message::parse(text.begin(), text.end(), callback, true, false);
}

}  // namespace kovo::car::sio
