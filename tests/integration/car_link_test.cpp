// SioCarClient against the real npm socket.io 2.x server (tools/sim_car.js)
// over loopback: what only a real server shows (its encodings of the query,
// events and attachments, its closes); the protocol rules and time-outs are
// unit-tested on hand-written frames, hostile frames in the fault scenarios.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "car/sio_car_client.h"
#include "log_capture.h"
#include "test_support.h"

using namespace kovo::config;
using namespace kovo::car;

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::wait_until;

namespace {

const std::string kGreen = "\033[32m", kYellow = "\033[33m", kReset = "\033[0m";

class CarLink : public ::testing::Test {
protected:
    void TearDown() override {
        // The client's thread calls back into the members below: stopped first.
        client.reset();
    }
    void startCar(std::vector<std::string> args = {}, int port = 0) {
        if (port != 0) args.insert(args.end(), {"--port", std::to_string(port)});
        car = std::make_unique<testsupport::NodePeer>("sim_car", "sim_car.js", args);
        ASSERT_TRUE(car->start());
        car_port = car->port();
    }
    // Builds the client on the car's port (or uri when given), and starts it.
    void startClient(int attempts = 0, const std::string& uri = "", bool start = true) {
        config.socketio.uri = uri.empty() ? "http://127.0.0.1:" + std::to_string(car_port) : uri;
        config.socketio.reconnect_attempts = attempts;
        config.socketio.reconnect_delay_ms = 100;
        client = std::make_unique<SioCarClient>(config);
        client->setMissionCallback([this](const json& mission) {
            std::lock_guard<std::mutex> lock(mutex);
            missions_.push_back(mission);
            if (mission.is_string()) throw std::runtime_error("cannot fly " + mission.get<std::string>());
        });
        client->setRebootQueryCallback([this] {
            ++reboot_queries;
            client->sendCanRebootResp(false, "4821-9037");
        });
        client->setOnConnected([this] { ++connected_calls; });
        client->setOnDisconnected([this] { ++disconnected_calls; });
        client->setOnGaveUp([this](unsigned attempts) { gave_up.push_back(static_cast<int>(attempts)); });
        ASSERT_TRUE(!start || client->start());
    }
    void carCommand(const json& command) { car->sendLine(command.dump()); }
    std::vector<json> missions() const {
        std::lock_guard<std::mutex> lock(mutex);
        return missions_;
    }
    bool waitMissions(size_t n) const {
        return wait_until([&] { return missions().size() >= n; }, 5s);
    }
    bool logged(const std::string& text) const { return log.text().find(text) != std::string::npos; }

    testsupport::LogCapture log;  // first member: outlives the client
    AppConfig config;
    std::unique_ptr<testsupport::NodePeer> car;
    std::unique_ptr<SioCarClient> client;
    int car_port = 0;
    mutable std::mutex mutex;
    std::vector<json> missions_;
    std::atomic<int> reboot_queries{0}, connected_calls{0}, disconnected_calls{0};
    std::vector<int> gave_up;  // written by the client's thread before the failure line
};

}  // namespace

