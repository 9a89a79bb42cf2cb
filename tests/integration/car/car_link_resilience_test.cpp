// SioCarClient when the car's server misbehaves or goes away: drops,
// reconnection, heartbeat, server-side closes, malformed frames.
#include "car_link_fixture.h"

#include <signal.h>

#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// Allowed beyond a timing bound: scheduling, signal delivery, the log poll.
constexpr long long kSlackMs = 400;

long long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

using CarLinkDrop = CarLinkTest;
using CarReconnection = CarLinkTest;
using CarServerClose = CarLinkTest;
using CarHeartbeat = CarLinkTest;
using CarMalformedFrames = CarLinkTest;

TEST_F(CarLinkDrop, KilledServerWithoutAttemptsIsOneDropAndNoNewAttempt) {
    connectBoth({}, 0);
    const int port = car_port;
    killCar();
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    EXPECT_FALSE(client->isConnected());
    // A server back on the same port gets no connection (the delay is 200 ms).
    ASSERT_NO_FATAL_FAILURE(startCar({}, port));
    EXPECT_FALSE(waitCarEvents("connection", 1, 1200ms));
    EXPECT_EQ(disconnected_calls, 1);
    EXPECT_EQ(connected_calls, 1);
    EXPECT_EQ(log.count("SIO close:"), 1u);
    EXPECT_EQ(log.count("[SIO] Reconnecting..."), 0u);
    EXPECT_EQ(log.count("[SIO] Connection failed"), 0u);
}

TEST_F(CarLinkDrop, StatusesWhileDroppedAreNotSentOrLogged) {
    connectBoth({}, 0);
    killCar();
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    client->sendMissionStatus({{"missionStatus", "3"}});
    client->sendCanRebootResp(false);
    EXPECT_EQ(log.count("[SIO] TX"), 0u);
}

TEST_F(CarReconnection, ComesBackAfterAServerRestartWithEachEventHandledOnce) {
    on_reboot_query = [this] { client->sendCanRebootResp(true); };
    connectBoth({}, 10);
    const std::string first_sid = carEvents("connection").at(0)["id"];
    const int port = car_port;
    killCar();
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    ASSERT_NO_FATAL_FAILURE(startCar({}, port));
    ASSERT_TRUE(log.waitFor("[SIO] Reconnecting...", 5s));
    ASSERT_TRUE(testsupport::wait_until([this] { return connected_calls == 2; }, 10s));
    ASSERT_TRUE(log.waitFor("[SIO] Listening events:", 5s, 2));
    ASSERT_TRUE(waitCarEvents("connection", 1));
    EXPECT_NE(carEvents("connection")[0]["id"], first_sid);
    EXPECT_NE(log.out().find("[SIO] namespace=/ sessionid=" + carEvents("connection")[0]["id"].get<std::string>()),
              std::string::npos);

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
    EXPECT_EQ(disconnected_calls, 1);
    EXPECT_TRUE(client->isConnected());
}

TEST_F(CarReconnection, UnreachableServerWithoutAttemptsFailsOnce) {
    ASSERT_NO_FATAL_FAILURE(startClient(0, 200, "http://127.0.0.1:" + std::to_string(testsupport::pick_free_port())));
    ASSERT_TRUE(log.waitFor("[SIO] Connection failed\n", 5s));
    EXPECT_NE(log.err().find("[SIO] Connection failed\n"), std::string::npos);
    EXPECT_EQ(log.count("[SIO] Reconnecting..."), 0u);
    EXPECT_EQ(connected_calls, 0);
    EXPECT_EQ(disconnected_calls, 0);
}

TEST_F(CarReconnection, EachAttemptIsAnnouncedAndTheLastFailureReported) {
    const auto start = Clock::now();
    ASSERT_NO_FATAL_FAILURE(startClient(2, 100, "http://127.0.0.1:" + std::to_string(testsupport::pick_free_port())));
    ASSERT_TRUE(log.waitFor("[SIO] Connection failed\n", 5s));
    // Waits of 100 and 150 ms before the two attempts.
    EXPECT_GE(ms_since(start), 250);
    EXPECT_EQ(log.count("[SIO] Reconnecting...\n"), 2u);
    EXPECT_EQ(log.count("[SIO] Connection failed"), 1u);
}

TEST_F(CarReconnection, TlsUriIsRefusedThroughTheFailListener) {
    ASSERT_NO_FATAL_FAILURE(startClient(3, 100, "https://127.0.0.1:8443"));
    ASSERT_TRUE(log.waitFor("[SIO] Connection failed\n", 5s));
    EXPECT_NE(log.err().find("TLS is not supported"), std::string::npos);
    EXPECT_EQ(log.count("[SIO] Reconnecting..."), 0u);
}

TEST_F(CarServerClose, DisconnectWithCloseIsNormalAndFinal) {
    connectBoth({}, 3);
    carCommand({{"cmd", "disconnect"}, {"close", true}});
    ASSERT_TRUE(log.waitFor("SIO close: 0\n", 5s));
    EXPECT_FALSE(client->isConnected());
    EXPECT_FALSE(log.waitFor("[SIO] Reconnecting...", 1s));
    EXPECT_EQ(disconnected_calls, 1);
    EXPECT_EQ(carEvents("connection").size(), 1u);
}

