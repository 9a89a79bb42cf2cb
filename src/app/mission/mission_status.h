#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kovo::app {

// Mission status as reported to the platform (status-history reports).
enum class KOVOMissionStatus : int {
    START_SENT = 1,
    START_FAILED = 5,
    RETURNING = 12,
    TAKEOFF = 406,
    EXECUTING = 408,
    LANDING = 410,
    TASK_ENDED = 411,
    FINISHED = 414,
};

// Mission status as reported to the car ("missionStatus").
enum class SocketIOMissionStatus : int {
    NO_MISSION = 0,
    WAITING = 1,
    FLYING = 4,
    COMPLETED = 6,
    RETURNING = 12,
};

int kovo_status_code(KOVOMissionStatus status);
// The report text: "400", "415", "416", or the decimal value.
std::string http_status_code(KOVOMissionStatus status);
int socketio_status_code(SocketIOMissionStatus status);

// Every string of a warehouse value, depth first in document order: a string
// gives itself, an array is walked recursively, anything else gives nothing.
std::vector<std::string> collect_warehouse_nums(const nlohmann::json& value);
// (first warehouse number, count as decimal text); a lone string counts "1",
// an array without strings and any other value give two empty texts.
std::pair<std::string, std::string> parse_warehouse_num(const nlohmann::json& value);

}  // namespace kovo::app
