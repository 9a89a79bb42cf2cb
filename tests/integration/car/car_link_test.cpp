// SioCarClient against the real npm socket.io 2.x server (tools/sim_car.js)
// over loopback: the handshake, payloads both ways with their log lines, and
// what happens when the server misbehaves or goes away.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "car/sio_car_client.h"
#include "config/app_config.h"
#include "test_support.h"

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kGreen = "\033[32m";
const std::string kYellow = "\033[33m";
const std::string kReset = "\033[0m";
constexpr auto npos = std::string::npos;
// Allowed beyond a timing bound: scheduling, signal delivery, the log poll.
constexpr long long kSlackMs = 400;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

json emit_mission(const json& args) { return {{"cmd", "emit"}, {"event", "car_uav_begin_mission"}, {"args", args}}; }

// Everything written to std::cout and std::cerr while it lives, per stream.
// Several threads log at once: each thread's text is held back until it ends
// a line, so that the pieces of one log statement stay together.
class LogCapture {
public:
    ~LogCapture() {
        std::cout.rdbuf(old_out_);
        std::cerr.rdbuf(old_err_);
    }
    std::string out() const { return out_.text(); }
    std::string err() const { return err_.text(); }
    // Occurrences of needle in both streams.
    size_t count(const std::string& needle) const {
        const std::string text = out() + err();
        size_t n = 0;
        for (size_t at = text.find(needle); at != npos; at = text.find(needle, at + needle.size())) ++n;
        return n;
    }
    bool waitFor(const std::string& needle, std::chrono::milliseconds timeout, size_t times = 1) const {
        return testsupport::wait_until([&] { return count(needle) >= times; }, timeout);
    }

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(std::streambuf* echo) : echo_(echo) {}
        std::string text() const {
            std::lock_guard<std::mutex> lock(mutex_);
            return text_;
        }

    protected:
        int overflow(int c) override {
            const char ch = static_cast<char>(c);
            if (c != traits_type::eof()) xsputn(&ch, 1);
            return traits_type::not_eof(c);
        }
        std::streamsize xsputn(const char* s, std::streamsize n) override {
            std::lock_guard<std::mutex> lock(mutex_);
            pending_[std::this_thread::get_id()].append(s, static_cast<size_t>(n));
            return n;
        }
        // std::cerr flushes after every insertion: a line counts once it ends.
        int sync() override {
            std::lock_guard<std::mutex> lock(mutex_);
            std::string& line = pending_[std::this_thread::get_id()];
            if (line.empty() || line.back() != '\n') return 0;
            text_ += line;
            // Echoed for the test's own output, except huge payloads.
            if (line.size() < 4096) echo_->sputn(line.data(), static_cast<std::streamsize>(line.size()));
            line.clear();
            return 0;
        }

    private:
        mutable std::mutex mutex_;
        std::string text_;
        std::map<std::thread::id, std::string> pending_;
        std::streambuf* echo_;
    };

    Buffer out_{std::cerr.rdbuf()};
    Buffer err_{std::cerr.rdbuf()};
    std::streambuf* old_out_ = std::cout.rdbuf(&out_);
    std::streambuf* old_err_ = std::cerr.rdbuf(&err_);
};