TEST_F(CarServerClose, NamespaceDisconnectIsNormalAndFinal) {
    connectBoth({}, 3);
    carCommand({{"cmd", "disconnect"}, {"close", false}});
    ASSERT_TRUE(log.waitFor("SIO close: 0\n", 5s));
    EXPECT_FALSE(log.waitFor("[SIO] Reconnecting...", 1s));
    EXPECT_EQ(disconnected_calls, 1);
}

TEST_F(CarServerClose, BareTransportCloseIsNormalButReconnects) {
    connectBoth({}, 3);
    carCommand({{"cmd", "close_transport"}});
    ASSERT_TRUE(log.waitFor("SIO close: 0\n", 5s));
    ASSERT_TRUE(testsupport::wait_until([this] { return connected_calls == 2; }, 5s));
    EXPECT_EQ(log.count("[SIO] Reconnecting..."), 1u);
    EXPECT_EQ(disconnected_calls, 1);
}

TEST_F(CarServerClose, StopClosesNormallyOnce) {
    connectBoth({}, 3);
    client->stop();
    EXPECT_EQ(log.count("SIO close: 0\n"), 1u);
    EXPECT_EQ(disconnected_calls, 1);
    EXPECT_FALSE(client->isConnected());
    ASSERT_TRUE(waitCarEvents("disconnect", 1));
    client.reset();
    EXPECT_EQ(log.count("SIO close:"), 1u);
    EXPECT_EQ(log.count("[SIO] Reconnecting..."), 0u);
}

TEST_F(CarServerClose, StatusAboveTheServersLimitIsRefusedWith1009AsADrop) {
    connectBoth({}, 0);
    client->sendMissionStatus({{"blob", std::string(1100000, 'a')}});
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    EXPECT_TRUE(carEvents("received").empty());
}

TEST_F(CarServerClose, LargeStatusWithinTheServersLimitArrives) {
    connectBoth({"--max-http-buffer-size", "5000000"});
    client->sendMissionStatus({{"blob", std::string(1500000, 'a')}});
    ASSERT_TRUE(waitCarEvents("received", 1, 10s));
    EXPECT_EQ(carEvents("received")[0]["payload"]["blob"].get<std::string>().size(), 1500000u);
}

TEST_F(CarHeartbeat, StoppedServerIsADropWithinIntervalPlusTimeout) {
    connectBoth({"--ping-interval", "1000", "--ping-timeout", "1000"});
    const auto stopped = Clock::now();
    car->process().signal(SIGSTOP);
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    EXPECT_LE(ms_since(stopped), 2000 + kSlackMs);
    EXPECT_NE(log.err().find("[SIO] Connection ended: ping timeout"), std::string::npos);
    EXPECT_EQ(disconnected_calls, 1);
}

TEST_F(CarHeartbeat, UnansweredPingsAreADrop) {
    connectBoth({"--ping-interval", "1000", "--ping-timeout", "1000"});
    const auto silenced = Clock::now();
    carCommand({{"cmd", "pings"}, {"answer", false}});
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 5s));
    EXPECT_LE(ms_since(silenced), 2000 + kSlackMs);
}

TEST_F(CarHeartbeat, IdleClientSurvivesPastIntervalPlusTimeout) {
    connectBoth({"--ping-interval", "500", "--ping-timeout", "500"});
    // The server drops a client that sends nothing for 1 s.
    EXPECT_FALSE(testsupport::wait_until([this] { return disconnected_calls > 0 || !carEvents("disconnect").empty(); },
                                         2500ms));
    carCommand({{"cmd", "mission"}});
    ASSERT_TRUE(waitMissions(1));
}

TEST_F(CarHeartbeat, Socketio241PingTimeoutFromTheHandshakeIsHonoured) {
    // 2.4.1's default ping timeout is 5000 ms (2.5.1's 20000).
    connectBoth({"--version", "2.4.1", "--ping-interval", "500"});
    const auto stopped = Clock::now();
    car->process().signal(SIGSTOP);
    ASSERT_TRUE(log.waitFor("SIO close: 1\n", 8s));
    const long long waited = ms_since(stopped);
    EXPECT_GE(waited, 4000);
    EXPECT_LE(waited, 5500 + kSlackMs);
}

TEST_F(CarMalformedFrames, AreDroppedWhileTheLinkGoesOn) {
    connectBoth();
    const std::vector<std::string> bad_texts = {
        "42[broken",
        "9x",
        "4",
        "49",
        R"(42{"a":1})",
        "42[1]",
        "42[\"car_uav_begin_mission\"," + std::string(100000, '[') + std::string(100000, ']') + "]",
        "0{\"sid\":\"again\",\"pingInterval\":1,\"pingTimeout\":1}",
    };
    for (const auto& text : bad_texts) carCommand({{"cmd", "raw"}, {"text", text}});
    // A stray attachment, then a binary event whose attachment never comes.
    carCommand({{"cmd", "raw"}, {"base64", "BAEC"}});
    carCommand({{"cmd", "raw"}, {"text", R"(451-["car_uav_begin_mission",{"_placeholder":true,"num":0}])"}});
    carCommand({{"cmd", "mission"}, {"payload", {{"carMissionId", "good"}}}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_EQ(missions().size(), 1u);
    EXPECT_EQ(missions()[0]["carMissionId"], "good");
    EXPECT_EQ(log.count("[SIO] Dropped frame from server:"), bad_texts.size() + 2);
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(disconnected_calls, 0);
    // A tiny ping interval in a second open packet changed nothing.
    EXPECT_FALSE(testsupport::wait_until([this] { return disconnected_calls > 0; }, 500ms));
}
