#include "car/sio_msg_json.h"

#include <cstdint>
#include <exception>

namespace kovo::car {

namespace {

using nlohmann::json;

json convert(const sio::Message& message) {
    switch (sio::kind_of(message)) {
    case sio::Kind::INTEGER:
        // Also an unsigned value: kind_of calls it an integer only when it fits.
        return json(message.get<std::int64_t>());
    case sio::Kind::DOUBLE:
        return json(message.get<double>());
    case sio::Kind::STRING:
    case sio::Kind::BOOLEAN:
        return message;
    case sio::Kind::ARRAY: {
        json array = json::array();
        for (const auto& element : message)
            array.push_back(convert(element));
        return array;
    }
    case sio::Kind::OBJECT: {
        if (message.empty()) return nullptr;
        json object = json::object();
        for (const auto& [key, value] : message.items())
            object[key] = convert(value);
        return object;
    }
    case sio::Kind::BINARY:
    case sio::Kind::NULL_VALUE:
        break;
    }
    return nullptr;
}

}  // namespace

nlohmann::json sio_msg_to_json(const sio::Message* message) {
    if (message == nullptr) return nullptr;
    if (message->is_string()) {
        // The parsed text goes through the same conversion as a value that
        // arrived as such, so both forms of a payload give the same JSON.
        try {
            return convert(sio::parse_message(message->get_ref<const std::string&>()));
        } catch (const std::exception&) {
            return *message;
        }
    }
    return convert(*message);
}

}  // namespace kovo::car