// A SioCarClient against tools/sim_car.js on loopback, every callback recorded.
class CarLinkTest : public ::testing::Test {
protected:
    void TearDown() override {
        // The callbacks reach the client through this pointer: stop its thread first.
        if (client) client->stop();
        client.reset();
        if (car) {
            car->process().signal(SIGCONT);
            car->stop();
        }
    }
    // Starts the simulated car with extra options (and --port when given).
    void startCar(std::vector<std::string> args = {}, int port = 0) {
        if (port != 0) args.insert(args.end(), {"--port", std::to_string(port)});
        car = std::make_unique<testsupport::NodePeer>("sim_car", "sim_car.js", args);
        ASSERT_TRUE(car->start()) << "the simulated car did not start";
        car_port = car->port();
    }
    // Builds and starts the client on the car's port (or uri when given).
    void startClient(int reconnect_attempts = 0, int reconnect_delay_ms = 200, const std::string& uri = "") {
        config.socketio.uri = uri.empty() ? "http://127.0.0.1:" + std::to_string(car_port) : uri;
        config.socketio.reconnect_attempts = reconnect_attempts;
        config.socketio.reconnect_delay_ms = reconnect_delay_ms;
        client = std::make_unique<SioCarClient>(config);
        client->setMissionCallback([this](const json& mission) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                missions_.push_back(mission);
            }
            if (on_mission) on_mission(mission);
        });
        client->setRebootQueryCallback([this] {
            ++reboot_queries;
            if (on_reboot_query) on_reboot_query();
        });
        client->setOnConnected([this] { ++connected_calls; });
        client->setOnDisconnected([this] { ++disconnected_calls; });
        ASSERT_TRUE(client->start());
    }
    // Both, and waits until the link is open on both sides.
    void connectBoth(std::vector<std::string> car_args = {}, int reconnect_attempts = 0) {
        ASSERT_NO_FATAL_FAILURE(startCar(std::move(car_args)));
        ASSERT_NO_FATAL_FAILURE(startClient(reconnect_attempts));
        ASSERT_TRUE(waitCarEvents("connection", 1));
        // The handlers are registered right after the connected flag is set.
        ASSERT_TRUE(log.waitFor("[SIO] Listening events:", 5s));
    }
    void carCommand(const json& command) { car->send_line(command.dump()); }
    // The car's JSON lines with this "event".
    std::vector<json> carEvents(const std::string& event) const {
        std::vector<json> found;
        for (const auto& line : car->process().stdout_lines()) {
            auto j = json::parse(line, nullptr, false);
            if (j.is_object() && j.value("event", "") == event) found.push_back(std::move(j));
        }
        return found;
    }
    bool waitCarEvents(const std::string& event, size_t n, std::chrono::milliseconds timeout = 5s) {
        return testsupport::wait_until([&] { return carEvents(event).size() >= n; }, timeout);
    }
    // The payloads the mission callback received so far.
    std::vector<json> missions() const {
        std::lock_guard<std::mutex> lock(mutex);
        return missions_;
    }
    bool waitMissions(size_t n, std::chrono::milliseconds timeout = 5s) const {
        return testsupport::wait_until([&] { return missions().size() >= n; }, timeout);
    }

    LogCapture log;  // first member: outlives the client
    AppConfig config;
    std::unique_ptr<testsupport::NodePeer> car;
    std::unique_ptr<SioCarClient> client;
    int car_port = 0;

    mutable std::mutex mutex;
    std::vector<json> missions_;
    std::atomic<int> reboot_queries{0};
    std::atomic<int> connected_calls{0};
    std::atomic<int> disconnected_calls{0};
    // Extra work of the callbacks, set before the client starts.
    std::function<void()> on_reboot_query;
    std::function<void(const json&)> on_mission;
};

}  // namespace

using CarHandshake = CarLinkTest;
using CarIncoming = CarLinkTest;
using CarOutgoing = CarLinkTest;
using CarLinkLoss = CarLinkTest;
using CarHeartbeat = CarLinkTest;

TEST_F(CarHandshake, QueryIsDecodedExactlyByTheServerAndTheOpenIsLogged) {
    config.socketio.access_key = "48 21+90/37&x=\xc3\xa9";
    config.socketio.client_type = "app?type=%41";
    ASSERT_NO_FATAL_FAILURE(connectBoth());
    const auto connection = carEvents("connection").at(0);
    // Revision 3, WebSocket only, never a sid or b64.
    EXPECT_EQ(connection["query"], (json{{"EIO", "3"}, {"transport", "websocket"},
                                         {"accessKey", "48 21+90/37&x=\xc3\xa9"}, {"clientType", "app?type=%41"}}));
    EXPECT_EQ(connection["transport"], "websocket");
    EXPECT_EQ(connected_calls, 1);
    const std::string out = log.out();
    EXPECT_NE(out.find("SIO connected to car server\n"), npos);
    EXPECT_NE(out.find("[SIO] namespace=/ sessionid=" + connection["id"].get<std::string>() + "\n"), npos);
    EXPECT_NE(out.find("[SIO] Listening events: mission='car_uav_begin_mission' reboot_query='car_uav_can_reboot_uav' "
                       "realtime='uav_realtime_status' mission_status='uav_mission_status'\n"),
              npos);
}

