#include "config/app_config.h"

#include "config/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace kovo::config {

using nlohmann::json;

namespace {

bool has_key(const json& section, const std::string& key) { return section.is_object() && section.contains(key); }

// The low 32 bits of a JSON integer, signed or unsigned.
uint32_t low_32_bits(const json& v) {
    return static_cast<uint32_t>(v.is_number_unsigned() ? v.get<uint64_t>() : static_cast<uint64_t>(v.get<int64_t>()));
}

// When the key holds an array: empties out, then appends the array's integer
// elements (their low 32 bits) as T.
template <typename T>
void read_integer_list(const json& section, const std::string& key, std::vector<T>& out) {
    if (!has_key(section, key) || !section[key].is_array()) return;
    out.clear();
    for (const auto& e : section[key]) {
        if (e.is_number_integer()) out.push_back(static_cast<T>(low_32_bits(e)));
    }
}

void read_text_with_companion(const json& section, const std::string& key, std::string& text, float& value) {
    get_json_string(section, key, text);
    parse_float_prefix(text, value);
}

// The file's bytes; empty when it cannot be read (missing, a directory).
std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    // A streambuf that fails to read (EISDIR) throws from underflow; the
    // insertion turns that into a failed stream instead.
    if (in.is_open()) text << in.rdbuf();
    return text.str();
}

}  // namespace

bool parse_float_prefix(const std::string& text, float& out) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(begin, &end);
    if (end == begin || errno == ERANGE) return false;
    out = value;
    return true;
}

void get_json_string(const json& section, const std::string& key, std::string& out) {
    if (!has_key(section, key)) return;
    const json& v = section[key];
    if (v.is_string()) out = v.get<std::string>();
}

void get_json_int(const json& section, const std::string& key, int& out) {
    if (!has_key(section, key)) return;
    const json& v = section[key];
    // Out-of-range values keep their low 32 bits.
    if (v.is_number_integer()) out = static_cast<int>(low_32_bits(v));
}

void get_json_long(const json& section, const std::string& key, int64_t& out) {
    if (!has_key(section, key)) return;
    const json& v = section[key];
    if (v.is_number_unsigned()) {
        out = static_cast<int64_t>(v.get<uint64_t>());
    } else if (v.is_number_integer()) {
        out = v.get<int64_t>();
    }
}

void get_json_bool(const json& section, const std::string& key, bool& out) {
    if (!has_key(section, key)) return;
    const json& v = section[key];
    if (v.is_boolean()) out = v.get<bool>();
}

void get_json_uint32_vec(const json& section, const std::string& key, std::vector<uint32_t>& out) {
    read_integer_list(section, key, out);
}

void get_json_int_vec(const json& section, const std::string& key, std::vector<int>& out) {
    read_integer_list(section, key, out);
}

bool AppConfig::load(const std::string& path) {
    std::ifstream in(path);
    if (!in.is_open()) {
        std::cerr << "[Config] Failed to open " << path << ", using defaults" << std::endl;
        return false;
    }
    try {
        json doc;
        in >> doc;  // stops after the first complete value
        loadFromJson(doc);
    } catch (const std::exception& e) {
        std::cerr << "[Config] Parse error in " << path << ": " << e.what() << ", using defaults" << std::endl;
        return false;
    }
    std::cout << "[Config] Loaded from " << path << std::endl;
    return true;
}

