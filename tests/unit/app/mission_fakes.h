#pragma once

#include <gmock/gmock.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/mission/mission_context.h"
#include "app/mission/mission_core.h"
#include "app/mission/ports.h"
#include "config/shared_config.h"
#include "log_capture.h"
#include "test_support.h"

using namespace kovo::config;
using namespace kovo::app;

// Fakes of everything the mission logic talks to, safe to use from several threads.
namespace fakes {

using kovo::monitor::InternalState;
using nlohmann::json;
using testing::HasSubstr;
using testsupport::output_of;
using testsupport::TempDir;
using Texts = std::vector<std::string>;

// The member at pointer of each document, as text.
inline Texts pluck(const std::vector<json>& docs, const std::string& pointer) {
    Texts out;
    for (const json& d : docs)
        out.push_back(d.at(json::json_pointer(pointer)));
    return out;
}

// What a fake was told, appended from any thread; reads return copies.
template <typename T>
class Log {
public:
    void add(T value) {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.push_back(std::move(value));
    }
    std::vector<T> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    size_t size() const { return all().size(); }
    bool empty() const { return all().empty(); }
    T operator[](size_t i) const { return all().at(i); }
    T back() const { return all().back(); }

private:
    mutable std::mutex mutex_;
    std::vector<T> items_;
};

// Hooks (on_cmd, on_sleep, the HTTP replies) are set before any thread runs.
class FakePx4 : public Px4Port {
public:
    bool isConnected() const override { return connected; }
    bool isLogined() const override { return logined; }
    uint64_t loginCount() const override { return logins; }
    // The last state pushed; an empty object before the first.
    json getState() override { return pushed.empty() ? json::object() : pushed.back(); }
    bool sendCmd(const std::string& cmd) override {
        commands.add(cmd);
        if (on_cmd) on_cmd();  // px4ctrl reacting to the command
        return true;
    }
    void setState(const json& s) { pushed.add(s); }
    void setLink(bool up) { connected = logined = up; }

    std::atomic<bool> connected{true}, logined{true};
    std::atomic<uint64_t> logins{1};
    Log<json> pushed;
    Log<std::string> commands;
    std::function<void()> on_cmd;
};

class RecordingCar : public CarPort {
public:
    void sendRealtimeStatus(const json& s) override { realtime.add(s); }
    void sendMissionStatus(const json& s) override { mission.add(s); }
    void sendCanRebootResp(bool can) override { reboot_answers.add(can); }
    Texts missionCodes() const { return pluck(mission.all(), "/missionStatus"); }

    Log<json> realtime, mission;
    Log<bool> reboot_answers;
};

class RecordingMqtt : public MqttPort {
public:
    bool publishRequest(const std::string& message) override {
        if (on_publish) on_publish();
        raw.add(message);
        return connected;
    }
    // The published messages, only those of one "platformCmd" when cmd is set.
    std::vector<json> messages(const std::string& cmd = "") const {
        std::vector<json> out;
        for (const std::string& m : raw.all()) {
            json j = json::parse(m);
            if (cmd.empty() || j.at("platformCmd") == cmd) out.push_back(std::move(j));
        }
        return out;
    }
    Texts statusCodes() const { return pluck(messages("UploadUavStatusHistory"), "/parms/uavStatusCode"); }

    std::atomic<bool> connected{true};
    Log<std::string> raw;
    std::function<void()> on_publish;
};

// status 0: the transfer itself failed.
struct HttpReply {
    long status;
    std::string body;
};

class FakeHttp : public HttpPort {
public:
    struct Post {
        std::string url, path;
        std::map<std::string, std::string> fields;
        std::string field_name, content;  // content: the file's content when posted
    };
    struct Download {
        std::string url, path;
    };

    bool downloadFile(const std::string& url, const std::string& path, long* http_status) override {
        downloads.add({url, path});
        const HttpReply reply = download_reply ? download_reply() : HttpReply{200, "JPEG:" + url};
        testsupport::write_file(path, reply.body);  // like the real client, error page or not
        *http_status = reply.status;
        return reply.status != 0;
    }
    bool postFile(const std::string& url, const std::string& path, const std::map<std::string, std::string>& fields,
                  const std::string& field_name, std::string* response, long* http_status) override {
        posts.add({url, path, fields, field_name, testsupport::read_file(path)});
        const HttpReply reply = post_reply ? post_reply() : HttpReply{200, "{\"code\":0}"};
        *response = reply.body;
        *http_status = reply.status;
        return reply.status != 0;
    }
    std::vector<Post> postsTo(const std::string& url) const {
        std::vector<Post> out;
        for (const Post& p : posts.all())
            if (p.url == url) out.push_back(p);
        return out;
    }

