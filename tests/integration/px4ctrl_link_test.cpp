// Px4ctrlWsClient against the simulated px4ctrl, whose events carry its own
// clock ("t", ms).
#include "px4ctrl/px4ctrl_ws_client.h"

#include <atomic>
#include <chrono>

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

static double t(const json& event) { return event.at("t").get<double>(); }

// Without a peer, commands are refused; a refused login (cut to the frame) is
// retried about once a second. Requests are paced, commands are not; only a
// command beyond the frame is refused. A dropped link comes back; stop() is
// prompt.
TEST(Px4ctrlLink, LoginRetriesRequestPaceFrameLimitAndADropAfterAMissingPeer) {
    LogCapture log;  // first: outlives the client
    AppConfig config;
    config.px4ctrl.reconnect_backoff_ms = {100};
    config.px4ctrl.port = testsupport::pick_free_port();
    config.px4ctrl.state_interval_ms = 1000;
    config.px4ctrl.write_buffer_size = 16;  // 15 bytes per frame
    config.px4ctrl.login_password = "quenlarf-extra";
    std::atomic<int> connected{0}, disconnected{0};
    Px4ctrlWsClient client(config);
    client.setOnConnected([&] { ++connected; });
    client.setOnDisconnected([&] { ++disconnected; });
    ASSERT_TRUE(client.start());
    const auto logged_in = [&] { return wait_until([&] { return client.isLogined(); }, 5s); };
    ASSERT_TRUE(log.waitFor("[PX4] Connection error", 5s, 2));
    EXPECT_FALSE(client.isConnected() || client.sendCmd("kovo 1"));
    EXPECT_EQ(connected + disconnected, 0);

    NodePeer sim("sim_px4ctrl", "sim_px4ctrl.js",
                 {"--port", std::to_string(config.px4ctrl.port), "--refuse-logins", "-1", "--password", "quenlarf-e",
                  "--log-requests"});
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(sim.waitEvents("login", 3, 5s));
    const auto logins = sim.events("login");
    for (size_t i = 1; i < 3; ++i) {
        EXPECT_GE(t(logins[i]) - t(logins[i - 1]), 950) << "login " << i;
        EXPECT_LE(t(logins[i]) - t(logins[i - 1]), 2000) << "login " << i;
    }
    EXPECT_FALSE(client.sendCmd("kovo 1"));
    EXPECT_TRUE(log.waitFor("[PX4] Login result: failed", 3s, 3));
    ASSERT_TRUE(sim.command({{"cmd", "refuse_login"}, {"count", 0}}).is_object());
    ASSERT_TRUE(logged_in());
    EXPECT_EQ(connected, 1);

    EXPECT_FALSE(client.sendCmd("kovo 1.5,2.5,333"));
    EXPECT_EQ(log.count("[PX4] Command of 16 bytes exceeds the 15-byte send limit, refused: kovo 1.5,2.5,333"), 1u);
    ASSERT_TRUE(sim.waitEvents("state_request", 2, 3s));
    ASSERT_TRUE(client.sendCmd("kovo 1.5,2.5,33"));
    EXPECT_EQ(sim.event("kovo_command", 0, 3s)["text"], "kovo 1.5,2.5,33");
    const double first = t(sim.event("state_request", 0)), second = t(sim.event("state_request", 1));
    const double third = t(sim.event("state_request", 2, 3s)), sent = t(sim.event("kovo_command"));
    EXPECT_GE(second - first, 990);
    EXPECT_GE(third - second, 990);
    EXPECT_LT(sent - second, 500);
    EXPECT_LT(sent, third);

    ASSERT_TRUE(sim.command({{"cmd", "drop"}}).is_object());
    ASSERT_TRUE(wait_until([&] { return connected == 2; }, 5s));
    ASSERT_TRUE(logged_in());
    const auto begin = std::chrono::steady_clock::now();
    client.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_FALSE(client.sendCmd("kovo 1"));
    EXPECT_EQ(disconnected, 2);
}
