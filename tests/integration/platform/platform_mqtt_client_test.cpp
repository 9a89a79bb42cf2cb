// PlatformMqttClient against a private mosquitto broker on loopback; the
// other side of the traffic is played by mosquitto_sub / mosquitto_pub and by
// the simulated platform.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>

#include "platform/platform_mqtt_client.h"
#include "platform_test_helpers.h"
#include "test_support.h"

using namespace std::chrono_literals;
using nlohmann::json;
using platformtest::CapturedOutput;
using testsupport::ChildProcess;
using testsupport::MosquittoBroker;
using testsupport::TempDir;
using testsupport::wait_until;

namespace {

const std::string kRequestTopic = "/api/carUavModule/indoorPlatform/cmd/request";
const std::string kResponseTopic = "/api/carUavModule/indoorPlatform/cmd/response";

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

size_t thread_count() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

// A TCP listener that completes handshakes (in the kernel's backlog) but never
// says a word: a broker that does not acknowledge the connection. The test
// may take a pending connection and hang up on it, or stop listening.
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
    ~SilentListener() { stop(); }
    int port() const { return port_; }

    // Waits for a connection and resets it at once; false on timeout.
    bool hangUpOnNext(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return false;
        const int conn = accept(fd_, nullptr, nullptr);
        if (conn < 0) return false;
        // A reset rather than a close: no TIME_WAIT keeps the port from the broker started on it later.
        const linger reset{1, 0};
        setsockopt(conn, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(conn);
        return true;
    }

    void stop() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

class MqttClientTest : public ::testing::Test {
protected:
    void SetUp() override { config_.mqtt.host = "127.0.0.1"; }

    void TearDown() override { client_.reset(); }

    void startBroker() {
        ASSERT_TRUE(broker_.start());
        config_.mqtt.port = broker_.port();
    }

    void makeClient() {
        client_ = std::make_unique<PlatformMqttClient>(config_);
        client_->setOnConnected([this] { ++connects_; });
        client_->setOnDisconnected([this] { ++disconnects_; });
        client_->setResponseCallback([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            responses_.push_back(text);
        });
    }

    std::vector<std::string> responses() {
        std::lock_guard<std::mutex> lock(mutex_);
        return responses_;
    }

    // A mosquitto broker of the test's own (for its log or its settings).
    std::unique_ptr<ChildProcess> ownBroker(const std::string& settings) {
        const int port = testsupport::pick_free_port();
        const std::string conf = dir_.file("own.conf");
        testsupport::write_file(conf, "listener " + std::to_string(port) + " 127.0.0.1\npersistence false\n" +
                                          settings);
        auto broker = std::make_unique<ChildProcess>("own-broker", std::vector<std::string>{"mosquitto", "-c", conf});
        EXPECT_TRUE(wait_until([port] { return testsupport::port_accepts(port); }, 10s, 20ms));
        config_.mqtt.port = port;
        return broker;
    }

    // mosquitto_sub on topic, printing "MSG <topic> <hex payload>" per
    // message (line-buffered, as it writes into a pipe); returns once its
    // subscription is acknowledged.
    std::unique_ptr<ChildProcess> subscriber(const std::string& topic) {
        auto sub = std::make_unique<ChildProcess>(
            "sub", std::vector<std::string>{"stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(config_.mqtt.port),
                                            "-t", topic, "-q", "1", "-d", "-F", "MSG %t %x"});
        EXPECT_TRUE(sub->wait_for_line("received SUBACK", 5s));
        return sub;
    }

    bool publishResponse(const std::string& payload) {
        const std::string file = dir_.file("payload.bin");
        testsupport::write_file(file, payload);
        ChildProcess pub("pub", {"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(config_.mqtt.port), "-t",
                                 kResponseTopic, "-q", "1", "-f", file});
        return pub.wait_exit(5s) == 0;
    }

    // The subscription is made on the loop thread right after the connection
    // is acknowledged: publish until the client has it (or 5 s have passed).
    bool deliverResponse(const std::string& payload) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (!publishResponse(payload)) return false;
            if (wait_until([&] { return !responses().empty() && responses().back() == payload; }, 500ms)) return true;
        }
        return false;
    }

    void connectToFreshBroker() {
        ASSERT_NO_FATAL_FAILURE(startBroker());
        makeClient();
        ASSERT_TRUE(client_->start());
        ASSERT_TRUE(connectedOnce());
    }

    bool connectedOnce() {
        return wait_until([this] { return client_->isConnected() && connects_ == 1; }, 5s) &&
               output_.wait_for("[MQTT] Subscribed to " + kResponseTopic, 5s);
    }

    CapturedOutput output_;
    TempDir dir_;
    MosquittoBroker broker_;
    AppConfig config_;
    std::atomic<int> connects_{0};
    std::atomic<int> disconnects_{0};
    std::mutex mutex_;
    std::vector<std::string> responses_;
    std::unique_ptr<PlatformMqttClient> client_;
};