TEST_F(CarHandshake, RefusedNamespaceIsLoggedAndTheConnectionFails) {
    ASSERT_NO_FATAL_FAILURE(startCar({"--reject", "Not authorized"}));
    ASSERT_NO_FATAL_FAILURE(startClient(0));
    ASSERT_TRUE(log.waitFor("[SIO] Connection failed\n", 5s));
    EXPECT_NE(log.err().find("[SIO] Socket error: Not authorized\n"), npos);
    EXPECT_EQ(connected_calls + disconnected_calls, 0);
}

// Each row: what the car sends as car_uav_begin_mission, what the mission
// callback receives, and the flag of the green RX line.
TEST_F(CarIncoming, MissionInEachFormArrivesConvertedAndLoggedGreen) {
    // Identifiers and heights that look like numbers but are strings.
    const json mission = json::parse(R"({"carStrategyId": "12", "carFlightMissionHistoryId": "0042",
      "beforeTakeoffPhotoConfig": {}, "warehouseNum": [["A1", "A2"], "A3"],
      "carFlightPointList": [{"id": "1", "z": "1.5"}, {"id": "2", "z": 3}, {"id": "3", "z": 2.25}]})");
    json converted = mission;
    converted["beforeTakeoffPhotoConfig"] = nullptr;
    const std::string text = "h\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x9a\x81";
    const struct { json command; json expected; const char* flag; } rows[] = {
        {{{"cmd", "mission"}, {"as", "object"}, {"payload", mission}}, converted, "5"},
        {{{"cmd", "mission"}, {"as", "string"}, {"payload", mission}}, converted, "2"},
        {{{"cmd", "mission"}, {"payload", json::object()}}, nullptr, "5"},
        {emit_mission({"fly to the moon"}), "fly to the moon", "2"},
        {{{"cmd", "binary"}, {"event", "car_uav_begin_mission"}, {"bytes", {1, 2, 3}}}, nullptr, "3"},
        {{{"cmd", "binary"}, {"event", "car_uav_begin_mission"}, {"nested", true}},
         json::parse(R"({"label":"photo","more":null,"parts":[1,{"data":null}]})"), "5"},
        {emit_mission(json::array()), nullptr, "null"},
        {emit_mission({{{"a", 1}}, "second", 3}), {{"a", 1}}, "5"},
        {emit_mission({"boom"}), "boom", "2"},  // the callback throws
        {{{"cmd", "mission"}, {"payload", {{"name", text}}}}, {{"name", text}}, "5"},
        {emit_mission({R"({"name":"h\u00e9 \u4e2d \ud83d\ude81"})"}), {{"name", text}}, "2"},
    };
    on_mission = [](const json& m) { if (m == "boom") throw std::runtime_error("cannot fly boom"); };
    ASSERT_NO_FATAL_FAILURE(connectBoth());
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].command.dump());
        carCommand(rows[i].command);
        ASSERT_TRUE(waitMissions(i + 1));
        EXPECT_EQ(missions()[i], rows[i].expected);
        EXPECT_NE(log.out().find(kGreen + "[SIO] RX car_uav_begin_mission (flag=" + rows[i].flag + "):\n" +
                                 rows[i].expected.dump(2) + kReset + "\n"),
                  npos);
    }
    EXPECT_TRUE(missions()[0]["carFlightPointList"][1]["z"].is_number_integer());
    EXPECT_NE(log.err().find("car_uav_begin_mission parse error: cannot fly boom\n"), npos);
    EXPECT_EQ(disconnected_calls, 0);
}

