// SioCarClient against the real npm socket.io 2.x server (tools/sim_car.js):
// the handshake, incoming payloads, outgoing statuses and their log lines.
#include "car_link_fixture.h"

#include <thread>

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const char* const kGreen = "\033[32m";
const char* const kYellow = "\033[33m";
const char* const kReset = "\033[0m";

// A mission whose identifiers and heights look like numbers but are strings,
// with an empty object member.
const json kMission = json::parse(R"({
  "carStrategyId": "12",
  "carFlightMissionHistoryId": "0042",
  "carMissionId": "m-1",
  "batteryLimit": "20",
  "beforeTakeoffPhotoConfig": {},
  "uploadMediaDataUrl": "http://127.0.0.1:1/upload",
  "warehouseNum": [["A1", "A2"], "A3"],
  "carFlightPointList": [
    {"id": "1", "z": "1.5", "warehousePositionNum": "A1-1"},
    {"id": "2", "z": 3, "warehousePositionNum": "A1-2"},
    {"id": "3", "z": 2.25}
  ]
})");

}  // namespace

using CarHandshake = CarLinkTest;
using CarMissionPayload = CarLinkTest;
using CarRebootQuery = CarLinkTest;
using CarStatusEmits = CarLinkTest;
using CarServerMessages = CarLinkTest;

TEST_F(CarHandshake, QueryCarriesAccessKeyAndClientType) {
    connectBoth();
    const auto connection = carEvents("connection").at(0);
    EXPECT_EQ(connection["accessKey"], "4821-9037");
    EXPECT_EQ(connection["clientType"], "app");
    EXPECT_EQ(connection["query"]["EIO"], "3");
    EXPECT_EQ(connection["query"]["transport"], "websocket");
    EXPECT_FALSE(connection["query"].contains("sid"));
    EXPECT_FALSE(connection["query"].contains("b64"));
    EXPECT_EQ(connection["transport"], "websocket");
    EXPECT_EQ(connected_calls, 1);
}

TEST_F(CarHandshake, QueryValuesAreEncodedSoThatTheServerDecodesThemExactly) {
    config.socketio.access_key = "48 21+90/37&x=\xc3\xa9";
    config.socketio.client_type = "app?type=%41";
    ASSERT_NO_FATAL_FAILURE(connectBoth());
    const auto connection = carEvents("connection").at(0);
    EXPECT_EQ(connection["accessKey"], "48 21+90/37&x=\xc3\xa9");
    EXPECT_EQ(connection["clientType"], "app?type=%41");
    EXPECT_FALSE(connection["query"].contains("x"));
}

TEST_F(CarHandshake, LogsTheOpenWithSessionIdAndListenedEvents) {
    connectBoth();
    const std::string sid = carEvents("connection").at(0)["id"];
    const std::string out = log.out();
    EXPECT_NE(out.find("SIO connected to car server\n"), std::string::npos);
    EXPECT_NE(out.find("[SIO] namespace=/ sessionid=" + sid + "\n"), std::string::npos);
    EXPECT_NE(out.find("[SIO] Listening events: mission='car_uav_begin_mission' reboot_query='car_uav_can_reboot_uav' "
                       "realtime='uav_realtime_status' mission_status='uav_mission_status'\n"),
              std::string::npos);
}

TEST_F(CarHandshake, RefusedNamespaceIsLoggedAndTheConnectionFails) {
    ASSERT_NO_FATAL_FAILURE(startCar({"--reject", "Not authorized"}));
    ASSERT_NO_FATAL_FAILURE(startClient(0));
    ASSERT_TRUE(log.waitFor("[SIO] Connection failed\n", 5s));
    EXPECT_NE(log.err().find("[SIO] Socket error: Not authorized\n"), std::string::npos);
    EXPECT_EQ(log.count("SIO connected to car server"), 0u);
    EXPECT_EQ(connected_calls, 0);
    EXPECT_EQ(disconnected_calls, 0);
}