using MqttConnection = MqttClientTest;
using MqttTraffic = MqttClientTest;
using MqttReconnection = MqttClientTest;

TEST_F(MqttConnection, ConnectsWithItsClientIdAndSubscribes) {
    config_.platform.site_id = "site-42";
    auto broker = ownBroker("allow_anonymous true\n");
    makeClient();
    ASSERT_TRUE(client_->start());
    ASSERT_TRUE(connectedOnce());
    EXPECT_EQ(output_.count("[MQTT] Connected to broker 127.0.0.1:" + std::to_string(config_.mqtt.port)), 1u);
    // Clean start and no credentials.
    EXPECT_TRUE(broker->wait_for_line("as indoorCar_site-42 (p2, c1, k60).", 5s));
}

TEST_F(MqttConnection, CredentialsOnlyWithAUserName) {
    auto broker = ownBroker("allow_anonymous true\n");
    config_.mqtt.password = "secret";
    makeClient();
    ASSERT_TRUE(client_->start());
    ASSERT_TRUE(connectedOnce());
    EXPECT_TRUE(broker->wait_for_line("as indoorCar_qtpe-8264 (p2, c1, k60).", 5s));
    client_.reset();

    config_.mqtt.username = "alice";
    config_.mqtt.keepalive = 30;
    makeClient();
    ASSERT_TRUE(client_->start());
    EXPECT_TRUE(broker->wait_for_line("as indoorCar_qtpe-8264 (p2, c1, k30, u'alice').", 5s));
}

TEST_F(MqttConnection, SecondStartIsANoOp) {
    ASSERT_NO_FATAL_FAILURE(connectToFreshBroker());
    const size_t threads = thread_count();
    EXPECT_TRUE(client_->start());
    EXPECT_EQ(thread_count(), threads);
    std::this_thread::sleep_for(300ms);  // room for a second connection, which must not come
    EXPECT_EQ(connects_, 1);
    EXPECT_EQ(output_.count("[MQTT] Connected to broker"), 1u);
}

TEST_F(MqttConnection, PublishBeforeTheAcknowledgementFails) {
    SilentListener silent;
    config_.mqtt.port = silent.port();
    makeClient();
    ASSERT_TRUE(client_->start());
    EXPECT_FALSE(client_->publishRequest("early"));
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(client_->isConnected());
    EXPECT_FALSE(client_->publishRequest("still early"));
    EXPECT_EQ(output_.count("[MQTT] publish failed"), 0u);
    // stop() does not wait for a broker that never answers.
    const auto start = std::chrono::steady_clock::now();
    client_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(disconnects_, 0);
}

TEST_F(MqttConnection, StopDisconnectsAndEndsTheLoop) {
    ASSERT_NO_FATAL_FAILURE(connectToFreshBroker());
    const size_t threads = thread_count();
    const auto start = std::chrono::steady_clock::now();
    client_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(thread_count(), threads - 1);
    EXPECT_FALSE(client_->isConnected());
    EXPECT_EQ(disconnects_, 1);
    EXPECT_EQ(output_.count("[MQTT] Disconnected"), 1u);
    EXPECT_FALSE(client_->publishRequest("after stop"));
}

TEST_F(MqttConnection, RefusedConnectionIsRetriedAndIsNoDisconnection) {
    auto broker = ownBroker("allow_anonymous false\n");
    makeClient();
    // The TCP connection succeeds; the broker refuses the CONNECT.
    ASSERT_TRUE(client_->start());
    EXPECT_TRUE(output_.wait_for("[MQTT] Connect failed, rc=5", 5s, 2));
    EXPECT_FALSE(client_->isConnected());
    EXPECT_EQ(connects_, 0);
    EXPECT_EQ(disconnects_, 0);
    EXPECT_EQ(output_.count("[MQTT] Unexpected disconnection"), 0u);
}

TEST_F(MqttTraffic, RequestsGoOutWholeOnTheRequestTopic) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    auto sub = subscriber(kRequestTopic);
    makeClient();
    ASSERT_TRUE(client_->start());
    ASSERT_TRUE(connectedOnce());
    const std::string with_zero("re\0quest", 8);
    EXPECT_TRUE(client_->publishRequest("{\"platformCmd\":\"UploadUavStatusHistory\"}"));
    EXPECT_TRUE(client_->publishRequest(with_zero));
    EXPECT_TRUE(sub->wait_for_line("MSG " + kRequestTopic + " " + hex("{\"platformCmd\":\"UploadUavStatusHistory\"}"), 5s));
    EXPECT_TRUE(sub->wait_for_line("MSG " + kRequestTopic + " " + hex(with_zero), 5s));
}

TEST_F(MqttTraffic, ResponseIsLoggedAndHandedOnWhole) {
    ASSERT_NO_FATAL_FAILURE(connectToFreshBroker());
    ASSERT_TRUE(deliverResponse("{\"code\":200}"));
    EXPECT_GE(output_.count("[MQTT] Received on " + kResponseTopic + ": {\"code\":200}"), 1u);

    const std::string with_zero("ab\0cd", 5);
    ASSERT_TRUE(deliverResponse(with_zero));
    EXPECT_EQ(responses().back().size(), 5u);
}

