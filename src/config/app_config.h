#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kovo::config {

// A key of a document that was not applied, and why ("out of range 1..65535").
struct Refusal {
    std::string path;  // "mqtt.port"; a section alone for a section ("extra")
    std::string why;
};

// What applying a document did: the settings it assigned (by path) and the
// keys it refused.
struct ApplyResult {
    std::vector<std::string> accepted;
    std::vector<Refusal> refused;
};

// One line load has to report; src/config logs nothing itself, its caller
// writes the lines.
struct LoadMessage {
    bool error{};  // standard error; otherwise standard output
    std::string text;
};

// The daemon's one configuration record. Every setting is named by its JSON
// path in the configuration file: section, optional subsection, key
// (px4ctrl.host, socketio.events.mission, platform.timeout.post_file); the
// members below mirror those paths. The settings table (settings.cpp)
// declares each setting's key, default, rule and whether a hot update may
// change it; the constructor sets every member from it. Numbers and flags
// start at zero ({}) so that a sub-struct built alone is never uninitialised;
// the members with another initialiser here have no key in the file.
struct AppConfig {
    struct Px4ctrl {
        std::string host;
        int port{};
        std::string ws_path;
        std::string ws_protocol;
        std::string login_cmd;
        std::string login_password;
        std::string state_cmd;
        int default_cmd{};
        int default_ret{};
        int login_resp_cmd{};
        int state_push_cmd{};
        int state_push_ret{};
        int write_buffer_size{};
        std::vector<uint32_t> reconnect_backoff_ms;
        int jitter_percent{};
        int secs_since_valid_ping{};
        int secs_since_valid_hangup{};
        int lws_context_port{};
        int initial_schedule_delay_us{};
        int service_timeout_ms{};
        int state_interval_ms{};
        bool ssl_connection{};
    } px4ctrl;

    struct Socketio {
        std::string uri;
        std::string access_key;
        std::string client_type;
        int reconnect_attempts{};
        int reconnect_delay_ms{};
        struct Events {
            std::string mission;
            std::string reboot_query;
            std::string realtime_status;
            std::string mission_status;
        } events;
    } socketio;

    struct Mqtt {
        std::string host;
        int port{};
        std::string username;
        std::string password;
        std::string client_id_prefix;
        std::string request_topic;
        std::string response_topic;
        int qos{};
        int keepalive{};
    } mqtt;

    struct Platform {
        std::string url;
        std::string site_id;
        struct Endpoints {
            std::string flight_history;
            std::string status_history;
            std::string arrive_point;
        } endpoints;
        std::string call_module;
        std::string upload_file_field;
        struct Timeout {
            int64_t post_json{};
            int64_t post_form{};
            int64_t post_file{};
            int64_t download{};
        } timeout;
        std::string uav_status_text;
        std::string cmd_flight_history;
        std::string cmd_status_history;
        std::string cmd_arrive_point;
        std::string log_normal_endpoint;
        std::string log_crash_endpoint;
    } platform;

    struct Siyi {
        std::string ip;
        int http_port{};
        std::string img_dir;
        int connect_timeout_ms{};
        int download_timeout_ms{};
    } siyi;

    struct Mission {
        struct Defaults {
            std::string takeOffAltitude;
            std::string batteryLimit;
            std::string isBeforeTakeoffPhoto;
        } defaults;
        int max_start_retries{};
        int retry_wait_seconds{};
        int state_verify_wait_seconds{};
        int status_init{};
        int fs_standby{};
        int fs_takeoff{};
        int fs_executing{};
        int fs_kovo = 7;  // no key in the file
        int fs_landing{};
        int fs_rtl{};
        int fs_idle{};
        std::vector<int> flying_fs_codes;
        std::vector<int> reboot_allowed_fs_codes;
        int landed_to_finished_delay_ms{};
        int status_emit_period_ticks{};
        int worker_poll_interval_seconds{};
        int last_kovo_idx_sentinel{};
        int default_fs_value{};
        int default_height_idx{};
        std::string default_camera;
        std::string siyi_camera_type;
        std::string kovo_cmd_prefix;
        std::string temp_file_prefix;
        std::string temp_file_extension;
        int json_indent{};
        std::string uav_arrive_point_value;
    } mission;

    struct Files {
        std::string client_log;
        std::string car_mission;
        std::string upload_result;
    } files;

    struct Telemetry {
        std::string batteryTemperature;
        std::string actionType;
        std::string imageTransSignal;
        std::string remoteControlStatus;
        std::string remoteControlSignal;
        std::string remoteControlBattery;
        std::string isContinueTakePhoto;
        std::string isIrcutEnable;
        std::string isDynamicZoom;
        std::string upLink;
        std::string downLink;
        std::string gimbalPitch;
        std::string gimbalRoll;
        std::string gimbalYaw;
        std::string ptzRoll;
    } telemetry;

    // Each textual default has a float companion (the _f member) that loading
    // sets to the text's numeric value; computations use the companion.
    struct UavDefaults {
        bool online{};
        bool armed{};
        int battery_remain{};
        std::string battery_vol;
        std::string lpos_x;
        std::string lpos_y;
        std::string lpos_z;
        std::string lpos_vx;
        std::string lpos_vy;
        std::string lpos_vz;
        std::string atti_p;
        std::string atti_r;
        std::string atti_y;
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
        bool enabled{};
        int web_port{};
        std::string bind_address;
        std::string auth_token;
    } stats;

    // The store of reports and uploads owed to the platform.
    struct Spool {
        std::string dir;
        int max_mb;
        int max_age_hours;
    } spool;

    struct App {
        std::string time_format;
        int float_precision{};
        int float_precision1{};
    } app;

    // Every setting at its default.
    AppConfig();

    // Reads the file at path into the record: "[Config] Loaded from <path>"
    // and one "[Config] Ignoring <path>: <why>" line per key not taken, or a
    // failure line when the file cannot be opened or parsed (the record then
    // keeps what it had).
    std::vector<LoadMessage> load(const std::string& path);
    // Applies a parsed document: each key of the right type that obeys its
    // setting's rule is taken; never throws.
    ApplyResult loadFromJson(const nlohmann::json& doc);
    // The same for the hot settings only; every other key is refused.
    ApplyResult updateHotConfig(const nlohmann::json& doc);
    // Writes the hot settings into the file at path, keeping every other key
    // the file holds. Never leaves a half-written file; on failure error
    // (when given) holds the reason.
    bool save(const std::string& path, std::string* error = nullptr) const;

    // Every setting, as a configuration file holding them would.
    nlohmann::json toJson() const;
    // The hot settings under the names the statistics show them by
    // ("sio_uri", "px4_port", ...); a secret shows as kMasked, or empty when
    // it is empty.
    nlohmann::json shownSettings() const;

    static constexpr const char* kMasked = "******";
};

// strtof's rules: leading white space skipped, the longest valid prefix
// converted. False (out unchanged) when there is no such prefix or the value
// is out of the float range.
bool parse_float_prefix(const std::string& text, float& out);

}  // namespace kovo::config
