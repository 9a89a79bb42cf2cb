#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace kovo::app {

// Tolerant readers of peer JSON: a missing, null or wrongly typed member (or
// a value that is not an object) yields the caller's default; nothing throws.

// T is std::string, int or bool. Strings only for std::string; numbers (a
// fraction truncated toward zero) and booleans (1/0) for int; booleans only
// for bool.
template <typename T>
T safe_json_value(const nlohmann::json& obj, const std::string& key, T def);
std::string safe_json_value(const nlohmann::json& obj, const std::string& key, const char* def);

// A copy of the member when it is an object (an array), else an empty one.
nlohmann::json safe_json_object(const nlohmann::json& obj, const std::string& key);
nlohmann::json safe_json_array(const nlohmann::json& obj, const std::string& key);

// Numbers as float; strings parsed with strtof rules (longest valid prefix).
float json_float(const nlohmann::json& obj, const std::string& key, float def);
// Strings as they are; floating numbers with float_str(precision); integers
// as the decimal text of their 32-bit signed value.
std::string json_string(const nlohmann::json& obj, const std::string& key, const std::string& def, int precision);

// Fixed notation with exactly precision decimals (12.3456, 2 -> "12.35").
std::string float_str(double value, int precision);

}  // namespace kovo::app
