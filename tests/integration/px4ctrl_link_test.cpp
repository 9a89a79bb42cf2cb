// Px4ctrlWsClient against the simulated px4ctrl (tools/sim_px4ctrl.js) over
// loopback. The simulator's events carry its own clock ("t", ms), which the
// timing tests use.
#include "px4ctrl/px4ctrl_ws_client.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "log_capture.h"
#include "test_support.h"

using namespace kovo::config;
using namespace kovo::px4ctrl;

using nlohmann::json;
using namespace std::chrono_literals;
using testsupport::LogCapture;
using testsupport::NodePeer;
using testsupport::wait_until;
using Texts = std::vector<std::string>;

namespace {

double t(const json& event) { return event.at("t").get<double>(); }

class Px4ctrlLink : public ::testing::Test {
protected:
    Px4ctrlLink() { config.px4ctrl.reconnect_backoff_ms = {100}; }
    void TearDown() override {
        client.reset();
        if (sim) sim->stop();
    }
    void startSim(std::vector<std::string> args = {}) {
        sim = std::make_unique<NodePeer>("sim_px4ctrl", "sim_px4ctrl.js", std::move(args));
        ASSERT_TRUE(sim->start());
        config.px4ctrl.port = sim->port();
    }
    void startClient() {
        client = std::make_unique<Px4ctrlWsClient>(config);
        client->setOnConnected([this] { ++connected; });
        client->setOnDisconnected([this] {
            ++disconnected;
            if (park_next_disconnect.exchange(false)) {
                parked = true;
                wait_until([&] { return unpark.load(); }, 5s);
            }
        });
        ASSERT_TRUE(client->start());
    }
    void startLoggedIn(std::vector<std::string> sim_args = {}) {
        ASSERT_NO_FATAL_FAILURE(startSim(std::move(sim_args)));
        ASSERT_NO_FATAL_FAILURE(startClient());
        ASSERT_TRUE(loggedIn());
    }
    bool loggedIn() {
        return wait_until([&] { return client->isLogined(); }, 5s);
    }
    // The texts of the mission commands the simulator received, once there are n.
    Texts commandsReceived(size_t n) const {
        EXPECT_TRUE(sim->waitEvents("kovo_command", n, 3s));
        Texts texts;
        for (const json& e : sim->events("kovo_command"))
            texts.push_back(e["text"]);
        return texts;
    }
    // A stdin command; returns its acknowledgement.
    json command(const json& cmd) {
        json ack = sim->command(cmd);
        EXPECT_TRUE(ack.is_object() && ack["cmd"] == cmd["cmd"]) << cmd.dump();
        return ack;
    }
    void send(const std::string& text) { command({{"cmd", "send"}, {"text", text}}); }
    bool stateHas(const char* key, const json& value) {
        return wait_until([&] { return client->getState().value(key, json()) == value; }, 5s);
    }

