#pragma once

#include <map>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

using namespace kovo::config;

// The settings of an AppConfig by name, as the JSON values a file would hold,
// so that tests compare whole records and name the setting that differs.
namespace configtest {

using Fields = std::map<std::string, nlohmann::json>;

// Every setting. One with a key in the file is named by its JSON path, which
// the member path spells out; the keyless ones and the float companions of
// uav_defaults by their member name, without a dot.
inline Fields fields(const AppConfig& c) {
    Fields f{{"lws_context_port", c.px4ctrl.lws_context_port}, {"fs_kovo", c.mission.fs_kovo}};
// clang-format off
#define K(path) f[#path] = c.path;
#define F(companion) f[#companion] = c.uav_defaults.companion;
    K(px4ctrl.host) K(px4ctrl.port) K(px4ctrl.ws_path) K(px4ctrl.ws_protocol) K(px4ctrl.login_cmd)
    K(px4ctrl.login_password) K(px4ctrl.state_cmd) K(px4ctrl.default_cmd) K(px4ctrl.default_ret)
    K(px4ctrl.login_resp_cmd) K(px4ctrl.state_push_cmd) K(px4ctrl.state_push_ret) K(px4ctrl.write_buffer_size)
    K(px4ctrl.reconnect_backoff_ms) K(px4ctrl.jitter_percent) K(px4ctrl.secs_since_valid_ping)
    K(px4ctrl.secs_since_valid_hangup) K(px4ctrl.initial_schedule_delay_us) K(px4ctrl.service_timeout_ms) K(px4ctrl.state_interval_ms)
    K(px4ctrl.ssl_connection) K(socketio.uri) K(socketio.access_key) K(socketio.client_type)
    K(socketio.reconnect_attempts) K(socketio.reconnect_delay_ms) K(socketio.events.mission)
    K(socketio.events.reboot_query) K(socketio.events.realtime_status) K(socketio.events.mission_status) K(mqtt.host)
    K(mqtt.port) K(mqtt.username) K(mqtt.password) K(mqtt.client_id_prefix) K(mqtt.request_topic)
    K(mqtt.response_topic) K(mqtt.qos) K(mqtt.keepalive) K(platform.url) K(platform.site_id)
    K(platform.endpoints.flight_history) K(platform.endpoints.status_history) K(platform.endpoints.arrive_point)
    K(platform.call_module) K(platform.upload_file_field) K(platform.timeout.post_json) K(platform.timeout.post_form)
    K(platform.timeout.post_file) K(platform.timeout.download) K(platform.uav_status_text)
    K(platform.cmd_flight_history) K(platform.cmd_status_history) K(platform.cmd_arrive_point)
    K(platform.log_normal_endpoint) K(platform.log_crash_endpoint) K(siyi.ip) K(siyi.http_port) K(siyi.img_dir)
    K(mission.defaults.takeOffAltitude) K(mission.defaults.batteryLimit) K(mission.defaults.isBeforeTakeoffPhoto)
    K(mission.max_start_retries) K(mission.retry_wait_seconds) K(mission.state_verify_wait_seconds)
    K(mission.status_init) K(mission.fs_standby) K(mission.fs_takeoff) K(mission.fs_executing) K(mission.fs_landing)
    K(mission.fs_rtl) K(mission.fs_idle) K(mission.flying_fs_codes) K(mission.reboot_allowed_fs_codes)
    K(mission.landed_to_finished_delay_ms) K(mission.status_emit_period_ticks) K(mission.worker_poll_interval_seconds)
    K(mission.last_kovo_idx_sentinel) K(mission.default_fs_value) K(mission.default_height_idx)
    K(mission.default_camera) K(mission.siyi_camera_type) K(mission.kovo_cmd_prefix) K(mission.temp_file_prefix)
    K(mission.temp_file_extension) K(mission.json_indent) K(mission.uav_arrive_point_value) K(files.client_log)
    K(files.car_mission) K(files.upload_result) K(telemetry.batteryTemperature) K(telemetry.actionType)
    K(telemetry.imageTransSignal) K(telemetry.remoteControlStatus) K(telemetry.remoteControlSignal)
    K(telemetry.remoteControlBattery) K(telemetry.isContinueTakePhoto) K(telemetry.isIrcutEnable)
    K(telemetry.isDynamicZoom) K(telemetry.upLink) K(telemetry.downLink) K(telemetry.gimbalPitch)
    K(telemetry.gimbalRoll) K(telemetry.gimbalYaw) K(telemetry.ptzRoll) K(uav_defaults.online) K(uav_defaults.armed)
    K(uav_defaults.battery_remain) K(uav_defaults.battery_vol) K(uav_defaults.lpos_x) K(uav_defaults.lpos_y)
    K(uav_defaults.lpos_z) K(uav_defaults.lpos_vx) K(uav_defaults.lpos_vy) K(uav_defaults.lpos_vz)
    K(uav_defaults.atti_p) K(uav_defaults.atti_r) K(uav_defaults.atti_y) K(stats.enabled) K(stats.web_port)
    K(app.time_format) K(app.float_precision) K(app.float_precision1)
    F(battery_vol_f) F(lpos_x_f) F(lpos_y_f) F(lpos_z_f) F(lpos_vx_f) F(lpos_vy_f) F(lpos_vz_f) F(atti_p_f) F(atti_r_f)
    F(atti_y_f)
#undef K
#undef F
        // clang-format on
        return f;
}

inline bool has_key(const std::string& name) { return name.find('.') != std::string::npos; }

// The fifteen settings a hot update may change.
inline const std::set<std::string> kHotPaths{
    "siyi.ip",          "siyi.http_port",     "siyi.img_dir",        "mqtt.host",
    "mqtt.port",        "mqtt.request_topic", "mqtt.response_topic", "platform.url",
    "platform.site_id", "socketio.uri",       "socketio.access_key", "stats.enabled",
    "stats.web_port",   "px4ctrl.host",       "px4ctrl.port"};

// The defaults with the given settings changed.
inline Fields defaults_with(Fields changes) {
    changes.merge(fields(AppConfig{}));  // a name already present keeps its value
    return changes;
}

// A value that differs from v: of the same JSON type, or of a type that v's
// setting does not accept.
inline nlohmann::json other_value(const nlohmann::json& v, bool same_type = true) {
    using nlohmann::json;
    if (v.is_string()) return same_type ? json(v.get<std::string>() + "~changed") : json(12);
    if (v.is_boolean()) return same_type ? json(!v.get<bool>()) : json("true");
    if (v.is_array()) return same_type ? json::array({9, 8}) : json::object({{"0", 1}});
    return same_type ? json(v.get<int64_t>() + 7) : json(2.0);
}

inline AppConfig loaded_from(const nlohmann::json& doc) {
    AppConfig c;
    c.loadFromJson(doc);
    return c;
}

// The leaves of a document by dotted path (arrays are leaves).
inline Fields flatten(const nlohmann::json& doc, const std::string& prefix = "") {
    if (!doc.is_object()) return {{prefix, doc}};
    Fields out;
    for (const auto& [key, value] : doc.items())
        out.merge(flatten(value, prefix.empty() ? key : prefix + "." + key));
    return out;
}

// A document holding value at the dotted path.
inline nlohmann::json nest(const std::string& path, const nlohmann::json& value) {
    const auto dot = path.find('.');
    if (dot == std::string::npos) return {{path, value}};
    return {{path.substr(0, dot), nest(path.substr(dot + 1), value)}};
}

}  // namespace configtest
