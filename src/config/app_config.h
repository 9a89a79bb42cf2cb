#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kovo::config {

// The daemon's one configuration record. Every setting is named by its JSON
// path in the configuration file: section, optional subsection, key
// (px4ctrl.host, socketio.events.mission, platform.timeout.post_file); the
// members below mirror those paths. Defaults are the built-in values, so the
// daemon runs without any file.
struct AppConfig {
    struct Px4ctrl {
        std::string host = "127.0.0.1";
        int port = 53001;
        std::string ws_path = "/";
        std::string ws_protocol = "http";
        std::string login_cmd = "login";
        std::string login_password = "quenlarf";
        std::string state_cmd = "state";
        int default_cmd = 0;
        int default_ret = -1;
        int login_resp_cmd = 42;
        int state_push_cmd = 1;
        int state_push_ret = 0;
        int write_buffer_size = 512;
        std::vector<uint32_t> reconnect_backoff_ms{1000, 2000, 3000, 4000, 5000};
        int jitter_percent = 20;
        int secs_since_valid_ping = 65535;
        int secs_since_valid_hangup = 65535;
        int lws_context_port = -1;  // no key in the file: the context never listens
        int initial_schedule_delay_us = 1;
        int service_timeout_ms = 50;
        int state_interval_ms = 20;  // 0: a request at once after each push
        bool ssl_connection = false;
    } px4ctrl;

    struct Socketio {
        std::string uri = "http://127.0.0.1:8080";
        std::string access_key = "4821-9037";
        std::string client_type = "app";
        int reconnect_attempts = 0;
        int reconnect_delay_ms = 1000;
        struct Events {
            std::string mission = "car_uav_begin_mission";
            std::string reboot_query = "car_uav_can_reboot_uav";
            std::string realtime_status = "uav_realtime_status";
            std::string mission_status = "uav_mission_status";
        } events;
    } socketio;

    struct Mqtt {
        std::string host = "127.0.0.1";
        int port = 1883;
        std::string username;
        std::string password;
        std::string client_id_prefix = "indoorCar";
        std::string request_topic = "/api/carUavModule/indoorPlatform/cmd/request";
        std::string response_topic = "/api/carUavModule/indoorPlatform/cmd/response";
        int qos = 1;
        int keepalive = 60;
    } mqtt;

    struct Platform {
        std::string url = "http://127.0.0.1:8087";
        std::string site_id = "qtpe-8264";
        struct Endpoints {
            std::string flight_history = "/api/carUavModule/indoorPlatform/cmd/request";
            std::string status_history = "/api/carUavModule/indoorPlatform/cmd/request";
            std::string arrive_point = "/api/carUavModule/indoorPlatform/cmd/request";
        } endpoints;
        std::string call_module = "indoorCar";
        std::string upload_file_field = "file";
        struct Timeout {
            int64_t post_json = 5;
            int64_t post_form = 10;
            int64_t post_file = 30;
            int64_t download = 30;
        } timeout;
        std::string uav_status_text = "无人机状态";
        std::string cmd_flight_history = "UploadCarFlightHistory";
        std::string cmd_status_history = "UploadUavStatusHistory";
        std::string cmd_arrive_point = "UploadUavArrivePoint";
        std::string log_normal_endpoint = "/carUavBackend/logFileArchive/saveUavNormalLog";
        std::string log_crash_endpoint = "/carUavBackend/logFileArchive/saveUavCrashLog";
    } platform;

    struct Siyi {
        std::string ip = "192.168.144.25";
        int http_port = 82;
        std::string img_dir = "101SIYI_IMG";
    } siyi;

