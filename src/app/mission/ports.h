#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "monitor/internal_state.h"

namespace kovo::app {

// The mission logic reaches the links, the statistics, time and background
// work only through these interfaces: the daemon plugs in the real links,
// tests plug in fakes and drive a whole mission tick by tick.

class Px4Port {
public:
    virtual ~Px4Port() = default;
    virtual bool isConnected() const = 0;
    virtual bool isLogined() const = 0;
    // Successful logins so far: a change means a reconnection.
    virtual uint64_t loginCount() const = 0;
    // The last pushed state document (an empty object before the first push).
    virtual nlohmann::json getState() = 0;
    // True when the command was queued for px4ctrl.
    virtual bool sendCmd(const std::string& cmd) = 0;
};

class CarPort {
public:
    virtual ~CarPort() = default;
    virtual void sendRealtimeStatus(const nlohmann::json& status) = 0;
    virtual void sendMissionStatus(const nlohmann::json& status) = 0;
    virtual void sendCanRebootResp(bool can_reboot) = 0;
};

class MqttPort {
public:
    virtual ~MqttPort() = default;
    virtual bool publishRequest(const std::string& message) = 0;
};

// A completed transfer returns true and stores the HTTP status; callers
// decide which statuses count as success (http_success).
class HttpPort {
public:
    virtual ~HttpPort() = default;
    virtual bool downloadFile(const std::string& url, const std::string& path, long* http_status) = 0;
    virtual bool postFile(const std::string& url, const std::string& path,
                          const std::map<std::string, std::string>& fields, const std::string& field_name,
                          std::string* response, long* http_status) = 0;
};

inline bool http_success(long status) { return status >= 200 && status < 300; }

// An upload the mission could not make, kept for later: the file (or the
// camera picture to download first) and the form it goes with.
struct SpooledUpload {
    std::string url;           // where it is posted
    std::string path;          // the file; empty when download_url is set
    std::string download_url;  // a camera picture not downloaded yet, named as the camera names it
    std::map<std::string, std::string> fields;
    std::string field_name;  // the file's form field; empty: platform.upload_file_field
    std::string mission;     // named when it is given up
};

// Takes over uploads the mission gives up on and retries them in the
// background, across restarts. The file is copied (or linked) at once, so
// the caller may remove its own.
class UploadSpill {
public:
    virtual ~UploadSpill() = default;
    virtual void spool(const SpooledUpload& upload) = 0;
};

class StatsPort {
public:
    virtual ~StatsPort() = default;
    virtual void onMissionStarted(const std::string& mission_id, const std::string& strategy_id,
                                  const std::string& point_id, const std::string& action_id, int point_count,
                                  const std::string& task_dir, const std::string& start_time) = 0;
    virtual void onMissionSuccess(const std::string& end_time) = 0;
    virtual void onMissionFailed(const std::string& reason, const std::string& end_time) = 0;
    // The current mission's photos, told before its end.
    virtual void onMissionPhotos(int listed, int uploaded, int failed) = 0;
    virtual void onStatusTransition(const std::string& from, const std::string& to) = 0;
    virtual void updateInternalState(const monitor::InternalState& state) = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::chrono::steady_clock::time_point now() const = 0;
    // Sleeps for d. False when the wait was cut short because the
    // application is stopping: the caller gives up its work.
    virtual bool sleepFor(std::chrono::milliseconds d) = 0;
};

// Runs one-shot work (mission start, photo and log uploads) beside the caller.
class TaskRunner {
public:
    virtual ~TaskRunner() = default;
    virtual void run(std::function<void()> task) = 0;
};

}  // namespace kovo::app
