#pragma once

#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/mission_context.h"
#include "app/mission_core.h"
#include "app/ports.h"
#include "config/shared_config.h"

// Fakes of everything the mission logic talks to. Each is safe to use from
// the background threads of the tests that run real threads.
namespace fakes {

using nlohmann::json;

class FakePx4 : public Px4Port {
public:
    bool isConnected() const override
    {
        std::lock_guard<std::mutex> l(mutex_);
        return connected;
    }
    bool isLogined() const override
    {
        std::lock_guard<std::mutex> l(mutex_);
        return logined;
    }
    json getState() override
    {
        std::lock_guard<std::mutex> l(mutex_);
        ++state_reads;
        return state;
    }
    bool sendCmd(const std::string& cmd) override
    {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> l(mutex_);
            if (!accept_cmd) {
                return false;
            }
            commands.push_back(cmd);
            hook = on_cmd;
        }
        if (hook) {
            hook();
        }
        return true;
    }
    void setState(const json& s)
    {
        std::lock_guard<std::mutex> l(mutex_);
        state = s;
    }
    void setLink(bool up)
    {
        std::lock_guard<std::mutex> l(mutex_);
        connected = up;
        logined = up;
    }
    std::vector<std::string> sentCommands() const
    {
        std::lock_guard<std::mutex> l(mutex_);
        return commands;
    }

    // Guarded by the fake's mutex when threads are involved.
    bool connected = true;
    bool logined = true;
    bool accept_cmd = true;
    json state = json::object();
    std::vector<std::string> commands;
    std::function<void()> on_cmd;
    int state_reads = 0;

private:
    mutable std::mutex mutex_;
};

class RecordingCar : public CarPort {
public:
    void sendRealtimeStatus(const json& status) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        realtime.push_back(status);
    }
    void sendMissionStatus(const json& status) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        mission.push_back(status);
    }
    void sendCanRebootResp(bool can_reboot) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        reboot_answers.push_back(can_reboot);
    }
    std::vector<std::string> missionCodes() const
    {
        std::lock_guard<std::mutex> l(mutex_);
        std::vector<std::string> codes;
        for (const json& m : mission) {
            codes.push_back(m.at("missionStatus").get<std::string>());
        }
        return codes;
    }

    std::vector<json> realtime;
    std::vector<json> mission;
    std::vector<bool> reboot_answers;

private:
    mutable std::mutex mutex_;
};

class RecordingMqtt : public MqttPort {
public:
    bool publishRequest(const std::string& message) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        raw.push_back(message);
        return connected;
    }
    std::vector<json> messages() const
    {
        std::lock_guard<std::mutex> l(mutex_);
        std::vector<json> out;
        for (const std::string& m : raw) {
            out.push_back(json::parse(m));
        }
        return out;
    }
    std::vector<json> withCmd(const std::string& cmd) const
    {
        std::vector<json> out;
        for (const json& m : messages()) {
            if (m.at("platformCmd") == cmd) {
                out.push_back(m);
            }
        }
        return out;
    }
    // "uavStatusCode" of every status-history report, in order.
    std::vector<std::string> statusCodes() const
    {
        std::vector<std::string> codes;
        for (const json& m : withCmd("UploadUavStatusHistory")) {
            codes.push_back(m.at("parms").at("uavStatusCode").get<std::string>());
        }
        return codes;
    }
    size_t count(const std::string& cmd) const { return withCmd(cmd).size(); }

    bool connected = true;
    std::vector<std::string> raw;

private:
    mutable std::mutex mutex_;
};

struct HttpReply {
    bool ok = true;
    long status = 200;
    std::string body;
};

class FakeHttp : public HttpPort {
public:
    struct Post {
        std::string url;
        std::string path;
        std::map<std::string, std::string> fields;
        std::string field_name;
        std::string content;  // the file's content when it was posted
    };
    struct Download {
        std::string url;
        std::string path;
    };

    bool downloadFile(const std::string& url, const std::string& path, long* http_status) override
    {
        HttpReply reply;
        {
            std::lock_guard<std::mutex> l(mutex_);
            downloads.push_back({url, path});
            reply = download_reply ? download_reply(url) : HttpReply{true, 200, "JPEG:" + url};
        }
        // Like the real client: the body lands in the file, error page or not.
        std::ofstream(path, std::ios::binary | std::ios::trunc) << reply.body;
        if (http_status != nullptr) {
            *http_status = reply.ok ? reply.status : 0;
        }
        return reply.ok;
    }
    bool postFile(const std::string& url, const std::string& path, const std::map<std::string, std::string>& fields,
                  const std::string& field_name, std::string* response, long* http_status) override
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        std::lock_guard<std::mutex> l(mutex_);
        posts.push_back({url, path, fields, field_name, content.str()});
        const HttpReply reply = post_reply ? post_reply(url) : HttpReply{true, 200, "{\"code\":0}"};
        if (response != nullptr) {
            *response = reply.body;
        }
        if (http_status != nullptr) {
            *http_status = reply.ok ? reply.status : 0;
        }
        return reply.ok;
    }
    std::vector<Post> postsTo(const std::string& url) const
    {
        std::lock_guard<std::mutex> l(mutex_);
        std::vector<Post> out;
        for (const Post& p : posts) {
            if (p.url == url) {
                out.push_back(p);
            }
        }
        return out;
    }

    std::function<HttpReply(const std::string&)> download_reply;
    std::function<HttpReply(const std::string&)> post_reply;
    std::vector<Download> downloads;
    std::vector<Post> posts;

