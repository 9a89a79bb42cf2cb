// PlatformMqttClient against a private mosquitto broker and the simulated
// platform, which answers every report on the response topic.
#include "platform/platform_mqtt_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "log_capture.h"
#include "test_support.h"

using namespace kovo::config;
using namespace kovo::platform;

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::wait_until;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kResponseTopic = "/api/carUavModule/indoorPlatform/cmd/response";

size_t thread_count() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

class MqttClient : public ::testing::Test {
protected:
    void SetUp() override { config_.mqtt.host = "127.0.0.1"; }
    void makeClient() {
        client_ = std::make_unique<PlatformMqttClient>(config_);
        client_->setOnConnected([this] { ++connects_; });
        client_->setOnDisconnected([this] { ++disconnects_; });
        client_->setResponseCallback([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            responses_.push_back(text);
        });
    }
    // Connected n times in all, each time subscribed.
    bool connected(int n = 1) {
        return wait_until([&] { return client_->isConnected() && connects_ == n; }, 15s) &&
               output_.waitFor("[MQTT] Subscribed to " + kResponseTopic, 5s, static_cast<size_t>(n));
    }
    bool responded(const std::string& needle) {
        return wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                return testing::Matches(testing::Contains(testing::HasSubstr(needle)))(responses_);
            },
            5s);
    }

    testsupport::LogCapture output_;  // first member: outlives the client
    testsupport::MosquittoBroker broker_;
    AppConfig config_;
    std::atomic<int> connects_{0}, disconnects_{0};
    std::mutex mutex_;
    std::vector<std::string> responses_;
    std::unique_ptr<PlatformMqttClient> client_;
};

}  // namespace

// A broker down at start is reached once up, with the client id (credentials
// only with a user name); messages travel whole; a restarted broker is reached
// again and learns the subscription anew; stop() is prompt.
TEST_F(MqttClient, LateBrokerWholeMessagesRestartedBrokerAndPromptStop) {
    config_.platform.site_id = "site-42";
    config_.mqtt.password = "secret";
    config_.mqtt.port = testsupport::pick_free_port();
    makeClient();
    EXPECT_FALSE(client_->start());
    // A second start starts no thread.
    const size_t threads = thread_count();
    EXPECT_TRUE(client_->start());
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(output_.count("[MQTT] mosquitto_connect failed: "), 1u);
    ASSERT_TRUE(broker_.start(config_.mqtt.port));
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(config_.mqtt.port);
    testsupport::NodePeer platform("platform", "sim_platform.js", {"--mqtt-url", url, "--auto-respond"});
    ASSERT_TRUE(platform.start() && platform.waitEvents("mqtt_subscribed", 1, 10s));
    ASSERT_TRUE(connected());
    EXPECT_TRUE(broker_.process().waitForLine("as indoorCar_site-42 (p2, c1, k60).", 5s));

    const std::string request("{\"platformCmd\":\"UploadUavStatusHistory\",\"platformCmdID\":\"17-1\"}");
    const std::string with_zero("re\0quest", 8);
    ASSERT_TRUE(client_->publishRequest(request));
    ASSERT_TRUE(client_->publishRequest(with_zero));
    json sent = platform.event("mqtt_report", 0);
    EXPECT_EQ(sent["topic"], "/api/carUavModule/indoorPlatform/cmd/request");
    EXPECT_EQ(sent["report"], json::parse(request));
    EXPECT_EQ(platform.event("mqtt_report", 1)["payload"], with_zero);
    ASSERT_TRUE(responded("\"platformCmdID\":\"17-1\""));
    const std::string answer_with_zero("ab\0cd", 5);
    platform.sendLine(json({{"cmd", "mqtt_publish"}, {"payload", answer_with_zero}}).dump());
    EXPECT_TRUE(responded(answer_with_zero));

    broker_.stop();
    ASSERT_TRUE(wait_until([this] { return disconnects_ == 1; }, 5s));
    EXPECT_FALSE(client_->publishRequest("lost"));
    ASSERT_TRUE(broker_.start());
    ASSERT_TRUE(connected(2));
    ASSERT_TRUE(platform.waitEvents("mqtt_subscribed", 2, 10s));
    ASSERT_TRUE(client_->publishRequest(json({{"platformCmd", "Probe"}, {"platformCmdID", "again"}}).dump()));
    EXPECT_TRUE(responded("\"platformCmdID\":\"again\""));

    const size_t running = thread_count();
    const auto start = Clock::now();
    client_->stop();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(thread_count(), running - 1);
    EXPECT_EQ(disconnects_, 2);
    EXPECT_FALSE(client_->publishRequest("after stop"));

    config_.mqtt.username = "alice";
    config_.mqtt.keepalive = 30;
    makeClient();
    ASSERT_TRUE(client_->start());
    EXPECT_TRUE(broker_.process().waitForLine("as indoorCar_site-42 (p2, c1, k30, u'alice').", 5s));
}

// A broker that accepts TCP but never acknowledges: attempts cut off are
// retried with growing delays, and stop() does not wait for it.
TEST_F(MqttClient, AttemptsCutOffBeforeTheAcknowledgementAreRetriedWithGrowingDelays) {
    int port = 0;
    const int fd = testsupport::listen_loopback(&port);
    ASSERT_GE(fd, 0);
    const auto attempted = [fd](std::chrono::milliseconds timeout) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(timeout.count())) == 1;
    };
    // Resets the next attempt at once.
    const auto hang_up = [&](std::chrono::milliseconds timeout) {
        const int conn = attempted(timeout) ? accept(fd, nullptr, nullptr) : -1;
        const linger reset{1, 0};
        setsockopt(conn, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        return conn >= 0 && close(conn) == 0;
    };
    config_.mqtt.port = port;
    makeClient();
    ASSERT_TRUE(client_->start());
    ASSERT_TRUE(hang_up(1s));
    auto hung_up = Clock::now();
    ASSERT_TRUE(hang_up(3s));
    EXPECT_GE(Clock::now() - hung_up, 900ms);
    hung_up = Clock::now();
    // The third attempt, after 4 s, is never acknowledged.
    ASSERT_TRUE(attempted(6s));
    EXPECT_GE(Clock::now() - hung_up, 3900ms);
    EXPECT_FALSE(client_->publishRequest("early"));
    const auto start = Clock::now();
    client_->stop();
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(disconnects_, 0);
    close(fd);
}
