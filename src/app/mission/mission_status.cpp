#include "app/mission/mission_status.h"

namespace kovo::app {

int kovo_status_code(KOVOMissionStatus status) { return static_cast<int>(status); }

std::string http_status_code(KOVOMissionStatus status) {
    // The platform's texts for these three differ from their enum values.
    switch (status) {
    case KOVOMissionStatus::START_SENT:
        return "400";
    case KOVOMissionStatus::START_FAILED:
        return "415";
    case KOVOMissionStatus::RETURNING:
        return "416";
    default:
        return std::to_string(kovo_status_code(status));
    }
}

int socketio_status_code(SocketIOMissionStatus status) { return static_cast<int>(status); }

std::vector<std::string> collect_warehouse_nums(const nlohmann::json& value) {
    std::vector<std::string> out;
    if (value.is_string()) {
        out.push_back(value.get<std::string>());
        return out;
    }
    if (!value.is_array()) {
        return out;
    }
    // An explicit stack instead of recursion: the nesting depth comes from
    // the car and must not be able to exhaust the thread's stack.
    using Cursor = std::pair<nlohmann::json::const_iterator, nlohmann::json::const_iterator>;
    std::vector<Cursor> stack{{value.cbegin(), value.cend()}};
    while (!stack.empty()) {
        Cursor& top = stack.back();
        if (top.first == top.second) {
            stack.pop_back();
            continue;
        }
        const nlohmann::json& element = *top.first;
        ++top.first;
        if (element.is_string()) {
            out.push_back(element.get<std::string>());
        } else if (element.is_array()) {
            stack.emplace_back(element.cbegin(), element.cend());
        }
    }
    return out;
}

std::pair<std::string, std::string> parse_warehouse_num(const nlohmann::json& value) {
    const std::vector<std::string> nums = collect_warehouse_nums(value);
    if (nums.empty()) {
        return {"", ""};
    }
    return {nums.front(), std::to_string(nums.size())};
}

}  // namespace kovo::app