    LogCapture log;  // first member: outlives the client
    AppConfig config;
    std::unique_ptr<NodePeer> sim;
    std::unique_ptr<Px4ctrlWsClient> client;
    std::atomic<int> connected{0}, disconnected{0};
    // Holds the link's thread in the next disconnection notice until unpark.
    std::atomic<bool> park_next_disconnect{false}, parked{false}, unpark{false};
};

TEST_F(Px4ctrlLink, LogsInWithTheDefaultsKeepsTheLatestStateAndStopsPromptly) {
    ASSERT_NO_FATAL_FAILURE(startLoggedIn());
    json conn = sim->event("connection");
    EXPECT_EQ(conn["path"], "/");
    EXPECT_EQ(conn["protocol"], "http");
    EXPECT_EQ(sim->event("login")["password"], "quenlarf");
    EXPECT_EQ(log.count("[PX4] Connecting to 127.0.0.1:" + std::to_string(sim->port()) + "/"), 1u);

    const json pushed = json::parse(command({{"cmd", "sample"}})["text"].get<std::string>())["state"];
    ASSERT_TRUE(stateHas("fs", 2));
    EXPECT_EQ(client->getState(), pushed);
    command({{"cmd", "set"}, {"fs", 4}});
    EXPECT_TRUE(stateHas("fs", 4));

    const auto begin = std::chrono::steady_clock::now();
    client->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_FALSE(client->sendCmd("kovo 1"));
    EXPECT_TRUE(sim->waitEvents("disconnect", 1, 3s));
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(disconnected, 1);
}

TEST_F(Px4ctrlLink, RefusedLoginIsRetriedAboutOnceASecondAndCommandsWaitForLogin) {
    ASSERT_NO_FATAL_FAILURE(startSim({"--refuse-logins", "-1"}));
    ASSERT_NO_FATAL_FAILURE(startClient());
    ASSERT_TRUE(sim->waitEvents("login", 3, 5s));
    const auto logins = sim->events("login");
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_GE(t(logins[i]) - t(logins[i - 1]), 950) << "login " << i;
        EXPECT_LE(t(logins[i]) - t(logins[i - 1]), 2000) << "login " << i;
    }
    EXPECT_FALSE(client->sendCmd("kovo 1"));
    EXPECT_TRUE(log.waitFor("[PX4] Login result: failed", 3s, 3));

    command({{"cmd", "refuse_login"}, {"count", 0}});
    ASSERT_TRUE(loggedIn());
    EXPECT_EQ(connected, 1);  // the same connection throughout
    ASSERT_TRUE(client->sendCmd("kovo 9"));
    EXPECT_EQ(commandsReceived(1), Texts{"kovo 9"});
}

TEST_F(Px4ctrlLink, ADropKeepsTheStateAndDiscardsThePendingCommand) {
    // Pushes only on demand, so that the last one received is known.
    ASSERT_NO_FATAL_FAILURE(startLoggedIn({"--push", "none"}));
    EXPECT_EQ(client->getState(), json::object());
    command({{"cmd", "set"}, {"fs", 4}});
    command({{"cmd", "push"}});
    ASSERT_TRUE(stateHas("fs", 4));
    const json last = client->getState();

    // The disconnection notice runs before the link forgets the connection:
    // a command queued from there is pending at the drop.
    park_next_disconnect = true;
    command({{"cmd", "reject_upgrades"}, {"on", true}});
    command({{"cmd", "drop"}});
    ASSERT_TRUE(wait_until([&] { return parked.load(); }, 3s));
    EXPECT_TRUE(client->sendCmd("kovo 5"));
    unpark = true;
    EXPECT_TRUE(log.waitFor("[PX4] Connection lost, pending command discarded: kovo 5", 3s));
    EXPECT_FALSE(client->isConnected() || client->isLogined() || client->sendCmd("kovo 1"));
    EXPECT_EQ(client->getState(), last);

    command({{"cmd", "reject_upgrades"}, {"on", false}});
    ASSERT_TRUE(loggedIn());
    EXPECT_EQ(client->getState(), last);
    ASSERT_TRUE(client->sendCmd("kovo 6"));
    EXPECT_EQ(commandsReceived(1), Texts{"kovo 6"});
}

// Only a mission command is refused; the login is cut to the frame.
TEST_F(Px4ctrlLink, OverlongCommandIsRefusedRatherThanCutWhileTheLoginIsCut) {
    config.px4ctrl.write_buffer_size = 16;  // 15 bytes per frame
    config.px4ctrl.login_password = "quenlarf-extra";
    ASSERT_NO_FATAL_FAILURE(startLoggedIn({"--password", "quenlarf-e"}));
    EXPECT_FALSE(client->sendCmd("kovo 1.5,2.5,333"));
    EXPECT_EQ(log.count("[PX4] Command of 16 bytes exceeds the 15-byte send limit, refused: kovo 1.5,2.5,333"), 1u);
    ASSERT_TRUE(client->sendCmd("kovo 1.5,2.5,33"));
    EXPECT_EQ(commandsReceived(1), Texts{"kovo 1.5,2.5,33"});
}

