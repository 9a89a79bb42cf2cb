#include "config_fields.h"

namespace configtest {

std::map<std::string, nlohmann::json> keyed_fields(const AppConfig& c)
{
    std::map<std::string, nlohmann::json> f;
    f["px4ctrl.host"] = c.px4ctrl.host;
    f["px4ctrl.port"] = c.px4ctrl.port;
    f["px4ctrl.ws_path"] = c.px4ctrl.ws_path;
    f["px4ctrl.ws_protocol"] = c.px4ctrl.ws_protocol;
    f["px4ctrl.login_cmd"] = c.px4ctrl.login_cmd;
    f["px4ctrl.login_password"] = c.px4ctrl.login_password;
    f["px4ctrl.state_cmd"] = c.px4ctrl.state_cmd;
    f["px4ctrl.default_cmd"] = c.px4ctrl.default_cmd;
    f["px4ctrl.default_ret"] = c.px4ctrl.default_ret;
    f["px4ctrl.login_resp_cmd"] = c.px4ctrl.login_resp_cmd;
    f["px4ctrl.state_push_cmd"] = c.px4ctrl.state_push_cmd;
    f["px4ctrl.state_push_ret"] = c.px4ctrl.state_push_ret;
    f["px4ctrl.write_buffer_size"] = c.px4ctrl.write_buffer_size;
    f["px4ctrl.reconnect_backoff_ms"] = c.px4ctrl.reconnect_backoff_ms;
    f["px4ctrl.jitter_percent"] = c.px4ctrl.jitter_percent;
    f["px4ctrl.secs_since_valid_ping"] = c.px4ctrl.secs_since_valid_ping;
    f["px4ctrl.secs_since_valid_hangup"] = c.px4ctrl.secs_since_valid_hangup;
    f["px4ctrl.initial_schedule_delay_us"] = c.px4ctrl.initial_schedule_delay_us;
    f["px4ctrl.service_timeout_ms"] = c.px4ctrl.service_timeout_ms;
    f["px4ctrl.ssl_connection"] = c.px4ctrl.ssl_connection;
    f["socketio.uri"] = c.socketio.uri;
    f["socketio.access_key"] = c.socketio.access_key;
    f["socketio.client_type"] = c.socketio.client_type;
    f["socketio.reconnect_attempts"] = c.socketio.reconnect_attempts;
    f["socketio.reconnect_delay_ms"] = c.socketio.reconnect_delay_ms;
    f["socketio.events.mission"] = c.socketio.events.mission;
    f["socketio.events.reboot_query"] = c.socketio.events.reboot_query;
    f["socketio.events.realtime_status"] = c.socketio.events.realtime_status;
    f["socketio.events.mission_status"] = c.socketio.events.mission_status;
    f["mqtt.host"] = c.mqtt.host;
    f["mqtt.port"] = c.mqtt.port;
    f["mqtt.username"] = c.mqtt.username;
    f["mqtt.password"] = c.mqtt.password;
    f["mqtt.client_id_prefix"] = c.mqtt.client_id_prefix;
    f["mqtt.request_topic"] = c.mqtt.request_topic;
    f["mqtt.response_topic"] = c.mqtt.response_topic;
    f["mqtt.qos"] = c.mqtt.qos;
    f["mqtt.keepalive"] = c.mqtt.keepalive;
    f["platform.url"] = c.platform.url;
    f["platform.site_id"] = c.platform.site_id;
    f["platform.endpoints.flight_history"] = c.platform.endpoints.flight_history;
    f["platform.endpoints.status_history"] = c.platform.endpoints.status_history;
    f["platform.endpoints.arrive_point"] = c.platform.endpoints.arrive_point;
    f["platform.call_module"] = c.platform.call_module;
    f["platform.upload_file_field"] = c.platform.upload_file_field;
    f["platform.timeout.post_json"] = c.platform.timeout.post_json;
    f["platform.timeout.post_form"] = c.platform.timeout.post_form;
    f["platform.timeout.post_file"] = c.platform.timeout.post_file;
    f["platform.timeout.download"] = c.platform.timeout.download;
    f["platform.uav_status_text"] = c.platform.uav_status_text;
    f["platform.cmd_flight_history"] = c.platform.cmd_flight_history;
    f["platform.cmd_status_history"] = c.platform.cmd_status_history;
    f["platform.cmd_arrive_point"] = c.platform.cmd_arrive_point;
    f["platform.log_normal_endpoint"] = c.platform.log_normal_endpoint;
    f["platform.log_crash_endpoint"] = c.platform.log_crash_endpoint;
    f["siyi.ip"] = c.siyi.ip;
    f["siyi.http_port"] = c.siyi.http_port;
    f["siyi.img_dir"] = c.siyi.img_dir;
    f["mission.defaults.takeOffAltitude"] = c.mission.defaults.takeOffAltitude;
    f["mission.defaults.batteryLimit"] = c.mission.defaults.batteryLimit;
    f["mission.defaults.isBeforeTakeoffPhoto"] = c.mission.defaults.isBeforeTakeoffPhoto;
    f["mission.max_start_retries"] = c.mission.max_start_retries;
    f["mission.retry_wait_seconds"] = c.mission.retry_wait_seconds;
    f["mission.state_verify_wait_seconds"] = c.mission.state_verify_wait_seconds;
    f["mission.status_init"] = c.mission.status_init;
    f["mission.fs_standby"] = c.mission.fs_standby;
    f["mission.fs_takeoff"] = c.mission.fs_takeoff;
    f["mission.fs_executing"] = c.mission.fs_executing;
    f["mission.fs_landing"] = c.mission.fs_landing;
    f["mission.fs_rtl"] = c.mission.fs_rtl;
    f["mission.fs_idle"] = c.mission.fs_idle;
    f["mission.flying_fs_codes"] = c.mission.flying_fs_codes;
    f["mission.reboot_allowed_fs_codes"] = c.mission.reboot_allowed_fs_codes;
    f["mission.landed_to_finished_delay_ms"] = c.mission.landed_to_finished_delay_ms;
    f["mission.status_emit_period_ticks"] = c.mission.status_emit_period_ticks;
    f["mission.worker_poll_interval_seconds"] = c.mission.worker_poll_interval_seconds;
    f["mission.last_kovo_idx_sentinel"] = c.mission.last_kovo_idx_sentinel;
    f["mission.default_fs_value"] = c.mission.default_fs_value;
    f["mission.default_height_idx"] = c.mission.default_height_idx;
    f["mission.default_camera"] = c.mission.default_camera;
    f["mission.siyi_camera_type"] = c.mission.siyi_camera_type;
    f["mission.kovo_cmd_prefix"] = c.mission.kovo_cmd_prefix;
    f["mission.temp_file_prefix"] = c.mission.temp_file_prefix;
    f["mission.temp_file_extension"] = c.mission.temp_file_extension;
    f["mission.json_indent"] = c.mission.json_indent;
    f["mission.uav_arrive_point_value"] = c.mission.uav_arrive_point_value;
    f["files.client_log"] = c.files.client_log;
    f["files.car_mission"] = c.files.car_mission;
    f["files.upload_result"] = c.files.upload_result;
    f["telemetry.batteryTemperature"] = c.telemetry.batteryTemperature;
    f["telemetry.actionType"] = c.telemetry.actionType;
    f["telemetry.imageTransSignal"] = c.telemetry.imageTransSignal;
    f["telemetry.remoteControlStatus"] = c.telemetry.remoteControlStatus;
    f["telemetry.remoteControlSignal"] = c.telemetry.remoteControlSignal;
    f["telemetry.remoteControlBattery"] = c.telemetry.remoteControlBattery;
    f["telemetry.isContinueTakePhoto"] = c.telemetry.isContinueTakePhoto;
    f["telemetry.isIrcutEnable"] = c.telemetry.isIrcutEnable;
    f["telemetry.isDynamicZoom"] = c.telemetry.isDynamicZoom;
    f["telemetry.upLink"] = c.telemetry.upLink;
    f["telemetry.downLink"] = c.telemetry.downLink;
    f["telemetry.gimbalPitch"] = c.telemetry.gimbalPitch;
    f["telemetry.gimbalRoll"] = c.telemetry.gimbalRoll;
    f["telemetry.gimbalYaw"] = c.telemetry.gimbalYaw;
    f["telemetry.ptzRoll"] = c.telemetry.ptzRoll;
    f["uav_defaults.online"] = c.uav_defaults.online;
    f["uav_defaults.armed"] = c.uav_defaults.armed;
    f["uav_defaults.battery_remain"] = c.uav_defaults.battery_remain;
    f["uav_defaults.battery_vol"] = c.uav_defaults.battery_vol;
    f["uav_defaults.lpos_x"] = c.uav_defaults.lpos_x;
    f["uav_defaults.lpos_y"] = c.uav_defaults.lpos_y;
    f["uav_defaults.lpos_z"] = c.uav_defaults.lpos_z;
    f["uav_defaults.lpos_vx"] = c.uav_defaults.lpos_vx;
    f["uav_defaults.lpos_vy"] = c.uav_defaults.lpos_vy;
    f["uav_defaults.lpos_vz"] = c.uav_defaults.lpos_vz;
    f["uav_defaults.atti_p"] = c.uav_defaults.atti_p;
    f["uav_defaults.atti_r"] = c.uav_defaults.atti_r;
    f["uav_defaults.atti_y"] = c.uav_defaults.atti_y;
    f["stats.enabled"] = c.stats.enabled;
    f["stats.web_port"] = c.stats.web_port;
    f["app.time_format"] = c.app.time_format;
    f["app.float_precision"] = c.app.float_precision;
    f["app.float_precision1"] = c.app.float_precision1;
    return f;
}

std::map<std::string, nlohmann::json> keyless_fields(const AppConfig& c)
{
    const AppConfig::UavDefaults& u = c.uav_defaults;
    return {
        {"lws_context_port", c.px4ctrl.lws_context_port},
        {"fs_kovo", c.mission.fs_kovo},
        {"battery_vol_f", u.battery_vol_f},
        {"lpos_x_f", u.lpos_x_f},
        {"lpos_y_f", u.lpos_y_f},
        {"lpos_z_f", u.lpos_z_f},
        {"lpos_vx_f", u.lpos_vx_f},
        {"lpos_vy_f", u.lpos_vy_f},
        {"lpos_vz_f", u.lpos_vz_f},
        {"atti_p_f", u.atti_p_f},
        {"atti_r_f", u.atti_r_f},
        {"atti_y_f", u.atti_y_f},
    };
}

const std::vector<std::string>& hot_paths()
{
    static const std::vector<std::string> paths{
        "siyi.ip",         "siyi.http_port",       "siyi.img_dir",          "mqtt.host",
        "mqtt.port",       "mqtt.request_topic",   "mqtt.response_topic",   "platform.url",
        "platform.site_id", "socketio.uri",        "socketio.access_key",   "stats.enabled",
        "stats.web_port",  "px4ctrl.host",         "px4ctrl.port",
    };
    return paths;
}

namespace {

void flatten_into(const nlohmann::json& value, const std::string& prefix,
                  std::map<std::string, nlohmann::json>& out)
{
    if (!value.is_object()) {
        out[prefix] = value;
        return;
    }
    for (auto it = value.begin(); it != value.end(); ++it) {
        flatten_into(it.value(), prefix.empty() ? it.key() : prefix + "." + it.key(), out);
    }
}

}  // namespace

std::map<std::string, nlohmann::json> flatten(const nlohmann::json& doc)
{
    std::map<std::string, nlohmann::json> out;
    flatten_into(doc, "", out);
    return out;
}

nlohmann::json nest(const std::string& path, const nlohmann::json& value)
{
    nlohmann::json doc = nlohmann::json::object();
    nlohmann::json* at = &doc;
    size_t start = 0;
    for (size_t dot = path.find('.'); dot != std::string::npos; dot = path.find('.', start)) {
        at = &(*at)[path.substr(start, dot - start)];
        start = dot + 1;
    }
    (*at)[path.substr(start)] = value;
    return doc;
}

}  // namespace configtest
