// PlatformMqttClient against a private mosquitto broker on loopback; the
// other side of the traffic is the simulated platform, which answers every
// report on the response topic.
#include "platform/platform_mqtt_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "log_capture.h"
#include "test_support.h"

using namespace kovo::config;
using namespace kovo::platform;

using namespace std::chrono_literals;
using nlohmann::json;
using testsupport::wait_until;

namespace {

const std::string kRequestTopic = "/api/carUavModule/indoorPlatform/cmd/request";
const std::string kResponseTopic = "/api/carUavModule/indoorPlatform/cmd/response";

size_t thread_count() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// A TCP listener that completes handshakes (in the kernel's backlog) but never
// says a word: a broker that does not acknowledge the connection.
class SilentListener {
public:
    SilentListener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            throw std::runtime_error("listener failed");
        port_ = ntohs(addr.sin_port);
    }
    ~SilentListener() { close(fd_); }
    int port() const { return port_; }

    // Waits until a connection attempt is pending; false on timeout.
    bool attempted(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(timeout.count())) == 1;
    }
    // Waits for a connection attempt and resets it at once.
    bool hangUpOnNext(std::chrono::milliseconds timeout) {
        const int conn = attempted(timeout) ? accept(fd_, nullptr, nullptr) : -1;
        if (conn < 0) return false;
        const linger reset{1, 0};
        setsockopt(conn, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(conn);
        return true;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

class MqttClientTest : public ::testing::Test {
protected:
    void SetUp() override { config_.mqtt.host = "127.0.0.1"; }

    void startBroker() {
        ASSERT_TRUE(broker_.start());
        config_.mqtt.port = broker_.port();
    }

    void startPlatform() {
        const std::string url = "mqtt://127.0.0.1:" + std::to_string(config_.mqtt.port);
        platform_ = std::make_unique<testsupport::NodePeer>(
            "platform", "sim_platform.js", std::vector<std::string>{"--mqtt-url", url, "--auto-respond"});
        ASSERT_TRUE(platform_->start());
        ASSERT_TRUE(platformSubscribed(1));
    }
    bool platformSubscribed(size_t times) { return platform_->waitEvents("mqtt_subscribed", times, 10s); }
    void makeClient() {
        client_ = std::make_unique<PlatformMqttClient>(config_);
        client_->setOnConnected([this] { ++connects_; });
        client_->setOnDisconnected([this] { ++disconnects_; });
        client_->setResponseCallback([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            responses_.push_back(text);
        });
    }
    void startClient() {
        makeClient();
        ASSERT_TRUE(client_->start());
        ASSERT_TRUE(connectedOnce());
    }
    bool connectedOnce() {
        return wait_until([this] { return client_->isConnected() && connects_ == 1; }, 5s) &&
               output_.waitFor("[MQTT] Subscribed to " + kResponseTopic, 5s);
    }

    std::vector<std::string> responses() {
        std::lock_guard<std::mutex> lock(mutex_);
        return responses_;
    }
    bool responded(const std::string& needle) {
        return wait_until([&] { return testing::Matches(testing::Contains(testing::HasSubstr(needle)))(responses()); },
                          5s);
    }
    // Publishes a report and waits for the platform's answer: the request went
    // out and the response subscription is in place. The subscription leaves
    // before the report on the same connection, so the broker has it in time.
    bool answered(const std::string& id) {
        return client_->publishRequest(json({{"platformCmd", "Probe"}, {"platformCmdID", id}}).dump()) &&
               responded("\"platformCmdID\":\"" + id + "\"");
    }

    testsupport::LogCapture output_;  // first member: outlives the client
    testsupport::MosquittoBroker broker_;
    AppConfig config_;
    std::atomic<int> connects_{0}, disconnects_{0};
    std::mutex mutex_;
    std::vector<std::string> responses_;
    std::unique_ptr<testsupport::NodePeer> platform_;
    std::unique_ptr<PlatformMqttClient> client_;
};

using MqttConnection = MqttClientTest;
using MqttTraffic = MqttClientTest;
using MqttReconnection = MqttClientTest;

// A second start neither connects nor starts a thread; stop ends the loop
// at once.
TEST_F(MqttConnection, ConnectsCleanWithItsClientIdAndCredentialsOnlyWithAUserNameAndStopsPromptly) {
    config_.platform.site_id = "site-42";
    config_.mqtt.password = "secret";
    ASSERT_NO_FATAL_FAILURE(startBroker());
    ASSERT_NO_FATAL_FAILURE(startClient());
    EXPECT_EQ(output_.count("[MQTT] Connected to broker 127.0.0.1:" + std::to_string(config_.mqtt.port)), 1u);
    EXPECT_TRUE(broker_.process().waitForLine("as indoorCar_site-42 (p2, c1, k60).", 5s));
    const size_t threads = thread_count();
    EXPECT_TRUE(client_->start());
    EXPECT_EQ(thread_count(), threads);
    const auto start = std::chrono::steady_clock::now();
    client_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(thread_count(), threads - 1);
    EXPECT_EQ(disconnects_, 1);
    EXPECT_EQ(output_.count("[MQTT] Disconnected"), 1u);
    EXPECT_FALSE(client_->publishRequest("after stop"));
    client_.reset();

    config_.mqtt.username = "alice";
    config_.mqtt.keepalive = 30;
    makeClient();
    ASSERT_TRUE(client_->start());
    EXPECT_TRUE(broker_.process().waitForLine("as indoorCar_site-42 (p2, c1, k30, u'alice').", 5s));
}

TEST_F(MqttTraffic, RequestsAndResponsesAreCarriedWhole) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    ASSERT_NO_FATAL_FAILURE(startPlatform());
    ASSERT_NO_FATAL_FAILURE(startClient());
    const std::string request("{\"platformCmd\":\"UploadUavStatusHistory\",\"platformCmdID\":\"17-1\"}");
    const std::string with_zero("re\0quest", 8);
    ASSERT_TRUE(client_->publishRequest(request));
    ASSERT_TRUE(client_->publishRequest(with_zero));
    json sent = platform_->event("mqtt_report", 0);
    EXPECT_EQ(sent["topic"], kRequestTopic);
    EXPECT_EQ(sent["report"], json::parse(request));
    sent = platform_->event("mqtt_report", 1);
    EXPECT_EQ(sent["size"], 8);
    EXPECT_EQ(sent["payload"], with_zero);

    ASSERT_TRUE(responded("\"platformCmdID\":\"17-1\""));
    const std::string answer = responses().at(0);
    EXPECT_EQ(output_.count("[MQTT] Received on " + kResponseTopic + ": " + answer), 1u);
    const std::string answer_with_zero("ab\0cd", 5);
    platform_->sendLine(json({{"cmd", "mqtt_publish"}, {"payload", answer_with_zero}}).dump());
    EXPECT_TRUE(responded(answer_with_zero));
}

TEST_F(MqttReconnection, BrokerRestartReconnectsAndSubscribesAgain) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    ASSERT_NO_FATAL_FAILURE(startPlatform());
    ASSERT_NO_FATAL_FAILURE(startClient());

    broker_.stop();
    ASSERT_TRUE(wait_until([this] { return disconnects_ == 1; }, 5s));
    EXPECT_FALSE(client_->publishRequest("lost"));
    EXPECT_EQ(output_.count("[MQTT] Unexpected disconnection, rc="), 1u);

    ASSERT_TRUE(broker_.start());
    ASSERT_TRUE(wait_until([this] { return connects_ == 2 && client_->isConnected(); }, 15s));
    ASSERT_TRUE(output_.waitFor("[MQTT] Subscribed to " + kResponseTopic, 5s, 2));
    ASSERT_TRUE(platformSubscribed(2));
    // The new broker knows nothing of the old subscription: the answer proves the new one.
    EXPECT_TRUE(answered("after-restart"));
    EXPECT_EQ(disconnects_, 1);
}