TEST_F(MqttTraffic, SimulatedPlatformPrintsReportsAndAnswersThem) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    testsupport::NodePeer platform(
        "platform", "sim_platform.js",
        {"--mqtt-url", "mqtt://127.0.0.1:" + std::to_string(broker_.port()), "--auto-respond"});
    ASSERT_TRUE(platform.start());
    ASSERT_EQ(platformtest::wait_events(platform, "mqtt_subscribed", 1).size(), 1u);
    makeClient();
    ASSERT_TRUE(client_->start());
    ASSERT_TRUE(connectedOnce());

    const json report = {{"platformCmd", "UploadUavStatusHistory"},
                         {"platformCmdID", "17-1"},
                         {"parms", {{"uavStatusCode", "406"}}}};
    ASSERT_TRUE(client_->publishRequest(report.dump()));
    const auto reports = platformtest::wait_events(platform, "mqtt_report", 1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["report"], report);
    // The answer reaches the client once its subscription is in place.
    ASSERT_TRUE(wait_until([&] { return !responses().empty(); }, 5s));
    const json answer = json::parse(responses()[0]);
    EXPECT_EQ(answer["platformCmdID"], "17-1");
    EXPECT_EQ(answer["code"], 200);
}

TEST_F(MqttReconnection, BrokerRestartReconnectsAndSubscribesAgain) {
    ASSERT_NO_FATAL_FAILURE(connectToFreshBroker());

    broker_.stop();
    ASSERT_TRUE(wait_until([this] { return disconnects_ == 1; }, 5s));
    EXPECT_FALSE(client_->isConnected());
    EXPECT_FALSE(client_->publishRequest("lost"));
    EXPECT_EQ(output_.count("[MQTT] Unexpected disconnection, rc="), 1u);

    ASSERT_TRUE(broker_.start());
    ASSERT_TRUE(wait_until([this] { return connects_ == 2 && client_->isConnected(); }, 15s));
    EXPECT_TRUE(output_.wait_for("[MQTT] Subscribed to " + kResponseTopic, 5s, 2));
    // The new broker knows nothing of the old subscription: the answer proves the new one.
    EXPECT_TRUE(deliverResponse("after restart"));
    EXPECT_EQ(disconnects_, 1);
}

TEST_F(MqttReconnection, BrokerStartedAfterTheClientIsReachedInTheBackground) {
    config_.mqtt.port = testsupport::pick_free_port();
    makeClient();
    EXPECT_FALSE(client_->start());
    EXPECT_EQ(output_.count("[MQTT] mosquitto_connect failed: "), 1u);
    EXPECT_FALSE(client_->isConnected());
    // Still started: a second start neither connects nor starts a thread.
    const size_t threads = thread_count();
    EXPECT_TRUE(client_->start());
    EXPECT_EQ(thread_count(), threads);
    EXPECT_EQ(output_.count("[MQTT] mosquitto_connect failed: "), 1u);

    ASSERT_TRUE(broker_.start(config_.mqtt.port));
    ASSERT_TRUE(connectedOnce());
    auto sub = subscriber(kRequestTopic);
    EXPECT_TRUE(client_->publishRequest("late"));
    EXPECT_TRUE(sub->wait_for_line("MSG " + kRequestTopic + " " + hex("late"), 5s));
    EXPECT_TRUE(deliverResponse("welcome"));
}

TEST_F(MqttReconnection, AttemptsCutOffBeforeTheAcknowledgementAreRetriedWithGrowingDelays) {
    SilentListener listener;
    config_.mqtt.port = listener.port();
    makeClient();
    ASSERT_TRUE(client_->start());
    ASSERT_TRUE(listener.hangUpOnNext(1s));
    const auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(listener.hangUpOnNext(3s));
    const auto second = std::chrono::steady_clock::now();
    EXPECT_GE(second - first, 900ms);
    listener.stop();
    ASSERT_TRUE(broker_.start(config_.mqtt.port));
    ASSERT_TRUE(connectedOnce());
    EXPECT_GE(std::chrono::steady_clock::now() - second, 3500ms);
    // Nothing was ever connected before: no disconnection to report.
    EXPECT_EQ(disconnects_, 0);
    EXPECT_EQ(output_.count("[MQTT] Unexpected disconnection"), 0u);
}

TEST_F(MqttReconnection, StopIsPromptWhileWaitingToRetry) {
    config_.mqtt.port = testsupport::pick_free_port();
    makeClient();
    EXPECT_FALSE(client_->start());
    std::this_thread::sleep_for(1500ms);  // into the second, longer delay
    const auto start = std::chrono::steady_clock::now();
    client_->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_EQ(connects_, 0);
    EXPECT_EQ(disconnects_, 0);
}

}  // namespace
