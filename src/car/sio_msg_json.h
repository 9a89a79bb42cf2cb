#pragma once

#include <nlohmann/json.hpp>

#include "car/sio/message.h"

namespace kovo::car {

// Converts the first argument of a car event into the daemon's JSON: a
// string argument holding JSON text becomes that JSON (any other string stays
// a string); binary values become null, and so does an object without
// members, wherever it sits; an absent argument (nullptr) is null. Strings
// inside arrays and objects are never parsed, so a mission sent as an object
// and the same mission sent as JSON text arrive equal.
nlohmann::json sio_msg_to_json(const sio::Message* message);

}  // namespace kovo::car