void AppConfig::loadFromJson(const json& doc) {
    if (!doc.is_object()) return;

    if (doc.contains("px4ctrl")) {
        const json& s = doc["px4ctrl"];
        get_json_string(s, "host", px4ctrl.host);
        get_json_int(s, "port", px4ctrl.port);
        get_json_string(s, "ws_path", px4ctrl.ws_path);
        get_json_string(s, "ws_protocol", px4ctrl.ws_protocol);
        get_json_string(s, "login_cmd", px4ctrl.login_cmd);
        get_json_string(s, "login_password", px4ctrl.login_password);
        get_json_string(s, "state_cmd", px4ctrl.state_cmd);
        get_json_int(s, "default_cmd", px4ctrl.default_cmd);
        get_json_int(s, "default_ret", px4ctrl.default_ret);
        get_json_int(s, "login_resp_cmd", px4ctrl.login_resp_cmd);
        get_json_int(s, "state_push_cmd", px4ctrl.state_push_cmd);
        get_json_int(s, "state_push_ret", px4ctrl.state_push_ret);
        get_json_int(s, "write_buffer_size", px4ctrl.write_buffer_size);
        get_json_uint32_vec(s, "reconnect_backoff_ms", px4ctrl.reconnect_backoff_ms);
        get_json_int(s, "jitter_percent", px4ctrl.jitter_percent);
        get_json_int(s, "secs_since_valid_ping", px4ctrl.secs_since_valid_ping);
        get_json_int(s, "secs_since_valid_hangup", px4ctrl.secs_since_valid_hangup);
        get_json_int(s, "initial_schedule_delay_us", px4ctrl.initial_schedule_delay_us);
        get_json_int(s, "service_timeout_ms", px4ctrl.service_timeout_ms);
        get_json_int(s, "state_interval_ms", px4ctrl.state_interval_ms);
        get_json_bool(s, "ssl_connection", px4ctrl.ssl_connection);
    }

    if (doc.contains("socketio")) {
        const json& s = doc["socketio"];
        get_json_string(s, "uri", socketio.uri);
        get_json_string(s, "access_key", socketio.access_key);
        get_json_string(s, "client_type", socketio.client_type);
        get_json_int(s, "reconnect_attempts", socketio.reconnect_attempts);
        get_json_int(s, "reconnect_delay_ms", socketio.reconnect_delay_ms);
        if (has_key(s, "events")) {
            const json& e = s["events"];
            get_json_string(e, "mission", socketio.events.mission);
            get_json_string(e, "reboot_query", socketio.events.reboot_query);
            get_json_string(e, "realtime_status", socketio.events.realtime_status);
            get_json_string(e, "mission_status", socketio.events.mission_status);
        }
    }

    if (doc.contains("mqtt")) {
        const json& s = doc["mqtt"];
        get_json_string(s, "host", mqtt.host);
        get_json_int(s, "port", mqtt.port);
        get_json_string(s, "username", mqtt.username);
        get_json_string(s, "password", mqtt.password);
        get_json_string(s, "client_id_prefix", mqtt.client_id_prefix);
        get_json_string(s, "request_topic", mqtt.request_topic);
        get_json_string(s, "response_topic", mqtt.response_topic);
        get_json_int(s, "qos", mqtt.qos);
        get_json_int(s, "keepalive", mqtt.keepalive);
    }

    if (doc.contains("platform")) {
        const json& s = doc["platform"];
        get_json_string(s, "url", platform.url);
        get_json_string(s, "site_id", platform.site_id);
        get_json_string(s, "call_module", platform.call_module);
        get_json_string(s, "upload_file_field", platform.upload_file_field);
        if (has_key(s, "endpoints")) {
            const json& e = s["endpoints"];
            get_json_string(e, "flight_history", platform.endpoints.flight_history);
            get_json_string(e, "status_history", platform.endpoints.status_history);
            get_json_string(e, "arrive_point", platform.endpoints.arrive_point);
        }
        if (has_key(s, "timeout")) {
            const json& t = s["timeout"];
            get_json_long(t, "post_json", platform.timeout.post_json);
            get_json_long(t, "post_form", platform.timeout.post_form);
            get_json_long(t, "post_file", platform.timeout.post_file);
            get_json_long(t, "download", platform.timeout.download);
        }
        get_json_string(s, "uav_status_text", platform.uav_status_text);
        get_json_string(s, "cmd_flight_history", platform.cmd_flight_history);
        get_json_string(s, "cmd_status_history", platform.cmd_status_history);
        get_json_string(s, "cmd_arrive_point", platform.cmd_arrive_point);
        get_json_string(s, "log_normal_endpoint", platform.log_normal_endpoint);
        get_json_string(s, "log_crash_endpoint", platform.log_crash_endpoint);
    }

    if (doc.contains("siyi")) {
        const json& s = doc["siyi"];
        get_json_string(s, "ip", siyi.ip);
        get_json_int(s, "http_port", siyi.http_port);
        get_json_string(s, "img_dir", siyi.img_dir);
    }

    if (doc.contains("mission")) {
        const json& s = doc["mission"];
        if (has_key(s, "defaults")) {
            const json& d = s["defaults"];
            get_json_string(d, "takeOffAltitude", mission.defaults.takeOffAltitude);
            get_json_string(d, "batteryLimit", mission.defaults.batteryLimit);
            get_json_string(d, "isBeforeTakeoffPhoto", mission.defaults.isBeforeTakeoffPhoto);
        }
        get_json_int(s, "max_start_retries", mission.max_start_retries);
        get_json_int(s, "retry_wait_seconds", mission.retry_wait_seconds);
        get_json_int(s, "state_verify_wait_seconds", mission.state_verify_wait_seconds);
        get_json_int(s, "status_init", mission.status_init);
        get_json_int(s, "fs_standby", mission.fs_standby);
        get_json_int(s, "fs_takeoff", mission.fs_takeoff);
        get_json_int(s, "fs_executing", mission.fs_executing);
        get_json_int(s, "fs_landing", mission.fs_landing);
        get_json_int(s, "fs_rtl", mission.fs_rtl);
        get_json_int(s, "fs_idle", mission.fs_idle);
        get_json_int_vec(s, "flying_fs_codes", mission.flying_fs_codes);
        get_json_int_vec(s, "reboot_allowed_fs_codes", mission.reboot_allowed_fs_codes);
        get_json_int(s, "landed_to_finished_delay_ms", mission.landed_to_finished_delay_ms);
        get_json_int(s, "status_emit_period_ticks", mission.status_emit_period_ticks);
        get_json_int(s, "worker_poll_interval_seconds", mission.worker_poll_interval_seconds);
        get_json_int(s, "last_kovo_idx_sentinel", mission.last_kovo_idx_sentinel);
        get_json_int(s, "default_fs_value", mission.default_fs_value);
        get_json_int(s, "default_height_idx", mission.default_height_idx);
        get_json_string(s, "default_camera", mission.default_camera);
        get_json_string(s, "siyi_camera_type", mission.siyi_camera_type);
        get_json_string(s, "kovo_cmd_prefix", mission.kovo_cmd_prefix);
        get_json_string(s, "temp_file_prefix", mission.temp_file_prefix);
        get_json_string(s, "temp_file_extension", mission.temp_file_extension);
        get_json_int(s, "json_indent", mission.json_indent);
        get_json_string(s, "uav_arrive_point_value", mission.uav_arrive_point_value);
    }

    if (doc.contains("files")) {
        const json& s = doc["files"];
        get_json_string(s, "client_log", files.client_log);
        get_json_string(s, "car_mission", files.car_mission);
        get_json_string(s, "upload_result", files.upload_result);
    }

    if (doc.contains("uav_defaults")) {
        const json& s = doc["uav_defaults"];
        UavDefaults& u = uav_defaults;
        get_json_bool(s, "online", u.online);
        get_json_bool(s, "armed", u.armed);
        get_json_int(s, "battery_remain", u.battery_remain);
        read_text_with_companion(s, "battery_vol", u.battery_vol, u.battery_vol_f);
        read_text_with_companion(s, "lpos_x", u.lpos_x, u.lpos_x_f);
        read_text_with_companion(s, "lpos_y", u.lpos_y, u.lpos_y_f);
        read_text_with_companion(s, "lpos_z", u.lpos_z, u.lpos_z_f);
        read_text_with_companion(s, "lpos_vx", u.lpos_vx, u.lpos_vx_f);
        read_text_with_companion(s, "lpos_vy", u.lpos_vy, u.lpos_vy_f);
        read_text_with_companion(s, "lpos_vz", u.lpos_vz, u.lpos_vz_f);
        read_text_with_companion(s, "atti_p", u.atti_p, u.atti_p_f);
        read_text_with_companion(s, "atti_r", u.atti_r, u.atti_r_f);
        read_text_with_companion(s, "atti_y", u.atti_y, u.atti_y_f);
    }

    if (doc.contains("telemetry")) {
        const json& s = doc["telemetry"];
        get_json_string(s, "batteryTemperature", telemetry.batteryTemperature);
        get_json_string(s, "actionType", telemetry.actionType);
        get_json_string(s, "imageTransSignal", telemetry.imageTransSignal);
        get_json_string(s, "remoteControlStatus", telemetry.remoteControlStatus);
        get_json_string(s, "remoteControlSignal", telemetry.remoteControlSignal);
        get_json_string(s, "remoteControlBattery", telemetry.remoteControlBattery);
        get_json_string(s, "isContinueTakePhoto", telemetry.isContinueTakePhoto);
        get_json_string(s, "isIrcutEnable", telemetry.isIrcutEnable);
        get_json_string(s, "isDynamicZoom", telemetry.isDynamicZoom);
        get_json_string(s, "upLink", telemetry.upLink);
        get_json_string(s, "downLink", telemetry.downLink);
        get_json_string(s, "gimbalPitch", telemetry.gimbalPitch);
        get_json_string(s, "gimbalRoll", telemetry.gimbalRoll);
        get_json_string(s, "gimbalYaw", telemetry.gimbalYaw);
        get_json_string(s, "ptzRoll", telemetry.ptzRoll);
    }

    if (doc.contains("stats")) {
        const json& s = doc["stats"];
        get_json_bool(s, "enabled", stats.enabled);
        get_json_int(s, "web_port", stats.web_port);
    }

    if (doc.contains("app")) {
        const json& s = doc["app"];
        get_json_string(s, "time_format", app.time_format);
        get_json_int(s, "float_precision", app.float_precision);
        get_json_int(s, "float_precision1", app.float_precision1);
    }
}