// One server throughout: the query as it decodes it, the mission in each
// form, the answer before the server's acknowledgement, statuses as one JSON
// text argument, only while up, from any thread in order per thread.
TEST_F(CarLink, QueryMissionsAnswersAndStatusesAsTheServerSeesThem) {
    config.socketio.access_key = "48 21+90/37&x=\xc3\xa9";
    config.socketio.client_type = "app?type=%41";
    ASSERT_NO_FATAL_FAILURE(startCar());
    ASSERT_NO_FATAL_FAILURE(startClient(0, "", false));
    client->sendMissionStatus({{"missionStatus", "1"}});  // down: neither sent later nor logged
    ASSERT_TRUE(client->start());
    ASSERT_TRUE(log.waitFor("[SIO] Listening events:", 5s));
    json connection = car->event("connection");
    // Revision 3, WebSocket only, never a sid or b64.
    EXPECT_EQ(connection["query"], (json{{"EIO", "3"},
                                         {"transport", "websocket"},
                                         {"accessKey", "48 21+90/37&x=\xc3\xa9"},
                                         {"clientType", "app?type=%41"}}));
    EXPECT_TRUE(logged(
        "SIO connected to car server\n[SIO] namespace=/ sessionid=" + connection["id"].get<std::string>() + "\n"));

    // Each row: what the car sends as car_uav_begin_mission, what the mission
    // callback receives, and the flag of the green RX line. A mission sent as
    // an object and as JSON text arrive equal; strings inside are never parsed.
    const json mission = json::parse(R"({"carStrategyId": "12", "beforeTakeoffPhotoConfig": {}, "tags": ["true", "{}"],
        "carFlightPointList": [{"id": "1", "z": "1.5"}, {"id": "2", "z": 3}]})");
    json converted = mission;
    converted["beforeTakeoffPhotoConfig"] = nullptr;
    const auto emit = [](const json& args) {
        return json{{"cmd", "emit"}, {"event", "car_uav_begin_mission"}, {"args", args}};
    };
    const struct {
        json command;
        json expected;
        const char* flag;
    } rows[] = {
        {{{"cmd", "mission"}, {"as", "object"}, {"payload", mission}}, converted, "5"},
        {{{"cmd", "mission"}, {"as", "string"}, {"payload", mission}}, converted, "2"},
        {emit({"fly to the moon"}), "fly to the moon", "2"},  // the callback throws
        {{{"cmd", "binary"}, {"event", "car_uav_begin_mission"}, {"bytes", {1, 2, 3}}}, nullptr, "3"},
        {{{"cmd", "binary"}, {"event", "car_uav_begin_mission"}, {"nested", true}},
         json::parse(R"({"label":"photo","more":null,"parts":[1,{"data":null}]})"),
         "5"},
        {emit(json::array()), nullptr, "null"},
        {emit({{{"a", 1}}, "second", 3}), {{"a", 1}}, "5"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].command.dump());
        carCommand(rows[i].command);
        ASSERT_TRUE(waitMissions(i + 1));
        EXPECT_EQ(missions()[i], rows[i].expected);
        EXPECT_TRUE(logged(kGreen + "[SIO] RX car_uav_begin_mission (flag=" + rows[i].flag + "):\n" +
                           rows[i].expected.dump(2) + kReset + "\n"));
    }

    carCommand({{"cmd", "emit"}, {"event", "car_uav_can_reboot_uav"}, {"args", {{{"t", 1}}}}, {"ack", true}});
    EXPECT_EQ(car->event("ack")["args"], json::array());
    const std::string answer = R"({"accessKey":"4821-9037","can_reboot_uav":"0"})";
    // The car prints in arrival order: the answer is already there.
    const json answered = car->events("received").at(0);
    EXPECT_EQ(answered["name"], "car_uav_can_reboot_uav");
    EXPECT_EQ(answered["args"], json::array({answer}));
    EXPECT_TRUE(logged(kYellow + "[SIO] TX car_uav_can_reboot_uav: " + answer + kReset + "\n"));

    client->sendMissionStatus({{"missionStatus", "2"}, {"name", "h\xc3\xa9"}});
    client->sendRealtimeStatus({{"uavStatusCode", 2}});
    client->sendMissionStatus({{"name", "bad \xff byte"}});  // replaced, never thrown on
    EXPECT_EQ(car->event("received", 1)["args"], json::array({"{\"missionStatus\":\"2\",\"name\":\"h\xc3\xa9\"}"}));
    EXPECT_EQ(car->event("received", 2)["name"], "uav_realtime_status");
    EXPECT_EQ(car->event("received", 3)["payload"]["name"], "bad \xef\xbf\xbd byte");
    EXPECT_EQ(log.count("[SIO] TX"), 3u);
    EXPECT_EQ(reboot_queries, 1);

    constexpr int kThreads = 4, kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i)
                client->sendMissionStatus({{"thread", t}, {"seq", i}});
        });
    for (auto& th : threads)
        th.join();
    ASSERT_TRUE(car->waitEvents("received", 4 + kThreads * kEach, 10s));
    const auto got = car->events("received");
    std::vector<int> next(kThreads, 0);
    for (auto e = got.begin() + 4; e != got.end(); ++e)
        EXPECT_EQ((*e)["payload"]["seq"], next[(*e)["payload"]["thread"]]++);
}