TEST_F(MqttReconnection, BrokerStartedAfterTheClientIsReachedInTheBackground) {
    config_.mqtt.port = testsupport::pick_free_port();
    makeClient();
    EXPECT_FALSE(client_->start());
    // Still started: a second start neither connects nor starts a thread.
    const size_t threads = thread_count();
    EXPECT_TRUE(client_->start());
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(output_.count("[MQTT] mosquitto_connect failed: "), 1u);

    ASSERT_TRUE(broker_.start(config_.mqtt.port));
    ASSERT_NO_FATAL_FAILURE(startPlatform());
    ASSERT_TRUE(connectedOnce());
    EXPECT_TRUE(answered("late"));
    // Failed attempts were never connections.
    EXPECT_EQ(disconnects_, 0);
}

TEST_F(MqttReconnection, AttemptsCutOffBeforeTheAcknowledgementAreRetriedWithGrowingDelays) {
    SilentListener listener;
    config_.mqtt.port = listener.port();
    makeClient();
    ASSERT_TRUE(client_->start());
    ASSERT_TRUE(listener.hangUpOnNext(1s));
    auto hung_up = std::chrono::steady_clock::now();
    ASSERT_TRUE(listener.hangUpOnNext(3s));
    EXPECT_GE(std::chrono::steady_clock::now() - hung_up, 900ms);
    hung_up = std::chrono::steady_clock::now();
    // The third attempt, after 4 s, is connected but never acknowledged.
    ASSERT_TRUE(listener.attempted(6s));
    EXPECT_GE(std::chrono::steady_clock::now() - hung_up, 3900ms);
    EXPECT_FALSE(client_->publishRequest("early"));
    // stop() does not wait for a broker that never answers.
    const auto start = std::chrono::steady_clock::now();
    client_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // Nothing was ever connected: no disconnection to report.
    EXPECT_EQ(disconnects_, 0);
}

}  // namespace
