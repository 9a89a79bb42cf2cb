#include "config/settings.h"

#include <arpa/inet.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

namespace kovo::config {

using nlohmann::json;

namespace {

constexpr int64_t kIntMin = std::numeric_limits<int32_t>::min();
constexpr int64_t kIntMax = std::numeric_limits<int32_t>::max();
// Longest host name DNS allows; also keeps the camera's URL within its buffer.
constexpr size_t kMaxHostChars = 253;
constexpr size_t kMaxFileNameChars = 255;
// strftime's output is tried in buffers of up to 4096 bytes: a short pattern
// always fits.
constexpr size_t kMaxTimeFormatChars = 256;

SettingRule range(int64_t min, int64_t max) {
    SettingRule r;
    r.min = min;
    r.max = max;
    return r;
}
SettingRule any_int() { return range(kIntMin, kIntMax); }
SettingRule text(TextRule rule) {
    SettingRule r;
    r.text = rule;
    return r;
}
SettingRule flag() { return SettingRule{}; }

// Every text rule but NON_EMPTY refuses an empty text.
const char* rule_name(TextRule rule) {
    switch (rule) {
    case TextRule::ANY:
        return "any";
    case TextRule::NON_EMPTY:
        return "non-empty";
    case TextRule::HOST:
        return "host name or address";
    case TextRule::URL:
        return "URL scheme://host[:port][/path]";
    case TextRule::REQUEST_PATH:
        return "path beginning with /";
    case TextRule::FILE_NAME:
        return "file name (no /, not . or ..)";
    case TextRule::STRFTIME:
        return "strftime pattern";
    case TextRule::IP_ADDRESS:
        return "numeric IP address";
    }
    return "";
}

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_host(std::string_view s) {
    return !s.empty() && s.size() <= kMaxHostChars && std::all_of(s.begin(), s.end(), [](char c) {
        return is_alpha(c) || is_digit(c) || c == '.' || c == '-' || c == '_' || c == ':';
    });
}

bool is_port(std::string_view s) {
    if (s.empty() || s.size() > 5 || !std::all_of(s.begin(), s.end(), is_digit)) return false;
    const int port = std::stoi(std::string(s));
    return port >= 1 && port <= 65535;
}

bool is_request_path(std::string_view s) {
    return !s.empty() && s.front() == '/' &&
           std::none_of(s.begin(), s.end(), [](char c) { return c == ' ' || is_control(c); });
}

bool is_url(std::string_view s) {
    const size_t scheme_end = s.find("://");
    if (scheme_end == std::string_view::npos || scheme_end == 0 || !is_alpha(s.front())) return false;
    if (!std::all_of(s.begin(), s.begin() + scheme_end,
                     [](char c) { return is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.'; })) {
        return false;
    }
    const std::string_view rest = s.substr(scheme_end + 3);
    const size_t path_at = rest.find('/');
    if (path_at != std::string_view::npos && !is_request_path(rest.substr(path_at))) return false;
    const std::string_view authority = rest.substr(0, path_at);
    std::string_view host = authority;
    std::string_view after_host;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = authority.substr(1, close - 1);
        after_host = authority.substr(close + 1);
    } else if (const size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        after_host = authority.substr(colon);
    }
    if (!is_host(host)) return false;
    if (after_host.empty()) return true;
    return after_host.front() == ':' && is_port(after_host.substr(1));
}

bool is_file_name(std::string_view s) {
    return !s.empty() && s.size() <= kMaxFileNameChars && s != "." && s != ".." &&
           std::none_of(s.begin(), s.end(), [](char c) { return c == '/' || is_control(c); });
}

// Plain strftime conversions, with the E and O modifiers; no GNU flags.
bool is_strftime(std::string_view s) {
    constexpr std::string_view kConversions = "aAbBcCdDeFgGhHIjmMnprRStTuUVwWxXyYzZ%";
    if (s.empty() || s.size() > kMaxTimeFormatChars) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') continue;
        if (++i < s.size() && (s[i] == 'E' || s[i] == 'O')) ++i;
        if (i >= s.size() || kConversions.find(s[i]) == std::string_view::npos) return false;
    }
    return true;
}

bool is_ip_address(const std::string& s) {
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, s.c_str(), address) == 1 || inet_pton(AF_INET6, s.c_str(), address) == 1;
}

// Why text breaks rule; empty when it obeys.
std::string text_problem(TextRule rule, const std::string& text) {
    switch (rule) {
    case TextRule::ANY:
        return "";
    case TextRule::NON_EMPTY:
        return text.empty() ? "empty" : "";
    case TextRule::HOST:
        if (is_host(text)) return "";
        break;
    case TextRule::URL:
        if (is_url(text)) return "";
        break;
    case TextRule::REQUEST_PATH:
        if (is_request_path(text)) return "";
        break;
    case TextRule::FILE_NAME:
        if (is_file_name(text)) return "";
        break;
    case TextRule::STRFTIME:
        if (is_strftime(text)) return "";
        break;
    case TextRule::IP_ADDRESS:
        if (is_ip_address(text)) return "";
        break;
    }
    return std::string("not a ") + rule_name(rule);
}

// The integer v when it lies in rule's range.
std::optional<int64_t> integer_in_range(const json& v, const SettingRule& rule) {
    int64_t n = 0;
    if (v.is_number_unsigned()) {
        const uint64_t u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return std::nullopt;
        n = static_cast<int64_t>(u);
    } else {
        n = v.get<int64_t>();
    }
    if (n < rule.min || n > rule.max) return std::nullopt;
    return n;
}

template <typename T>
constexpr bool kIsList = !std::is_same_v<T, std::string> && !std::is_arithmetic_v<T>;

// The range an integer (or list element) of type T can hold at all.
template <typename T>
std::pair<int64_t, int64_t> type_limits() {
    if constexpr (std::is_same_v<T, int64_t>) {
        return {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()};
    } else if constexpr (std::is_same_v<T, std::vector<uint32_t>>) {
        return {0, std::numeric_limits<uint32_t>::max()};
    } else {
        return {kIntMin, kIntMax};
    }
}

// One row: the member config.<section>.<key>, named in the file by the same
// path.
// clang-format off
#define SETTING(section, key, default_value, rule) \
    Setting{#section, #key, +[](AppConfig& c) { return &c.section.key; }, default_value, rule}
// clang-format on

// Ranges follow what the code does with each value: a port is 1..65535, a
// count or a wait is never negative, a time-out is positive, a code or
// sentinel may be any int. Keys that are read but unused keep the rule their
// meaning implies.
std::vector<Setting> build_table() {
    return {
        SETTING(px4ctrl, host, "127.0.0.1", text(TextRule::HOST).hot("px4_host", Effect::AFTER_RESTART)),
        SETTING(px4ctrl, port, 53001, range(1, 65535).hot("px4_port", Effect::AFTER_RESTART)),
        SETTING(px4ctrl, ws_path, "/", text(TextRule::REQUEST_PATH)),
        SETTING(px4ctrl, ws_protocol, "http", text(TextRule::ANY)),
        SETTING(px4ctrl, login_cmd, "login", text(TextRule::NON_EMPTY)),
        SETTING(px4ctrl, login_password, "quenlarf", text(TextRule::ANY).hidden()),
        SETTING(px4ctrl, state_cmd, "state", text(TextRule::NON_EMPTY)),
        SETTING(px4ctrl, default_cmd, 0, any_int()),
        SETTING(px4ctrl, default_ret, -1, any_int()),
        SETTING(px4ctrl, login_resp_cmd, 42, any_int()),
        SETTING(px4ctrl, state_push_cmd, 1, any_int()),
        SETTING(px4ctrl, state_push_ret, 0, any_int()),
        // Room for the login and state messages and a long mission command.
        SETTING(px4ctrl, write_buffer_size, 512, range(64, 1048576)),
        // At most an hour: the delay plus its jitter stays within 32 bits.
        SETTING(px4ctrl, reconnect_backoff_ms, (json{1000, 2000, 3000, 4000, 5000}), range(0, 3600000)),
        SETTING(px4ctrl, jitter_percent, 20, range(0, 100)),
        SETTING(px4ctrl, secs_since_valid_ping, 65535, range(0, 65535)),
        SETTING(px4ctrl, secs_since_valid_hangup, 65535, range(0, 65535)),
        SETTING(px4ctrl, initial_schedule_delay_us, 1, range(0, kIntMax)),
        SETTING(px4ctrl, service_timeout_ms, 50, range(1, kIntMax)),
        SETTING(px4ctrl, state_interval_ms, 20, range(0, 60000)),
        SETTING(px4ctrl, ssl_connection, false, flag()),

        SETTING(socketio, uri, "http://127.0.0.1:8080", text(TextRule::URL).hot("sio_uri", Effect::AFTER_RESTART)),
        SETTING(socketio, access_key, "4821-9037", text(TextRule::ANY).hot("sio_access_key").hidden()),
        SETTING(socketio, client_type, "app", text(TextRule::ANY)),
        // Negative: no end. The shipped file retries without end, so that a
        // car server restarting or starting late is found again.
        SETTING(socketio, reconnect_attempts, 0, any_int().ships(-1)),
        SETTING(socketio, reconnect_delay_ms, 1000, range(0, kIntMax)),
        SETTING(socketio.events, mission, "car_uav_begin_mission", text(TextRule::NON_EMPTY)),
        SETTING(socketio.events, reboot_query, "car_uav_can_reboot_uav", text(TextRule::NON_EMPTY)),
        SETTING(socketio.events, realtime_status, "uav_realtime_status", text(TextRule::NON_EMPTY)),
        SETTING(socketio.events, mission_status, "uav_mission_status", text(TextRule::NON_EMPTY)),

        SETTING(mqtt, host, "127.0.0.1", text(TextRule::HOST).hot("mqtt_host", Effect::AFTER_RESTART)),
        SETTING(mqtt, port, 1883, range(1, 65535).hot("mqtt_port", Effect::AFTER_RESTART)),
        SETTING(mqtt, username, "", text(TextRule::ANY)),
        SETTING(mqtt, password, "", text(TextRule::ANY).hidden()),
        SETTING(mqtt, client_id_prefix, "indoorCar", text(TextRule::ANY)),
        SETTING(mqtt, request_topic, "/api/carUavModule/indoorPlatform/cmd/request",
                text(TextRule::NON_EMPTY).hot("mqtt_request_topic")),
        SETTING(mqtt, response_topic, "/api/carUavModule/indoorPlatform/cmd/response",
                text(TextRule::NON_EMPTY).hot("mqtt_response_topic", Effect::AFTER_RESTART)),
        SETTING(mqtt, qos, 1, range(0, 2)),
        // libmosquitto refuses a keep-alive under 5 s; MQTT carries 16 bits.
        SETTING(mqtt, keepalive, 60, range(5, 65535)),

        SETTING(platform, url, "http://127.0.0.1:8087", text(TextRule::URL).hot("platform_url")),
        SETTING(platform, site_id, "qtpe-8264", text(TextRule::NON_EMPTY).hot("platform_site_id")),
        SETTING(platform.endpoints, flight_history, "/api/carUavModule/indoorPlatform/cmd/request",
                text(TextRule::ANY)),
        SETTING(platform.endpoints, status_history, "/api/carUavModule/indoorPlatform/cmd/request",
                text(TextRule::ANY)),
        SETTING(platform.endpoints, arrive_point, "/api/carUavModule/indoorPlatform/cmd/request", text(TextRule::ANY)),
        SETTING(platform, call_module, "indoorCar", text(TextRule::NON_EMPTY)),
        SETTING(platform, upload_file_field, "file", text(TextRule::NON_EMPTY)),
        // 0 would mean "never": a time-out is at least a second, at most a day.
        SETTING(platform.timeout, post_json, 5, range(1, 86400)),
        SETTING(platform.timeout, post_form, 10, range(1, 86400)),
        SETTING(platform.timeout, post_file, 30, range(1, 86400)),
        SETTING(platform.timeout, download, 30, range(1, 86400)),
        SETTING(platform, uav_status_text, "无人机状态", text(TextRule::ANY)),
        SETTING(platform, cmd_flight_history, "UploadCarFlightHistory", text(TextRule::NON_EMPTY)),
        SETTING(platform, cmd_status_history, "UploadUavStatusHistory", text(TextRule::NON_EMPTY)),
        SETTING(platform, cmd_arrive_point, "UploadUavArrivePoint", text(TextRule::NON_EMPTY)),
        SETTING(platform, log_normal_endpoint, "/carUavBackend/logFileArchive/saveUavNormalLog",
                text(TextRule::REQUEST_PATH)),
        SETTING(platform, log_crash_endpoint, "/carUavBackend/logFileArchive/saveUavCrashLog",
                text(TextRule::REQUEST_PATH)),

        SETTING(siyi, ip, "192.168.144.25", text(TextRule::HOST).hot("siyi_ip")),
        SETTING(siyi, http_port, 82, range(1, 65535).hot("siyi_port")),
        SETTING(siyi, img_dir, "101SIYI_IMG", text(TextRule::FILE_NAME).hot("siyi_img_dir")),
        // A camera on the UAV's own network answers at once or not at all.
        SETTING(siyi, connect_timeout_ms, 3000, range(1, 86400000)),
        SETTING(siyi, download_timeout_ms, 10000, range(1, 86400000)),

        SETTING(mission.defaults, takeOffAltitude, "1.2", text(TextRule::ANY)),
        SETTING(mission.defaults, batteryLimit, "20", text(TextRule::ANY)),
        SETTING(mission.defaults, isBeforeTakeoffPhoto, "0", text(TextRule::ANY)),
        SETTING(mission, max_start_retries, 3, range(1, 100)),
        SETTING(mission, retry_wait_seconds, 2, range(0, 3600)),
        SETTING(mission, state_verify_wait_seconds, 3, range(0, 3600)),
        SETTING(mission, status_init, 1, any_int()),
        SETTING(mission, fs_standby, 2, any_int()),
        SETTING(mission, fs_takeoff, 3, any_int()),
        SETTING(mission, fs_executing, 4, any_int()),
        SETTING(mission, fs_landing, 6, any_int()),
        SETTING(mission, fs_rtl, 5, any_int()),
        SETTING(mission, fs_idle, 0, any_int()),
        SETTING(mission, flying_fs_codes, (json{3, 4, 6, 7}), any_int()),
        SETTING(mission, reboot_allowed_fs_codes, (json{2, 0}), any_int()),
        SETTING(mission, landed_to_finished_delay_ms, 500, range(0, 3600000)),
        SETTING(mission, status_emit_period_ticks, 5, range(1, kIntMax)),
        SETTING(mission, worker_poll_interval_seconds, 1, range(1, 3600)),
        SETTING(mission, last_kovo_idx_sentinel, -999, any_int()),
        SETTING(mission, default_fs_value, -1, any_int()),
        SETTING(mission, default_height_idx, -1, any_int()),
        SETTING(mission, default_camera, "onboard", text(TextRule::NON_EMPTY)),
        SETTING(mission, siyi_camera_type, "siyi", text(TextRule::NON_EMPTY)),
        SETTING(mission, kovo_cmd_prefix, "kovo", text(TextRule::NON_EMPTY)),
        SETTING(mission, temp_file_prefix, "/tmp/kovo_siyi_", text(TextRule::NON_EMPTY)),
        SETTING(mission, temp_file_extension, ".jpg", text(TextRule::ANY)),
        // -1: one line.
        SETTING(mission, json_indent, 2, range(-1, 16)),
        SETTING(mission, uav_arrive_point_value, "1", text(TextRule::ANY)),

        SETTING(files, client_log, "client_log.jsonl", text(TextRule::FILE_NAME)),
        SETTING(files, car_mission, "car_mission.json", text(TextRule::FILE_NAME)),
        SETTING(files, upload_result, "upload_result.json", text(TextRule::FILE_NAME)),

        SETTING(telemetry, batteryTemperature, "25.0", text(TextRule::ANY)),
        SETTING(telemetry, actionType, "1", text(TextRule::ANY)),
        SETTING(telemetry, imageTransSignal, "100", text(TextRule::ANY)),
        SETTING(telemetry, remoteControlStatus, "0", text(TextRule::ANY)),
        SETTING(telemetry, remoteControlSignal, "0", text(TextRule::ANY)),
        SETTING(telemetry, remoteControlBattery, "0", text(TextRule::ANY)),
        SETTING(telemetry, isContinueTakePhoto, "0", text(TextRule::ANY)),
        SETTING(telemetry, isIrcutEnable, "0", text(TextRule::ANY)),
        SETTING(telemetry, isDynamicZoom, "0", text(TextRule::ANY)),
        SETTING(telemetry, upLink, "100", text(TextRule::ANY)),
        SETTING(telemetry, downLink, "100", text(TextRule::ANY)),
        SETTING(telemetry, gimbalPitch, "0", text(TextRule::ANY)),
        SETTING(telemetry, gimbalRoll, "0", text(TextRule::ANY)),
        SETTING(telemetry, gimbalYaw, "0", text(TextRule::ANY)),
        SETTING(telemetry, ptzRoll, "0", text(TextRule::ANY)),

        SETTING(uav_defaults, online, false, flag()),
        SETTING(uav_defaults, armed, false, flag()),
        SETTING(uav_defaults, battery_remain, 0, range(0, 100)),
        SETTING(uav_defaults, battery_vol, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, lpos_x, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, lpos_y, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, lpos_z, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, lpos_vx, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, lpos_vy, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, lpos_vz, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, atti_p, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, atti_r, "0", text(TextRule::ANY)),
        SETTING(uav_defaults, atti_y, "0", text(TextRule::ANY)),

        SETTING(stats, enabled, true, flag().hot("stats_enabled", Effect::AFTER_RESTART)),
        SETTING(stats, web_port, 18080, range(1, 65535).hot("stats_web_port", Effect::AFTER_RESTART)),

        SETTING(spool, dir, "spool", text(TextRule::NON_EMPTY)),
        SETTING(spool, max_mb, 256, range(1, 1048576)),
        SETTING(spool, max_age_hours, 168, range(1, 87600)),

        SETTING(app, time_format, "%Y-%m-%d %H:%M:%S", text(TextRule::STRFTIME)),
        SETTING(app, float_precision, 2, range(0, 9)),
        SETTING(app, float_precision1, 1, range(0, 9)),

        SETTING(stats, bind_address, "0.0.0.0", text(TextRule::IP_ADDRESS)),
        // Empty: configuration updates need no token.
        SETTING(stats, auth_token, "", text(TextRule::ANY).hidden()),
    };
}

#undef SETTING

}  // namespace

const std::vector<Setting>& settings() {
    static const std::vector<Setting> kTable = build_table();
    return kTable;
}

const char* Setting::typeName() const {
    static const char* const kNames[] = {"string", "int", "long", "bool", "list of uint32", "list of int"};
    return kNames[field.index()];
}

std::string Setting::ruleText() const {
    return std::visit(
        [this](auto get) -> std::string {
            using T = std::remove_pointer_t<decltype(get(std::declval<AppConfig&>()))>;
            if constexpr (std::is_same_v<T, std::string>) {
                return rule_name(rule.text);
            } else if constexpr (std::is_same_v<T, bool>) {
                return "";
            } else {
                if (type_limits<T>() == std::make_pair(rule.min, rule.max)) return "any";
                return (kIsList<T> ? "each " : "") + std::to_string(rule.min) + ".." + std::to_string(rule.max);
            }
        },
        field);
}

json Setting::valueIn(const AppConfig& config) const {
    // The accessor only locates the member; nothing is written through it.
    return std::visit([&config](auto get) { return json(*get(const_cast<AppConfig&>(config))); }, field);
}

std::string Setting::assign(AppConfig& config, const json& value) const {
    const std::string range_text = std::to_string(rule.min) + ".." + std::to_string(rule.max);
    return std::visit(
        [&](auto get) -> std::string {
            auto& out = *get(config);
            using T = std::decay_t<decltype(out)>;
            if constexpr (std::is_same_v<T, std::string>) {
                if (!value.is_string()) return "expected a string";
                const std::string& given = value.get_ref<const std::string&>();
                std::string why = text_problem(rule.text, given);
                if (why.empty()) out = given;
                return why;
            } else if constexpr (std::is_same_v<T, bool>) {
                if (!value.is_boolean()) return "expected true or false";
                out = value.get<bool>();
                return "";
            } else if constexpr (kIsList<T>) {
                if (!value.is_array()) return "expected a list";
                T list;
                for (const json& element : value) {
                    // Elements of another type are skipped, as they always were.
                    if (!element.is_number_integer()) continue;
                    const std::optional<int64_t> n = integer_in_range(element, rule);
                    if (!n) return "element out of range " + range_text;
                    list.push_back(static_cast<typename T::value_type>(*n));
                }
                out = std::move(list);
                return "";
            } else {
                if (!value.is_number_integer()) return "expected an integer";
                const std::optional<int64_t> n = integer_in_range(value, rule);
                if (!n) return "out of range " + range_text;
                out = static_cast<T>(*n);
                return "";
            }
        },
        field);
}

}  // namespace kovo::config