TEST_F(CarHandshake, Socketio241ServerWithItsDefaults) {
    connectBoth({"--version", "2.4.1"});
    EXPECT_NE(car->process().lines().at(0).find("\"pingTimeout\":5000"), std::string::npos);
    carCommand({{"cmd", "mission"}, {"payload", kMission}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_EQ(missions()[0]["carStrategyId"], "12");
    client->sendCanRebootResp(true);
    ASSERT_TRUE(waitCarEvents("received", 1));
    EXPECT_EQ(carEvents("received")[0]["args"][0], R"({"accessKey":"4821-9037","can_reboot_uav":"1"})");
}

TEST_F(CarMissionPayload, ObjectAndJsonTextFormsArriveEqual) {
    connectBoth();
    carCommand({{"cmd", "mission"}, {"as", "object"}, {"payload", kMission}});
    ASSERT_TRUE(waitMissions(1));
    carCommand({{"cmd", "mission"}, {"as", "string"}, {"payload", kMission}});
    ASSERT_TRUE(waitMissions(2));
    const auto got = missions();
    EXPECT_EQ(got[0], got[1]);
    EXPECT_EQ(got[0]["carStrategyId"], "12");
    EXPECT_EQ(got[0]["carFlightMissionHistoryId"], "0042");
    EXPECT_EQ(got[0]["carFlightPointList"][0]["z"], "1.5");
    EXPECT_TRUE(got[0]["carFlightPointList"][1]["z"].is_number_integer());
    EXPECT_EQ(got[0]["carFlightPointList"][2]["z"], 2.25);
    EXPECT_EQ(got[0]["warehouseNum"], json::parse(R"([["A1","A2"],"A3"])"));
    EXPECT_TRUE(got[0]["beforeTakeoffPhotoConfig"].is_null());
    EXPECT_NE(log.out().find("[SIO] RX car_uav_begin_mission (flag=5):\n"), std::string::npos);
    EXPECT_NE(log.out().find("[SIO] RX car_uav_begin_mission (flag=2):\n"), std::string::npos);
}

TEST_F(CarMissionPayload, RxLineIsGreenWithThePrettyPrintedPayload) {
    connectBoth();
    carCommand({{"cmd", "mission"}, {"payload", {{"carMissionId", "m-7"}, {"z", 2}}}});
    ASSERT_TRUE(waitMissions(1));
    ASSERT_TRUE(log.waitFor(kReset, 2s));
    const std::string expected = std::string(kGreen) +
                                 "[SIO] RX car_uav_begin_mission (flag=5):\n{\n  \"carMissionId\": \"m-7\",\n  \"z\": 2\n}" +
                                 kReset + "\n";
    EXPECT_NE(log.out().find(expected), std::string::npos) << log.out();
}

TEST_F(CarMissionPayload, EmptyObjectArrivesAsNull) {
    connectBoth();
    carCommand({{"cmd", "mission"}, {"payload", json::object()}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_TRUE(missions()[0].is_null());
    EXPECT_NE(log.out().find("[SIO] RX car_uav_begin_mission (flag=5):\nnull"), std::string::npos);
}

TEST_F(CarMissionPayload, PlainWordsArriveAsAJsonString) {
    connectBoth();
    carCommand({{"cmd", "emit"}, {"event", "car_uav_begin_mission"}, {"args", {"fly to the moon"}}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_EQ(missions()[0], "fly to the moon");
}

TEST_F(CarMissionPayload, BinaryPayloadArrivesAsNullWithFlag3) {
    connectBoth();
    carCommand({{"cmd", "binary"}, {"event", "car_uav_begin_mission"}, {"bytes", {1, 2, 3}}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_TRUE(missions()[0].is_null());
    EXPECT_NE(log.out().find("[SIO] RX car_uav_begin_mission (flag=3):\nnull"), std::string::npos);
}

TEST_F(CarMissionPayload, NestedBinaryPlaceholdersBecomeNullInsideTheObject) {
    connectBoth();
    carCommand({{"cmd", "binary"}, {"event", "car_uav_begin_mission"}, {"nested", true}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_EQ(missions()[0], json::parse(R"({"label":"photo","more":null,"parts":[1,{"data":null}]})"));
}

TEST_F(CarMissionPayload, EventWithoutArgumentsIsAnAbsentMessage) {
    connectBoth();
    carCommand({{"cmd", "emit"}, {"event", "car_uav_begin_mission"}, {"args", json::array()}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_TRUE(missions()[0].is_null());
    EXPECT_NE(log.out().find("[SIO] RX car_uav_begin_mission (flag=null):\nnull"), std::string::npos);
}

TEST_F(CarMissionPayload, OnlyTheFirstOfSeveralArgumentsCounts) {
    connectBoth();
    carCommand({{"cmd", "emit"}, {"event", "car_uav_begin_mission"}, {"args", {{{"a", 1}}, "second", 3}}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_EQ(missions()[0], json::parse(R"({"a":1})"));
}

TEST_F(CarMissionPayload, MultiByteUtf8AndEscapesArriveDecoded) {
    connectBoth();
    const std::string text = "h\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x9a\x81";
    carCommand({{"cmd", "mission"}, {"payload", {{"name", text}}}});
    // The same characters as \u escapes inside JSON text.
    carCommand({{"cmd", "emit"},
                {"event", "car_uav_begin_mission"},
                {"args", {R"({"name":"h\u00e9 \u4e2d \ud83d\ude81"})"}}});
    ASSERT_TRUE(waitMissions(2));
    EXPECT_EQ(missions()[0]["name"], text);
    EXPECT_EQ(missions()[1]["name"], text);
}

TEST_F(CarMissionPayload, ThrowingCallbackIsLoggedAndTheLinkGoesOn) {
    on_mission = [](const json& mission) {
        if (mission.is_null()) throw std::runtime_error("cannot fly null");
    };
    connectBoth();
    carCommand({{"cmd", "mission"}, {"payload", json::object()}});
    ASSERT_TRUE(log.waitFor("car_uav_begin_mission parse error: cannot fly null\n", 5s));
    EXPECT_NE(log.err().find("car_uav_begin_mission parse error: cannot fly null\n"), std::string::npos);
    EXPECT_TRUE(client->isConnected());
    carCommand({{"cmd", "mission"}, {"payload", {{"a", 1}}}});
    ASSERT_TRUE(waitMissions(2));
}

TEST_F(CarRebootQuery, AnswerIsOneStringArgumentWithTwoMembersInOrder) {
    on_reboot_query = [this] { client->sendCanRebootResp(false); };
    connectBoth();
    carCommand({{"cmd", "reboot"}});
    ASSERT_TRUE(waitCarEvents("received", 1));
    const auto answer = carEvents("received")[0];
    EXPECT_EQ(answer["name"], "car_uav_can_reboot_uav");
    EXPECT_EQ(answer["argc"], 1);
    EXPECT_EQ(answer["args"][0], R"({"accessKey":"4821-9037","can_reboot_uav":"0"})");
    EXPECT_EQ(reboot_queries, 1);
    EXPECT_NE(log.out().find(std::string(kYellow) +
                             R"([SIO] TX car_uav_can_reboot_uav: {"accessKey":"4821-9037","can_reboot_uav":"0"})" +
                             kReset + "\n"),
              std::string::npos);
}

TEST_F(CarRebootQuery, AnsweredBeforeTheServersAcknowledgement) {
    on_reboot_query = [this] { client->sendCanRebootResp(true); };
    connectBoth();
    carCommand({{"cmd", "emit"}, {"event", "car_uav_can_reboot_uav"}, {"args", {{{"t", 1}}}}, {"ack", true}});
    ASSERT_TRUE(waitCarEvents("ack", 1));
    ASSERT_TRUE(waitCarEvents("received", 1));
    // The answer left before the acknowledgement: the car printed it first.
    size_t answer_line = 0, ack_line = 0;
    const auto lines = car->process().stdout_lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find("\"event\":\"received\"") != std::string::npos) answer_line = i;
        if (lines[i].find("\"event\":\"ack\"") != std::string::npos) ack_line = i;
    }
    EXPECT_LT(answer_line, ack_line);
    EXPECT_EQ(carEvents("ack")[0]["args"], json::array());
}

TEST_F(CarStatusEmits, MissionStatusIsLoggedYellowAndSentAsJsonText) {
    connectBoth();
    client->sendMissionStatus({{"missionStatus", "2"}, {"name", "h\xc3\xa9\xe4\xb8\xad"}});
    ASSERT_TRUE(waitCarEvents("received", 1));
    const auto got = carEvents("received")[0];
    EXPECT_EQ(got["name"], "uav_mission_status");
    EXPECT_EQ(got["argc"], 1);
    EXPECT_EQ(got["args"][0], "{\"missionStatus\":\"2\",\"name\":\"h\xc3\xa9\xe4\xb8\xad\"}");
    EXPECT_NE(log.out().find(std::string(kYellow) + "[SIO] TX uav_mission_status: {\"missionStatus\":\"2\",\"name\":\"h" +
                             "\xc3\xa9\xe4\xb8\xad\"}" + kReset + "\n"),
              std::string::npos);
}

TEST_F(CarStatusEmits, RealtimeStatusIsSentWithoutALogLine) {
    connectBoth();
    client->sendRealtimeStatus({{"uavStatusCode", 2}});
    ASSERT_TRUE(waitCarEvents("received", 1));
    EXPECT_EQ(carEvents("received")[0]["args"][0], R"({"uavStatusCode":2})");
    EXPECT_EQ(log.count("[SIO] TX"), 0u);
}

TEST_F(CarStatusEmits, InvalidUtf8IsReplacedNotThrown) {
    connectBoth();
    EXPECT_NO_THROW(client->sendMissionStatus({{"name", "bad \xff byte"}}));
    ASSERT_TRUE(waitCarEvents("received", 1));
    EXPECT_EQ(carEvents("received")[0]["payload"]["name"], "bad \xef\xbf\xbd byte");
}

TEST_F(CarStatusEmits, SendsWhileDownEmitAndLogNothing) {
    ASSERT_NO_FATAL_FAILURE(startCar());
    // Not started yet: down.
    config.socketio.uri = "http://127.0.0.1:" + std::to_string(car_port);
    client = std::make_unique<SioCarClient>(config);
    client->sendMissionStatus({{"missionStatus", "1"}});
    client->sendCanRebootResp(true);
    client->sendRealtimeStatus({{"a", 1}});
    ASSERT_TRUE(client->start());
    ASSERT_TRUE(testsupport::wait_until([this] { return client->isConnected(); }, 5s));
    client->sendRealtimeStatus({{"marker", 1}});
    ASSERT_TRUE(waitCarEvents("received", 1));
    // Only the marker sent while up reached the car.
    EXPECT_EQ(carEvents("received").size(), 1u);
    EXPECT_EQ(carEvents("received")[0]["payload"]["marker"], 1);
    EXPECT_EQ(log.count("[SIO] TX"), 0u);
}

TEST_F(CarStatusEmits, EmitsFromManyThreadsAllArriveInOrderPerThread) {
    connectBoth({"--quiet-realtime"});
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kEach; ++i) client->sendMissionStatus({{"thread", t}, {"seq", i}});
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(waitCarEvents("received", kThreads * kEach, 10s));
    std::vector<int> next(kThreads, 0);
    for (const auto& e : carEvents("received")) {
        const int t = e["payload"]["thread"];
        EXPECT_EQ(e["payload"]["seq"], next[t]);
        ++next[t];
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kEach));
}

TEST_F(CarServerMessages, MessageEventLogsStringsEmptyAndNonString) {
    connectBoth();
    carCommand({{"cmd", "emit"}, {"event", "message"}, {"args", {"hello car"}}});
    carCommand({{"cmd", "emit"}, {"event", "message"}, {"args", json::array()}});
    carCommand({{"cmd", "emit"}, {"event", "message"}, {"args", {{{"a", 1}}}}});
    ASSERT_TRUE(log.waitFor("[SIO] RX Socket event: message -> (non-string)", 5s));
    const std::string out = log.out();
    EXPECT_NE(out.find(std::string(kGreen) + "[SIO] RX Socket event: message -> hello car" + kReset + "\n"),
              std::string::npos);
    EXPECT_NE(out.find("[SIO] RX Socket event: message -> (empty)"), std::string::npos);
    EXPECT_TRUE(missions().empty());
}

TEST_F(CarServerMessages, ErrorPacketsWithStringAndObjectAreLoggedAndKeepTheLink) {
    connectBoth();
    carCommand({{"cmd", "error"}, {"data", "oops"}});
    carCommand({{"cmd", "error"}, {"data", {{"code", 7}, {"message", "bad"}}}});
    ASSERT_TRUE(log.waitFor("[SIO] Socket error: {\"code\":7,\"message\":\"bad\"}\n", 5s));
    EXPECT_NE(log.err().find("[SIO] Socket error: oops\n"), std::string::npos);
    carCommand({{"cmd", "mission"}});
    ASSERT_TRUE(waitMissions(1));
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(disconnected_calls, 0);
}

TEST_F(CarServerMessages, LargeEventAboveOneMegabyteArrivesWhole) {
    connectBoth();
    carCommand({{"cmd", "large"}, {"event", "car_uav_begin_mission"}, {"bytes", 2000000}});
    ASSERT_TRUE(waitMissions(1, 10s));
    const std::string text = missions()[0]["text"];
    EXPECT_EQ(text.size(), 2000000u);
    EXPECT_EQ(text.substr(0, 4), "\xc3\xa9\xc3\xa9");
    EXPECT_EQ(text.back(), 'x');
}