TEST_F(CarIncoming, MessageEventsAndErrorPacketsAreLoggedAndKeepTheLink) {
    ASSERT_NO_FATAL_FAILURE(connectBoth());
    for (const json& args : {json{"hello car"}, json::array(), json{{{"a", 1}}}})
        carCommand({{"cmd", "emit"}, {"event", "message"}, {"args", args}});
    carCommand({{"cmd", "error"}, {"data", "oops"}});
    carCommand({{"cmd", "error"}, {"data", {{"code", 7}, {"message", "bad"}}}});
    // The mission comes last: everything before it has been handled.
    carCommand({{"cmd", "mission"}});
    ASSERT_TRUE(waitMissions(1));
    const std::string rx = kGreen + "[SIO] RX Socket event: message -> ";
    const std::string end = kReset + "\n";
    EXPECT_NE(log.out().find(rx + "hello car" + end + rx + "(empty)" + end + rx + "(non-string)" + end), npos);
    EXPECT_NE(log.err().find("[SIO] Socket error: oops\n"), npos);
    EXPECT_NE(log.err().find("[SIO] Socket error: {\"code\":7,\"message\":\"bad\"}\n"), npos);
    EXPECT_EQ(missions().size(), 1u);
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(disconnected_calls, 0);
}

TEST_F(CarIncoming, PayloadsAboveOneMegabyteTravelBothWays) {
    ASSERT_NO_FATAL_FAILURE(connectBoth({"--max-http-buffer-size", "5000000"}));
    carCommand({{"cmd", "large"}, {"event", "car_uav_begin_mission"}, {"bytes", 2000000}});
    client->sendMissionStatus({{"blob", std::string(1500000, 'a')}});
    ASSERT_TRUE(waitMissions(1, 10s));
    const std::string text = missions()[0]["text"];
    EXPECT_EQ(text.size(), 2000000u);
    EXPECT_EQ(text.substr(0, 4), "\xc3\xa9\xc3\xa9");
    EXPECT_EQ(text.back(), 'x');
    ASSERT_TRUE(waitCarEvents("received", 1, 10s));
    EXPECT_EQ(carEvents("received")[0]["payload"]["blob"].get<std::string>().size(), 1500000u);
}

TEST_F(CarIncoming, MalformedFramesAreDroppedWhileTheLinkGoesOn) {
    ASSERT_NO_FATAL_FAILURE(connectBoth());
    const std::vector<std::string> bad_texts = {
        "42[broken", "9x", "4", "49", R"(42{"a":1})", "42[1]",
        "42[\"car_uav_begin_mission\"," + std::string(100000, '[') + std::string(100000, ']') + "]",
        "0{\"sid\":\"again\",\"pingInterval\":1,\"pingTimeout\":1}",
    };
    for (const auto& text : bad_texts) carCommand({{"cmd", "raw"}, {"text", text}});
    // A stray attachment, then a binary event whose attachment never comes.
    carCommand({{"cmd", "raw"}, {"base64", "BAEC"}});
    carCommand({{"cmd", "raw"}, {"text", R"(451-["car_uav_begin_mission",{"_placeholder":true,"num":0}])"}});
    carCommand({{"cmd", "mission"}, {"payload", {{"carMissionId", "good"}}}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_EQ(missions(), (std::vector<json>{{{"carMissionId", "good"}}}));
    EXPECT_EQ(log.count("[SIO] Dropped frame from server:"), bad_texts.size() + 2);
    // A tiny ping interval in a second open packet changed nothing.
    EXPECT_FALSE(testsupport::wait_until([this] { return disconnected_calls > 0; }, 500ms));
    EXPECT_TRUE(client->isConnected());
}

TEST_F(CarOutgoing, RebootAnswerIsOneStringArgumentSentBeforeTheServersAcknowledgement) {
    on_reboot_query = [this] { client->sendCanRebootResp(false); };
    ASSERT_NO_FATAL_FAILURE(connectBoth());
    carCommand({{"cmd", "emit"}, {"event", "car_uav_can_reboot_uav"}, {"args", {{{"t", 1}}}}, {"ack", true}});
    ASSERT_TRUE(waitCarEvents("ack", 1));
    EXPECT_EQ(carEvents("ack")[0]["args"], json::array());
    // The car prints in arrival order: the answer is already there.
    const auto answers = carEvents("received");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0]["name"], "car_uav_can_reboot_uav");
    const std::string answer = R"({"accessKey":"4821-9037","can_reboot_uav":"0"})";
    EXPECT_EQ(answers[0]["args"], json::array({answer}));
    EXPECT_EQ(reboot_queries, 1);
    EXPECT_NE(log.out().find(kYellow + "[SIO] TX car_uav_can_reboot_uav: " + answer + kReset + "\n"), npos);
}