namespace {

// The fifteen hot-updatable settings, in the order of the update and the save.
template <typename Config, typename Visitor>
void for_each_hot_setting(Config& c, Visitor&& visit) {
    visit("siyi", "ip", c.siyi.ip);
    visit("siyi", "http_port", c.siyi.http_port);
    visit("siyi", "img_dir", c.siyi.img_dir);
    visit("mqtt", "host", c.mqtt.host);
    visit("mqtt", "port", c.mqtt.port);
    visit("mqtt", "request_topic", c.mqtt.request_topic);
    visit("mqtt", "response_topic", c.mqtt.response_topic);
    visit("platform", "url", c.platform.url);
    visit("platform", "site_id", c.platform.site_id);
    visit("socketio", "uri", c.socketio.uri);
    visit("socketio", "access_key", c.socketio.access_key);
    visit("stats", "enabled", c.stats.enabled);
    visit("stats", "web_port", c.stats.web_port);
    visit("px4ctrl", "host", c.px4ctrl.host);
    visit("px4ctrl", "port", c.px4ctrl.port);
}

bool accepts(const json& v, const std::string&) { return v.is_string(); }
bool accepts(const json& v, const int&) { return v.is_number_integer(); }
bool accepts(const json& v, const bool&) { return v.is_boolean(); }

}  // namespace

