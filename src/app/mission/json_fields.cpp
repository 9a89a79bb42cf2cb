#include "app/mission/json_fields.h"

#include "config/app_config.h"

#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>

namespace kovo::app {

namespace {

// The member, or nullptr when obj is not an object or lacks it.
const nlohmann::json* member(const nlohmann::json& obj, const std::string& key) {
    if (!obj.is_object()) {
        return nullptr;
    }
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

}  // namespace

template <>
std::string safe_json_value<std::string>(const nlohmann::json& obj, const std::string& key, std::string def) {
    const nlohmann::json* m = member(obj, key);
    return m != nullptr && m->is_string() ? m->get<std::string>() : def;
}

template <>
int safe_json_value<int>(const nlohmann::json& obj, const std::string& key, int def) {
    const nlohmann::json* m = member(obj, key);
    if (m == nullptr) {
        return def;
    }
    if (m->is_boolean()) {
        return m->get<bool>() ? 1 : 0;
    }
    if (m->is_number_integer() && !m->is_number_unsigned()) {
        const int64_t v = m->get<int64_t>();
        const bool fits = v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max();
        return fits ? static_cast<int>(v) : def;
    }
    if (m->is_number_unsigned()) {
        const uint64_t v = m->get<uint64_t>();
        return v <= static_cast<uint64_t>(std::numeric_limits<int>::max()) ? static_cast<int>(v) : def;
    }
    if (m->is_number_float()) {
        // Truncation toward zero; a value no int can hold (or NaN) would be
        // undefined behaviour to convert, so it gives the default.
        const double v = std::trunc(m->get<double>());
        const bool fits = v >= static_cast<double>(std::numeric_limits<int>::min()) &&
                          v <= static_cast<double>(std::numeric_limits<int>::max());
        return fits ? static_cast<int>(v) : def;
    }
    return def;
}

template <>
bool safe_json_value<bool>(const nlohmann::json& obj, const std::string& key, bool def) {
    const nlohmann::json* m = member(obj, key);
    return m != nullptr && m->is_boolean() ? m->get<bool>() : def;
}

std::string safe_json_value(const nlohmann::json& obj, const std::string& key, const char* def) {
    return safe_json_value<std::string>(obj, key, std::string(def == nullptr ? "" : def));
}

nlohmann::json safe_json_object(const nlohmann::json& obj, const std::string& key) {
    const nlohmann::json* m = member(obj, key);
    return m != nullptr && m->is_object() ? *m : nlohmann::json::object();
}

nlohmann::json safe_json_array(const nlohmann::json& obj, const std::string& key) {
    const nlohmann::json* m = member(obj, key);
    return m != nullptr && m->is_array() ? *m : nlohmann::json::array();
}

float json_float(const nlohmann::json& obj, const std::string& key, float def) {
    const nlohmann::json* m = member(obj, key);
    if (m == nullptr) {
        return def;
    }
    if (m->is_number()) {
        return m->get<float>();
    }
    float parsed = def;
    if (m->is_string() && config::parse_float_prefix(m->get_ref<const std::string&>(), parsed)) {
        return parsed;
    }
    return def;
}

std::string json_string(const nlohmann::json& obj, const std::string& key, const std::string& def, int precision) {
    const nlohmann::json* m = member(obj, key);
    if (m == nullptr) {
        return def;
    }
    if (m->is_string()) {
        return m->get<std::string>();
    }
    if (m->is_number_float()) {
        return float_str(static_cast<float>(m->get<double>()), precision);
    }
    if (m->is_number_unsigned()) {
        // Taken as a 32-bit signed value, like every integer field the peers send.
        return std::to_string(static_cast<int32_t>(m->get<uint64_t>()));
    }
    if (m->is_number_integer()) {
        return std::to_string(static_cast<int32_t>(m->get<int64_t>()));
    }
    return def;
}

std::string float_str(double value, int precision) {
    // A negative precision means no decimals; the upper bound keeps a bad
    // setting from producing absurdly long texts.
    constexpr int kMaxPrecision = 30;
    const int digits = precision < 0 ? 0 : (precision > kMaxPrecision ? kMaxPrecision : precision);
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::fixed << std::setprecision(digits) << value;
    return out.str();
}

}  // namespace kovo::app