    std::function<HttpReply()> download_reply, post_reply;
    Log<Download> downloads;
    Log<Post> posts;
};

class RecordingStats : public StatsPort {
public:
    void onMissionStarted(const std::string& mission_id, const std::string& strategy_id, const std::string& point_id,
                          const std::string& action_id, int point_count, const std::string& task_dir,
                          const std::string& start_time) override {
        started.add({mission_id, strategy_id, point_id, action_id, std::to_string(point_count), task_dir, start_time});
    }
    void onMissionSuccess(const std::string& end_time) override { successes.add(end_time); }
    void onMissionFailed(const std::string& reason, const std::string&) override { failures.add(reason); }
    void onMissionPhotos(int listed, int uploaded, int failed) override { photos.add({listed, uploaded, failed}); }
    void onStatusTransition(const std::string& from, const std::string& to) override {
        transitions.add(from + ">" + to);
    }
    void updateInternalState(const InternalState& state) override { states.add(state); }

    Log<Texts> started;
    Log<std::string> successes, failures, transitions;
    Log<std::vector<int>> photos;  // listed, uploaded, failed
    Log<InternalState> states;
};

// Virtual time: every sleep returns at once, moves the clock on and may run a hook.
class FakeClock : public Clock {
public:
    std::chrono::steady_clock::time_point now() const override {
        return std::chrono::steady_clock::time_point(std::chrono::hours(1000)) + slept();
    }
    bool sleepFor(std::chrono::milliseconds d) override {
        slept_ms_ += d.count();
        if (on_sleep) on_sleep(d);
        return !stopped;
    }
    std::chrono::milliseconds slept() const { return std::chrono::milliseconds(slept_ms_.load()); }

    std::function<void(std::chrono::milliseconds)> on_sleep;
    std::atomic<bool> stopped{false};

private:
    std::atomic<long long> slept_ms_{0};
};

// Runs each task at once on the caller's thread, or keeps it while hold is set.
class TestRunner : public TaskRunner {
public:
    void run(std::function<void()> task) override { hold ? pending.push_back(std::move(task)) : task(); }
    void runAll() {
        while (!pending.empty()) {
            auto task = std::move(pending.front());
            pending.pop_front();
            task();
        }
    }
    bool hold = false;
    std::deque<std::function<void()>> pending;
};

// A mission core over fakes, with a configuration the test may adjust before build().
struct Harness {
    // tasks: the test's own runner instead of runner.
    void build(TaskRunner* tasks = nullptr) {
        shared = std::make_unique<SharedConfig>(config);
        core = std::make_unique<MissionCore>(*shared, mission,
                                             MissionPorts{px4, car, mqtt, http, stats, clock, tasks ? *tasks : runner});
    }
    // f(mission) under the mission lock.
    template <typename F>
    auto locked(F f) {
        std::lock_guard<std::mutex> lock(mission.mutex);
        return f(mission);
    }
    bool active() {
        return locked([](MissionContext& m) { return m.has_task; });
    }
    bool photosUploaded() {
        return locked([](MissionContext& m) { return m.photos_uploaded; });
    }
    // Hands a mission to the intake; what it logged.
    std::string accept(const json& payload) {
        return output_of([&] { core->intake.onCarMission(payload); });
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
    TestRunner runner;
    std::unique_ptr<MissionCore> core;
};

// The car's identifiers of a mission, each its initial; mission lock held.
inline void set_identifiers(MissionContext& m) {
    std::tie(m.car_action_id, m.car_flight_mission_history_id, m.car_mission_id, m.car_point_id, m.car_strategy_id) =
        std::make_tuple("A", "H", "M", "P", "S");
}

// A px4ctrl state document.
inline json px4_state(int fs, const std::string& sub = "", int idx = -1, json photos = json::array(),
                      const std::string& task_dir = "") {
    json kovo = {{"sub_state", sub}, {"height_idx", idx}, {"photos", std::move(photos)}};
    if (!task_dir.empty()) kovo["task_dir"] = task_dir;
    return {{"fs", fs}, {"kovo", kovo}, {"uav", json::object()}};
}

// Every member of expected is in actual with the same value.
inline void expect_members(const json& actual, const json& expected) {
    for (const auto& [key, value] : expected.items())
        EXPECT_EQ(actual.contains(key) ? actual[key] : json(), value) << key;
}

inline json json_file(const std::string& path) { return json::parse(testsupport::read_file(path)); }

// Reads a JSON-lines file into records (none when missing).
inline std::vector<json> read_jsonl(const std::string& path) {
    std::vector<json> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        out.push_back(json::parse(line));
    return out;
}

// The "event" of each record of a task directory's client log.
inline Texts log_events(const std::string& task_dir) {
    return pluck(read_jsonl(task_dir + "/client_log.jsonl"), "/event");
}

}  // namespace fakes