bool AppConfig::updateHotConfig(const json& doc) {
    bool updated = false;
    for_each_hot_setting(*this, [&](const char* sec, const char* key, auto& setting) {
        if (!doc.is_object() || !has_key(doc, sec) || !has_key(doc[sec], key)) return;
        if (!accepts(doc[sec][key], setting)) return;
        using T = std::decay_t<decltype(setting)>;
        if constexpr (std::is_same_v<T, int>) {
            get_json_int(doc[sec], key, setting);
        } else {
            setting = doc[sec][key].template get<T>();
        }
        updated = true;
    });
    return updated;
}

bool AppConfig::save(const std::string& path) const {
    json root;
    // A parse error is ignored: whatever the parser built before it is kept,
    // so a damaged file still gives back the keys it holds.
    nlohmann::detail::json_sax_dom_parser<json> builder(root, false);
    json::sax_parse(read_whole_file(path), &builder, json::input_format_t::json, false);
    if (!root.is_object()) root = json::object();

    for_each_hot_setting(*this, [&root](const char* sec, const char* key, const auto& setting) {
        if (!root.contains(sec) || !root[sec].is_object()) root[sec] = json::object();
        root[sec][key] = setting;
    });

    return write_file_atomically(path, root.dump(4, ' ', false, json::error_handler_t::replace));
}

}  // namespace kovo::config