    struct Mission {
        struct Defaults {
            std::string takeOffAltitude = "1.2";
            std::string batteryLimit = "20";
            std::string isBeforeTakeoffPhoto = "0";
        } defaults;
        int max_start_retries = 3;
        int retry_wait_seconds = 2;
        int state_verify_wait_seconds = 3;
        int status_init = 1;
        int fs_standby = 2;
        int fs_takeoff = 3;
        int fs_executing = 4;
        int fs_kovo = 7;  // no key in the file
        int fs_landing = 6;
        int fs_rtl = 5;
        int fs_idle = 0;
        std::vector<int> flying_fs_codes{3, 4, 6, 7};
        std::vector<int> reboot_allowed_fs_codes{2, 0};
        int landed_to_finished_delay_ms = 500;
        int status_emit_period_ticks = 5;
        int worker_poll_interval_seconds = 1;
        int last_kovo_idx_sentinel = -999;
        int default_fs_value = -1;
        int default_height_idx = -1;
        std::string default_camera = "onboard";
        std::string siyi_camera_type = "siyi";
        std::string kovo_cmd_prefix = "kovo";
        std::string temp_file_prefix = "/tmp/kovo_siyi_";
        std::string temp_file_extension = ".jpg";
        int json_indent = 2;
        std::string uav_arrive_point_value = "1";
    } mission;

    struct Files {
        std::string client_log = "client_log.jsonl";
        std::string car_mission = "car_mission.json";
        std::string upload_result = "upload_result.json";
    } files;

    struct Telemetry {
        std::string batteryTemperature = "25.0";
        std::string actionType = "1";
        std::string imageTransSignal = "100";
        std::string remoteControlStatus = "0";
        std::string remoteControlSignal = "0";
        std::string remoteControlBattery = "0";
        std::string isContinueTakePhoto = "0";
        std::string isIrcutEnable = "0";
        std::string isDynamicZoom = "0";
        std::string upLink = "100";
        std::string downLink = "100";
        std::string gimbalPitch = "0";
        std::string gimbalRoll = "0";
        std::string gimbalYaw = "0";
        std::string ptzRoll = "0";
    } telemetry;

    // Each textual default has a float companion (the _f member) that loading
    // sets to the text's numeric value; computations use the companion.
    struct UavDefaults {
        bool online = false;
        bool armed = false;
        int battery_remain = 0;
        std::string battery_vol = "0";
        std::string lpos_x = "0";
        std::string lpos_y = "0";
        std::string lpos_z = "0";
        std::string lpos_vx = "0";
        std::string lpos_vy = "0";
        std::string lpos_vz = "0";
        std::string atti_p = "0";
        std::string atti_r = "0";
        std::string atti_y = "0";
        float battery_vol_f = 0.0f;
        float lpos_x_f = 0.0f;
        float lpos_y_f = 0.0f;
        float lpos_z_f = 0.0f;
        float lpos_vx_f = 0.0f;
        float lpos_vy_f = 0.0f;
        float lpos_vz_f = 0.0f;
        float atti_p_f = 0.0f;
        float atti_r_f = 0.0f;
        float atti_y_f = 0.0f;
    } uav_defaults;

    struct Stats {
        bool enabled = true;
        int web_port = 18080;
    } stats;

    struct App {
        std::string time_format = "%Y-%m-%d %H:%M:%S";
        int float_precision = 2;
        int float_precision1 = 1;
    } app;

    // Reads the file at path into the record. False (and a line on standard
    // error) when it cannot be opened or parsed; the record then keeps what it
    // had.
    bool load(const std::string& path);
    // Applies a parsed document; never throws.
    void loadFromJson(const nlohmann::json& doc);
    // Applies the fifteen hot-updatable settings found in doc; true when at
    // least one was assigned.
    bool updateHotConfig(const nlohmann::json& doc);
    // Writes the fifteen hot settings into the file at path, keeping every
    // other key the file holds. Never leaves a half-written file.
    bool save(const std::string& path) const;
};

// strtof's rules: leading white space skipped, the longest valid prefix
// converted. False (out unchanged) when there is no such prefix or the value
// is out of the float range.
bool parse_float_prefix(const std::string& text, float& out);

// Readers of one key of a section; each leaves the setting unchanged unless
// the key is present with the accepted JSON type.
void get_json_string(const nlohmann::json& section, const std::string& key, std::string& out);
void get_json_int(const nlohmann::json& section, const std::string& key, int& out);
void get_json_long(const nlohmann::json& section, const std::string& key, int64_t& out);
void get_json_bool(const nlohmann::json& section, const std::string& key, bool& out);
void get_json_uint32_vec(const nlohmann::json& section, const std::string& key, std::vector<uint32_t>& out);
void get_json_int_vec(const nlohmann::json& section, const std::string& key, std::vector<int>& out);

}  // namespace kovo::config