// Large messages in fragments or in one frame beyond the library's buffer are
// put together; one beyond the cap, broken or unwanted ones are dropped with
// the connection and the state kept.
TEST_F(Px4ctrlLink, LargeFragmentedAndBrokenMessages) {
    ASSERT_NO_FATAL_FAILURE(startLoggedIn({"--push", "none", "--log-requests"}));
    auto pad_size = [&] { return client->getState().value("pad", std::string()).size(); };
    const size_t fragmented = command({{"cmd", "large"}, {"bytes", 200000}, {"parts", 4}})["bytes"];
    ASSERT_TRUE(wait_until([&] { return pad_size() > fragmented - 2000; }, 5s));
    command({{"cmd", "large"}, {"bytes", 600000}, {"parts", 1}});
    ASSERT_TRUE(wait_until([&] { return pad_size() > 590000; }, 5s));
    const size_t huge = command({{"cmd", "huge"}, {"bytes", 1500000}})["bytes"];
    ASSERT_TRUE(
        log.waitFor("[PX4] Message of " + std::to_string(huge) + " bytes exceeds the 1048576-byte limit, dropped", 5s));

    send(R"({"cmd":1,"ret":0,"state":{"fs":7}})");
    ASSERT_TRUE(stateHas("fs", 7));
    command({{"cmd", "garbage"}});
    command({{"cmd", "non_json"}});
    command({{"cmd", "malformed"}});
    send("{\"state\":" + std::string(100, '[') + std::string(100, ']') + "}");
    send(R"({"cmd":1,"ret":1,"state":{"fs":9}})");
    send(R"( {"cmd":1,"ret":0,"state":{"fs":9}})");
    send("");
    // Frames arrive in order: once this reply is handled, so are the others.
    send(R"({"cmd":42,"ret":0})");
    ASSERT_TRUE(log.waitFor("[PX4] Login result: success", 5s, 2));
    EXPECT_EQ(client->getState()["fs"], 7);
    EXPECT_EQ(log.count("[PX4] JSON parse error: "), 1u);
    EXPECT_EQ(log.count("[PX4] Message nested deeper than 64 levels, dropped"), 1u);
    EXPECT_EQ(connected, 1);
    // A push without a state stores an empty object.
    send(R"({"cmd":1,"ret":0})");
    EXPECT_TRUE(wait_until([&] { return client->getState() == json::object(); }, 5s));
    // Without pushes the keep-alive goes on asking, every half second.
    const size_t asked = sim->events("state_request").size();
    EXPECT_TRUE(sim->waitEvents("state_request", asked + 2, 2s));
}

// px4ctrl answers each request at once: the next request waits for the
// interval, a command does not.
TEST_F(Px4ctrlLink, RequestsKeepTheIntervalWhileACommandLeavesAtOnce) {
    config.px4ctrl.state_interval_ms = 1000;
    ASSERT_NO_FATAL_FAILURE(startLoggedIn({"--log-requests"}));
    ASSERT_TRUE(sim->waitEvents("state_request", 2, 3s));
    ASSERT_TRUE(client->sendCmd("kovo 1"));
    const double first = t(sim->event("state_request", 0)), second = t(sim->event("state_request", 1));
    const double third = t(sim->event("state_request", 2, 3s)), sent = t(sim->event("kovo_command"));
    EXPECT_GE(second - first, 990);
    EXPECT_GE(third - second, 990);
    EXPECT_LT(sent - second, 500);
    EXPECT_LT(sent, third);
}

TEST_F(Px4ctrlLink, WithoutAPeerCommandsAreRefusedAndRetriesStopPromptly) {
    config.px4ctrl.port = testsupport::pick_free_port();
    ASSERT_NO_FATAL_FAILURE(startClient());
    ASSERT_TRUE(log.waitFor("[PX4] Connection error", 5s, 2));
    EXPECT_FALSE(client->isConnected() || client->sendCmd("kovo 1"));
    EXPECT_EQ(connected + disconnected, 0);
    const auto begin = std::chrono::steady_clock::now();
    client.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
}

}  // namespace