TEST_F(CarOutgoing, StatusesGoAsJsonTextOnlyWhileUpFromAnyThreadAndOnlyTheMissionStatusIsLogged) {
    ASSERT_NO_FATAL_FAILURE(startCar());
    config.socketio.uri = "http://127.0.0.1:" + std::to_string(car_port);
    client = std::make_unique<SioCarClient>(config);
    // Not started yet, so down: neither sent later nor logged.
    client->sendMissionStatus({{"missionStatus", "1"}});
    client->sendCanRebootResp(true);
    client->sendRealtimeStatus({{"a", 1}});
    ASSERT_TRUE(client->start());
    ASSERT_TRUE(testsupport::wait_until([this] { return client->isConnected(); }, 5s));

    client->sendMissionStatus({{"missionStatus", "2"}, {"name", "h\xc3\xa9\xe4\xb8\xad"}});
    client->sendRealtimeStatus({{"uavStatusCode", 2}});
    // Invalid UTF-8 from a peer is replaced, never thrown on.
    EXPECT_NO_THROW(client->sendMissionStatus({{"name", "bad \xff byte"}}));
    ASSERT_TRUE(waitCarEvents("received", 3));
    const std::string first = "{\"missionStatus\":\"2\",\"name\":\"h\xc3\xa9\xe4\xb8\xad\"}";
    auto got = carEvents("received");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]["name"], "uav_mission_status");
    EXPECT_EQ(got[0]["args"], json::array({first}));
    EXPECT_EQ(got[1]["name"], "uav_realtime_status");
    EXPECT_EQ(got[1]["args"], json::array({R"({"uavStatusCode":2})"}));
    EXPECT_EQ(got[2]["payload"]["name"], "bad \xef\xbf\xbd byte");
    EXPECT_NE(log.out().find(kYellow + "[SIO] TX uav_mission_status: " + first + kReset + "\n"), npos);
    EXPECT_EQ(log.count("[SIO] TX"), 2u);

    // Emits from several threads at once: all arrive, in order per thread.
    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) client->sendMissionStatus({{"thread", t}, {"seq", i}});
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(waitCarEvents("received", 3 + kThreads * kEach, 10s));
    got = carEvents("received");
    std::vector<int> next(kThreads, 0);
    for (auto e = got.begin() + 3; e != got.end(); ++e)
        EXPECT_EQ((*e)["payload"]["seq"], next[(*e)["payload"]["thread"]]++);
    EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
}

TEST_F(CarLinkLoss, KilledServerWithoutAttemptsIsOneDropAndNoNewAttempt) {
    ASSERT_NO_FATAL_FAILURE(connectBoth({}, 0));
    const int port = car_port;
    car->process().signal(SIGKILL);
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    EXPECT_FALSE(client->isConnected());
    // A server back on the same port gets no connection (the delay is 200 ms).
    ASSERT_NO_FATAL_FAILURE(startCar({}, port));
    EXPECT_FALSE(waitCarEvents("connection", 1, 1200ms));
    EXPECT_EQ(connected_calls, 1);
    EXPECT_EQ(disconnected_calls, 1);
    EXPECT_EQ(log.count("[SIO] Reconnecting..."), 0u);
    EXPECT_EQ(log.count("[SIO] Connection failed"), 0u);
}