// Retrying without end (the shipped setting): a car server that starts after
// the client is found, one that restarts is found again with a new session.
TEST_F(CarLink, ComesBackAfterAServerRestartWithANewSessionAndEachEventHandledOnce) {
    const int port = testsupport::pick_free_port();
    ASSERT_NO_FATAL_FAILURE(startClient(-1, "http://127.0.0.1:" + std::to_string(port)));
    ASSERT_TRUE(log.waitFor("[SIO] Reconnecting...", 5s, 3));
    ASSERT_NO_FATAL_FAILURE(startCar({}, port));
    ASSERT_TRUE(log.waitFor("[SIO] Listening events:", 10s));
    const std::string first_sid = car->event("connection")["id"];
    car->process().signal(SIGKILL);
    ASSERT_TRUE(log.waitFor("SIO close: 1", 5s));
    ASSERT_NO_FATAL_FAILURE(startCar({}, port));
    ASSERT_TRUE(log.waitFor("[SIO] Listening events:", 10s, 2));
    const std::string sid = car->event("connection")["id"];
    EXPECT_NE(sid, first_sid);
    EXPECT_TRUE(logged("[SIO] namespace=/ sessionid=" + sid + "\n"));

    carCommand({{"cmd", "mission"}});
    carCommand({{"cmd", "reboot"}});
    ASSERT_TRUE(car->waitEvents("received", 1));
    // A duplicate answer would have left before this marker.
    client->sendRealtimeStatus({{"marker", true}});
    EXPECT_EQ(car->event("received", 1)["payload"]["marker"], true);
    EXPECT_EQ(missions().size(), 1u);
    EXPECT_EQ(reboot_queries, 1);
    EXPECT_EQ(connected_calls, 2);
    EXPECT_EQ(disconnected_calls, 1);
    EXPECT_EQ(log.count("[SIO] Connection failed") + log.count("Giving up"), 0u);
}

// A server that refuses the namespace or is not there: each attempt is
// announced and only the last failure reported, with the give-up once.
TEST_F(CarLink, FailedConnectionsAreRetriedAndTheLastFailureReported) {
    ASSERT_NO_FATAL_FAILURE(startCar({"--reject", "Not authorized"}));
    const std::string closed = "http://127.0.0.1:" + std::to_string(testsupport::pick_free_port());
    const struct {
        std::string uri;
        int attempts;
        const char* reason;
    } rows[] = {
        {"", 0, "[SIO] Socket error: Not authorized"},
        {closed, 2, "[SIO] Connect error:"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.uri + " attempts " + std::to_string(row.attempts));
        const size_t failures = log.count("[SIO] Connection failed");
        const size_t retries = log.count("[SIO] Reconnecting...");
        const size_t reasons = log.count(row.reason);
        ASSERT_NO_FATAL_FAILURE(startClient(row.attempts, row.uri));
        ASSERT_TRUE(log.waitFor("[SIO] Connection failed", 5s, failures + 1));
        EXPECT_EQ(log.count("[SIO] Reconnecting...") - retries, static_cast<size_t>(row.attempts));
        EXPECT_GT(log.count(row.reason), reasons);
        client->stop();
        EXPECT_EQ(log.count("[SIO] Connection failed"), failures + 1);
        EXPECT_EQ(gave_up, std::vector<int>{row.attempts});
        EXPECT_EQ(log.count("[SIO] Giving up after " + std::to_string(row.attempts) +
                            " reconnection attempts; no missions can be received until restart"),
                  1u);
        gave_up.clear();
    }
    EXPECT_EQ(connected_calls + disconnected_calls, 0);
}

// socket.disconnect(true) sends 41 and closes the WebSocket, socket.disconnect()
// sends 41 only: both are final, as is our own stop. A bare WebSocket close is
// normal but not final; a status above the server's limit is closed with 1009,
// a drop.
TEST_F(CarLink, ServerDisconnectAndOurStopAreFinalOtherClosesReconnect) {
    ASSERT_NO_FATAL_FAILURE(startCar());
    const std::tuple<json, bool, const char*> rows[] = {
        {{{"cmd", "disconnect"}, {"close", true}}, false, "SIO close: 0"},
        {{{"cmd", "disconnect"}, {"close", false}}, false, "SIO close: 0"},
        {{{"cmd", "close_transport"}}, true, "SIO close: 0"},
        {"oversized", true, "SIO close: 1"},
        {nullptr, false, "SIO close: 0"},  // client->stop()
    };
    for (const auto& [command, reconnects, close] : rows) {
        SCOPED_TRACE(command.dump());
        const size_t closes = log.count(close);
        const size_t disconnects = car->events("disconnect").size();
        connected_calls = 0;
        disconnected_calls = 0;
        ASSERT_NO_FATAL_FAILURE(startClient(3));
        ASSERT_TRUE(wait_until([this] { return connected_calls == 1; }, 5s));
        if (command.is_null()) {
            client->stop();  // returns after the close listener ran
        } else if (command.is_string()) {
            client->sendMissionStatus({{"blob", std::string(1100000, 'a')}});
        } else {
            carCommand(command);
        }
        EXPECT_TRUE(log.waitFor(close, 5s, closes + 1));
        EXPECT_EQ(wait_until([&] { return connected_calls == 2; }, reconnects ? 5s : 700ms), reconnects);
        EXPECT_EQ(disconnected_calls, 1);
        EXPECT_TRUE(car->waitEvents("disconnect", disconnects + 1));
        client->stop();
    }
    EXPECT_EQ(car->events("received").size(), 0u);
}
