// Px4ctrlWsClient against the simulated px4ctrl (tools/sim_px4ctrl.js) over
// loopback. The simulator's events carry its own clock ("t", ms), which the
// timing tests use. Hostile messages are the fault scenarios' and the unit
// tests' business.
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

    LogCapture log;  // first member: outlives the client
    AppConfig config;
    std::unique_ptr<NodePeer> sim;
    std::unique_ptr<Px4ctrlWsClient> client;
    std::atomic<int> connected{0}, disconnected{0};
    // Holds the link's thread in the next disconnection notice until unpark.
    std::atomic<bool> park_next_disconnect{false}, parked{false}, unpark{false};
};

// Pushes only on demand, so that the last one received is known.
TEST_F(Px4ctrlLink, LogsInWithTheDefaultsKeepsTheStateThroughADropAndStopsPromptly) {
    ASSERT_NO_FATAL_FAILURE(startSim({"--push", "none"}));
    ASSERT_NO_FATAL_FAILURE(startClient());
    ASSERT_TRUE(loggedIn());
    json conn = sim->event("connection");
    EXPECT_EQ(conn["path"], "/");
    EXPECT_EQ(conn["protocol"], "http");
    EXPECT_EQ(sim->event("login")["password"], "quenlarf");
    EXPECT_EQ(log.count("[PX4] Connecting to 127.0.0.1:" + std::to_string(sim->port()) + "/"), 1u);
    EXPECT_EQ(client->getState(), json::object());
    command({{"cmd", "set"}, {"fs", 4}});
    const json pushed = json::parse(command({{"cmd", "sample"}})["text"].get<std::string>())["state"];
    command({{"cmd", "push"}});
    EXPECT_TRUE(wait_until([&] { return client->getState() == pushed; }, 5s));

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
    EXPECT_EQ(client->getState(), pushed);

    command({{"cmd", "reject_upgrades"}, {"on", false}});
    ASSERT_TRUE(loggedIn());
    EXPECT_EQ(client->getState(), pushed);
    ASSERT_TRUE(client->sendCmd("kovo 6"));
    EXPECT_EQ(commandsReceived(1), Texts{"kovo 6"});

    const auto begin = std::chrono::steady_clock::now();
    client->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_FALSE(client->sendCmd("kovo 1"));
    EXPECT_TRUE(sim->waitEvents("disconnect", 2, 3s));
    EXPECT_EQ(connected, 2);
    EXPECT_EQ(disconnected, 2);
}

// Without a peer, commands are refused. A refused login is retried about once
// a second on the same connection while commands wait for the login. Then
// px4ctrl answers each request at once: the next request waits for the
// interval, a command does not. Only a command beyond the frame is refused;
// the login is cut to it.
TEST_F(Px4ctrlLink, LoginRetriesRequestPaceAndTheFrameLimitAfterAMissingPeer) {
    config.px4ctrl.port = testsupport::pick_free_port();
    config.px4ctrl.state_interval_ms = 1000;
    config.px4ctrl.write_buffer_size = 16;  // 15 bytes per frame
    config.px4ctrl.login_password = "quenlarf-extra";
    ASSERT_NO_FATAL_FAILURE(startClient());
    ASSERT_TRUE(log.waitFor("[PX4] Connection error", 5s, 2));
    EXPECT_FALSE(client->isConnected() || client->sendCmd("kovo 1"));
    EXPECT_EQ(connected + disconnected, 0);

    ASSERT_NO_FATAL_FAILURE(startSim({"--port", std::to_string(config.px4ctrl.port), "--refuse-logins", "-1",
                                      "--password", "quenlarf-e", "--log-requests"}));
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
    EXPECT_EQ(connected, 1);

    EXPECT_FALSE(client->sendCmd("kovo 1.5,2.5,333"));
    EXPECT_EQ(log.count("[PX4] Command of 16 bytes exceeds the 15-byte send limit, refused: kovo 1.5,2.5,333"), 1u);
    ASSERT_TRUE(sim->waitEvents("state_request", 2, 3s));
    ASSERT_TRUE(client->sendCmd("kovo 1.5,2.5,33"));
    EXPECT_EQ(commandsReceived(1), Texts{"kovo 1.5,2.5,33"});
    const double first = t(sim->event("state_request", 0)), second = t(sim->event("state_request", 1));
    const double third = t(sim->event("state_request", 2, 3s)), sent = t(sim->event("kovo_command"));
    EXPECT_GE(second - first, 990);
    EXPECT_GE(third - second, 990);
    EXPECT_LT(sent - second, 500);
    EXPECT_LT(sent, third);
}

}  // namespace