TEST_F(CarLinkLoss, ComesBackAfterAServerRestartWithANewSessionAndEachEventHandledOnce) {
    on_reboot_query = [this] { client->sendCanRebootResp(true); };
    ASSERT_NO_FATAL_FAILURE(connectBoth({}, 10));
    const std::string first_sid = carEvents("connection").at(0)["id"];
    const int port = car_port;
    car->process().signal(SIGKILL);
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    ASSERT_NO_FATAL_FAILURE(startCar({}, port));
    ASSERT_TRUE(log.waitFor("[SIO] Listening events:", 10s, 2));
    ASSERT_TRUE(waitCarEvents("connection", 1));
    const std::string sid = carEvents("connection")[0]["id"];
    EXPECT_NE(sid, first_sid);
    EXPECT_NE(log.out().find("[SIO] namespace=/ sessionid=" + sid + "\n"), npos);

    carCommand({{"cmd", "mission"}});
    carCommand({{"cmd", "reboot"}});
    ASSERT_TRUE(waitCarEvents("received", 1));
    // A duplicate answer would have left before this marker.
    client->sendRealtimeStatus({{"marker", true}});
    ASSERT_TRUE(waitCarEvents("received", 2));
    EXPECT_EQ(carEvents("received")[1]["payload"]["marker"], true);
    EXPECT_EQ(carEvents("received").size(), 2u);
    EXPECT_EQ(missions().size(), 1u);
    EXPECT_EQ(reboot_queries, 1);
    EXPECT_EQ(log.count("[SIO] RX car_uav_begin_mission"), 1u);
    EXPECT_EQ(connected_calls, 2);
    EXPECT_EQ(disconnected_calls, 1);
}

TEST_F(CarLinkLoss, EachAttemptIsAnnouncedAndOnlyTheLastFailureReported) {
    const struct { std::string uri; int attempts; size_t reconnecting; const char* reason; } rows[] = {
        {"http://127.0.0.1:" + std::to_string(testsupport::pick_free_port()), 0, 0, "[SIO] Connect error:"},
        // Waits of 100 and 150 ms before the two attempts.
        {"http://127.0.0.1:" + std::to_string(testsupport::pick_free_port()), 2, 2, "[SIO] Connect error:"},
        {"https://127.0.0.1:8443", 3, 0, "TLS is not supported"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.uri + " attempts " + std::to_string(row.attempts));
        const size_t failures = log.count("[SIO] Connection failed\n");
        const size_t retries = log.count("[SIO] Reconnecting...\n");
        const size_t reasons = log.count(row.reason);
        const auto start = Clock::now();
        ASSERT_NO_FATAL_FAILURE(startClient(row.attempts, 100, row.uri));
        ASSERT_TRUE(log.waitFor("[SIO] Connection failed\n", 5s, failures + 1));
        EXPECT_GE(ms_since(start), row.reconnecting == 2 ? 250 : 0);
        EXPECT_EQ(log.count("[SIO] Reconnecting...\n") - retries, row.reconnecting);
        EXPECT_GT(log.count(row.reason), reasons);
        client->stop();
        EXPECT_EQ(log.count("[SIO] Connection failed\n"), failures + 1);
    }
    EXPECT_EQ(connected_calls + disconnected_calls, 0);
}