private:
    mutable std::mutex mutex_;
};

class RecordingStats : public StatsPort {
public:
    void onMissionStarted(const std::string& mission_id, const std::string& strategy_id, const std::string& point_id,
                          const std::string& action_id, int point_count, const std::string& task_dir,
                          const std::string& start_time) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        started.push_back({mission_id, strategy_id, point_id, action_id, std::to_string(point_count), task_dir,
                           start_time});
    }
    void onMissionSuccess(const std::string& end_time) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        successes.push_back(end_time);
    }
    void onMissionFailed(const std::string& reason, const std::string& end_time) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        failures.push_back({reason, end_time});
    }
    void onStatusTransition(const std::string& from, const std::string& to) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        transitions.push_back({from, to});
    }
    void updateInternalState(const InternalState& state) override
    {
        std::lock_guard<std::mutex> l(mutex_);
        states.push_back(state);
    }

    std::vector<std::vector<std::string>> started;
    std::vector<std::string> successes;
    std::vector<std::pair<std::string, std::string>> failures;
    std::vector<std::pair<std::string, std::string>> transitions;
    std::vector<InternalState> states;

private:
    std::mutex mutex_;
};

// Virtual time: every sleep returns at once and moves the clock on. A hook
// may act during a sleep (px4ctrl changing state, an upload finishing).
class FakeClock : public Clock {
public:
    std::chrono::steady_clock::time_point now() const override
    {
        std::lock_guard<std::mutex> l(mutex_);
        return now_;
    }
    bool sleep_for(std::chrono::milliseconds d) override
    {
        std::function<void(std::chrono::milliseconds)> hook;
        {
            std::lock_guard<std::mutex> l(mutex_);
            sleeps.push_back(d);
            now_ += d;
            hook = on_sleep;
        }
        if (hook) {
            hook(d);
        }
        std::lock_guard<std::mutex> l(mutex_);
        return !stopped;
    }
    std::chrono::milliseconds slept() const
    {
        std::lock_guard<std::mutex> l(mutex_);
        std::chrono::milliseconds total{0};
        for (auto d : sleeps) {
            total += d;
        }
        return total;
    }
    void clear()
    {
        std::lock_guard<std::mutex> l(mutex_);
        sleeps.clear();
    }

    std::vector<std::chrono::milliseconds> sleeps;
    std::function<void(std::chrono::milliseconds)> on_sleep;
    bool stopped = false;

private:
    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point now_{std::chrono::hours(1000)};
};

// Runs each task at once, on the caller's thread.
class InlineRunner : public TaskRunner {
public:
    void run(std::function<void()> task) override
    {
        ++started;
        task();
    }
    int started = 0;
};

// Keeps tasks until the test runs them.
class ManualRunner : public TaskRunner {
public:
    void run(std::function<void()> task) override { pending.push_back(std::move(task)); }
    void runAll()
    {
        while (!pending.empty()) {
            auto task = std::move(pending.front());
            pending.pop_front();
            task();
        }
    }
    std::deque<std::function<void()>> pending;
};

// A mission core over fakes, with a configuration the test may adjust
// before build().
struct Harness {
    Harness() { config.mission.worker_poll_interval_seconds = 1; }

    void build(TaskRunner* runner = nullptr)
    {
        shared = std::make_unique<SharedConfig>(config);
        TaskRunner& tasks = runner != nullptr ? *runner : inline_runner;
        core = std::make_unique<MissionCore>(*shared, mission,
                                             MissionPorts{px4, car, mqtt, http, stats, clock, tasks}, "4821-9037",
                                             "site-1");
    }

    AppConfig config;
    std::unique_ptr<SharedConfig> shared;
    MissionContext mission;
    FakePx4 px4;
    RecordingCar car;
    RecordingMqtt mqtt;
    FakeHttp http;
    RecordingStats stats;
    FakeClock clock;
    InlineRunner inline_runner;
    std::unique_ptr<MissionCore> core;
};

// The car's identifiers of a mission: action "A", history "H", mission "M",
// point "P", strategy "S". Mission lock held.
inline void set_identifiers(MissionContext& m)
{
    m.car_action_id = "A";
    m.car_flight_mission_history_id = "H";
    m.car_mission_id = "M";
    m.car_point_id = "P";
    m.car_strategy_id = "S";
}

// A px4ctrl state document.
inline json px4_state(int fs, const std::string& sub = "", int idx = -1, json photos = json::array(),
                      const std::string& task_dir = "")
{
    json kovo = {{"sub_state", sub}, {"height_idx", idx}, {"photos", std::move(photos)}};
    if (!task_dir.empty()) {
        kovo["task_dir"] = task_dir;
    }
    return {{"fs", fs}, {"kovo", kovo}, {"uav", json::object()}};
}

// What f prints on standard output and standard error.
template <typename F>
std::string printed(F f)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    const std::string out = testing::internal::GetCapturedStdout();
    return out + testing::internal::GetCapturedStderr();
}

// Reads a JSON-lines file into records ({} when missing).
inline std::vector<json> read_jsonl(const std::string& path)
{
    std::vector<json> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        out.push_back(json::parse(line));
    }
    return out;
}

inline std::vector<std::string> events_of(const std::vector<json>& records)
{
    std::vector<std::string> out;
    for (const json& r : records) {
        out.push_back(r.at("event").get<std::string>());
    }
    return out;
}

}  // namespace fakes
