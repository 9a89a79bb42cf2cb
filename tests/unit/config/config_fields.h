#pragma once

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

namespace configtest {

// Every setting of the record that has a key in the file, by its JSON path,
// as the JSON value the file would hold.
std::map<std::string, nlohmann::json> keyed_fields(const AppConfig& c);

// The settings without a key: lws_context_port, fs_kovo and the float
// companions of uav_defaults (by member name, e.g. "battery_vol_f").
std::map<std::string, nlohmann::json> keyless_fields(const AppConfig& c);

// The fifteen settings a hot update may change, in the order it applies them.
const std::vector<std::string>& hot_paths();

// The leaves of a document as path -> value (objects are walked, arrays are
// leaves).
std::map<std::string, nlohmann::json> flatten(const nlohmann::json& doc);

// A document holding value at the dotted path.
nlohmann::json nest(const std::string& path, const nlohmann::json& value);

}  // namespace configtest