// socket.disconnect(true) sends 41 and closes the WebSocket, socket.disconnect()
// sends 41 only: both are final, as is our own stop. A bare WebSocket close is
// normal but not final.
TEST_F(CarLinkLoss, ServerDisconnectAndOurStopAreFinalABareTransportCloseReconnects) {
    ASSERT_NO_FATAL_FAILURE(startCar());
    const std::pair<json, bool> rows[] = {
        {{{"cmd", "disconnect"}, {"close", true}}, false},
        {{{"cmd", "disconnect"}, {"close", false}}, false},
        {{{"cmd", "close_transport"}}, true},
        {nullptr, false},  // client->stop()
    };
    for (const auto& [command, reconnects] : rows) {
        SCOPED_TRACE(command.dump());
        const size_t closes = log.count("SIO close: 0\n");
        const size_t retries = log.count("[SIO] Reconnecting...");
        const size_t disconnects = carEvents("disconnect").size();
        connected_calls = 0;
        disconnected_calls = 0;
        ASSERT_NO_FATAL_FAILURE(startClient(3));
        ASSERT_TRUE(testsupport::wait_until([this] { return connected_calls == 1; }, 5s));
        if (command.is_null())
            client->stop();
        else
            carCommand(command);
        // Our own stop returns after the close listener ran.
        EXPECT_TRUE(command.is_null() ? log.count("SIO close: 0\n") == closes + 1
                                      : log.waitFor("SIO close: 0\n", 5s, closes + 1));
        EXPECT_EQ(testsupport::wait_until([&] { return connected_calls == 2; }, reconnects ? 5s : 700ms), reconnects);
        EXPECT_EQ(log.count("[SIO] Reconnecting...") - retries, reconnects ? 1u : 0u);
        EXPECT_EQ(disconnected_calls, 1);
        EXPECT_TRUE(waitCarEvents("disconnect", disconnects + 1));
        client->stop();
    }
    // Destroying a stopped client closes nothing a second time.
    const size_t closes = log.count("SIO close:");
    client.reset();
    EXPECT_EQ(log.count("SIO close:"), closes);
}

TEST_F(CarLinkLoss, StatusAboveTheServersLimitIsRefusedWith1009AsADrop) {
    ASSERT_NO_FATAL_FAILURE(connectBoth({}, 0));
    client->sendMissionStatus({{"blob", std::string(1100000, 'a')}});
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    EXPECT_TRUE(carEvents("received").empty());
}

TEST_F(CarHeartbeat, IdleClientSurvivesButUnansweredPingsAreADrop) {
    ASSERT_NO_FATAL_FAILURE(connectBoth({"--ping-interval", "1000", "--ping-timeout", "1000"}));
    // The server drops a client that sends nothing for 2 s.
    const auto dropped = [this] { return disconnected_calls > 0 || !carEvents("disconnect").empty(); };
    EXPECT_FALSE(testsupport::wait_until(dropped, 2500ms));
    const auto silenced = Clock::now();
    carCommand({{"cmd", "pings"}, {"answer", false}});
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    EXPECT_LE(ms_since(silenced), 2000 + kSlackMs);
    EXPECT_NE(log.err().find("[SIO] Connection ended: ping timeout"), npos);
    EXPECT_EQ(disconnected_calls, 1);
}

TEST_F(CarHeartbeat, Socketio241ServerWithItsDefaultsAndAStoppedServerDetected) {
    // 2.4.1's default ping timeout is 5000 ms (2.5.1's 20000): the handshake's figure counts.
    ASSERT_NO_FATAL_FAILURE(connectBoth({"--version", "2.4.1", "--ping-interval", "500"}));
    EXPECT_NE(car->process().lines().at(0).find("\"pingTimeout\":5000"), npos);
    carCommand({{"cmd", "mission"}, {"as", "string"}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_EQ(missions()[0]["carStrategyId"], "12");
    client->sendCanRebootResp(true);
    ASSERT_TRUE(waitCarEvents("received", 1));
    EXPECT_EQ(carEvents("received")[0]["args"][0], R"({"accessKey":"4821-9037","can_reboot_uav":"1"})");

    const auto stopped = Clock::now();
    car->process().signal(SIGSTOP);
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 8s));
    const long long waited = ms_since(stopped);
    EXPECT_GE(waited, 4000);
    EXPECT_LE(waited, 5500 + kSlackMs);
    EXPECT_EQ(disconnected_calls, 1);
}
