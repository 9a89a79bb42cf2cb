#include "monitor/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/config_update.h"
#include "monitor/stats_routes.h"
#include "test_support.h"

using namespace std::chrono_literals;
using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

const char kHtml[] = "text/html; charset=utf-8";
const char kJson[] = "application/json; charset=utf-8";

// One client connection to 127.0.0.1:port, closed on destruction.
class Client {
public:
    explicit Client(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~Client() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return connected_; }
    void send(const std::string& data) {
        size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }
    void finish_sending() { shutdown(fd_, SHUT_WR); }
    // Everything the server sends until it closes (or the timeout passes).
    std::string receive_all(std::chrono::milliseconds timeout = 5000ms) {
        std::string out;
        const auto deadline = Clock::now() + timeout;
        char buf[8192];
        while (true) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            const ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    bool closed() const { return closed_; }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

struct Response {
    std::string head;  // status line and headers, without the empty line
    std::string body;
    bool ok = false;
    std::string header(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        const size_t at = head.find(key);
        if (at == std::string::npos) return "";
        const size_t end = head.find("\r\n", at + key.size());
        return head.substr(at + key.size(), end - at - key.size());
    }
};

Response parse_response(const std::string& raw) {
    Response r;
    const size_t blank = raw.find("\r\n\r\n");
    if (blank == std::string::npos) return r;
    r.head = raw.substr(0, blank);
    r.body = raw.substr(blank + 4);
    r.ok = true;
    return r;
}

std::string http_request(const std::string& method, const std::string& path, const std::string& body = "") {
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!body.empty() || method == "POST") req += "Content-Type: application/json\r\nContent-Length: " +
                                                  std::to_string(body.size()) + "\r\n";
    return req + "\r\n" + body;
}

size_t utf8_chars(const std::string& text) {
    size_t n = 0;
    for (const char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

// The daemon's routes over a statistics object with a fixed clock, and the
// configuration update handler over a configuration file in a temp dir.
class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::write_file(config_path, "{}");
        record_config_stats(stats, *config.snapshot());
        for (int i = 1; i <= 120; ++i) {
            stats.onMissionStarted("任务-" + std::to_string(i), "s", "p", "a", 2, "/d", "2026-05-17 13:50:30");
            stats.onMissionSuccess("2026-05-17 13:51:30");
        }
        server.setBindAddress("127.0.0.1");
        server.setRequestTimeout(request_timeout());
        ASSERT_TRUE(start_stats_web_server(server, 0, stats, [this](const std::string& body) {
            return handle_config_update(config, config_path, body, stats);
        }));
        port = server.port();
        ASSERT_GT(port, 0);
    }

    virtual std::chrono::milliseconds request_timeout() const { return 500ms; }

    Response exchange(const std::string& request) {
        Client c(port);
        EXPECT_TRUE(c.connected());
        c.send(request);
        return parse_response(c.receive_all());
    }

    testsupport::TempDir dir;
    std::string config_path = dir.file("config.json");
    SharedConfig config{AppConfig{}};
    StatsManager stats{[] { return Clock::time_point{} + 100s; }};
    WebServer server;
    int port = 0;
};

}  // namespace

TEST_F(WebServerTest, StatsRouteAnswersAnyMethodWithIndentedJson) {
    const std::string expected = stats.getStatsJson().dump(2);
    for (const char* method : {"GET", "POST", "DELETE"}) {
        const Response r = exchange(http_request(method, "/api/stats"));
        ASSERT_TRUE(r.ok) << method;
        EXPECT_EQ(r.head.substr(0, r.head.find("\r\n")), "HTTP/1.1 200 OK");
        EXPECT_EQ(r.header("Content-Type"), kJson);
        EXPECT_EQ(r.body, expected) << method;
    }
}

TEST_F(WebServerTest, MissionsRouteListsTheNewestHundred) {
    const Response r = exchange(http_request("GET", "/api/missions"));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header("Content-Type"), kJson);
    const json list = json::parse(r.body);
    ASSERT_EQ(list.size(), 100u);
    EXPECT_EQ(list.front()["mission_id"], "任务-21");
    EXPECT_EQ(list.back()["mission_id"], "任务-120");
    EXPECT_EQ(r.body, list.dump(2));
}

TEST_F(WebServerTest, EveryOtherPathIsTheDashboard) {
    for (const std::string path : {"/", "/unknown", "/api/config", "/api/stats?x=1", "/API/STATS"}) {
        const Response r = exchange(http_request("GET", path));
        ASSERT_TRUE(r.ok) << path;
        EXPECT_EQ(r.header("Content-Type"), kHtml) << path;
        EXPECT_EQ(r.body.rfind("<!DOCTYPE html>", 0), 0u) << path;
    }
    // A configuration route with another method is the page too.
    const Response put = exchange(http_request("PUT", "/api/config", "{}"));
    EXPECT_EQ(put.header("Content-Type"), kHtml);
}

TEST_F(WebServerTest, FramingIsExactAndLengthCountsBytes) {
    Client c(port);
    c.send(http_request("GET", "/"));
    const std::string raw = c.receive_all();
    EXPECT_TRUE(c.closed());
    const Response r = parse_response(raw);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.head, "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                          std::to_string(r.body.size()) + "\r\nConnection: close");
    EXPECT_EQ(r.body, stats.getDashboardHtml());
    EXPECT_GT(r.body.size(), utf8_chars(r.body));
}

TEST_F(WebServerTest, OneWordRequestIsTheDashboard) {
    EXPECT_EQ(exchange("HELLO\r\n\r\n").header("Content-Type"), kHtml);
    // Without the empty line, the client's end of sending completes it.
    Client c(port);
    c.send("HELLO");
    c.finish_sending();
    const Response r = parse_response(c.receive_all());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header("Content-Type"), kHtml);
}

TEST_F(WebServerTest, ConfigUpdateRepliesAndSavesOnlyOnSuccess) {
    Response r = exchange(http_request("POST", "/api/config", "{}"));
    EXPECT_EQ(r.header("Content-Type"), kJson);
    EXPECT_EQ(r.body, "{\"success\":false,\"message\":\"No valid fields to update\"}");
    EXPECT_EQ(testsupport::read_file(config_path), "{}");

    r = exchange(http_request("POST", "/api/config", "{not json"));
    EXPECT_EQ(r.body.rfind("{\"success\":false,\"message\":\"Invalid JSON: ", 0), 0u) << r.body;
    EXPECT_TRUE(json::accept(r.body)) << r.body;
    EXPECT_EQ(testsupport::read_file(config_path), "{}");

    r = exchange(http_request("POST", "/api/config", R"({"platform":{"site_id":"站点-7"}})"));
    EXPECT_EQ(r.body, "{\"success\":true,\"message\":\"Config updated\"}");
    EXPECT_EQ(json::parse(testsupport::read_file(config_path))["platform"]["site_id"], "站点-7");
    const Response after = exchange(http_request("GET", "/api/stats"));
    EXPECT_EQ(json::parse(after.body)["config"]["platform_site_id"], "站点-7");
}

TEST_F(WebServerTest, PostInTwoPacketsIsReadWhole) {
    const std::string body = R"({"siyi":{"ip":"10.0.0.9"}})";
    const std::string request = http_request("POST", "/api/config", body);
    const size_t split = request.find("\r\n\r\n") + 4;
    Client c(port);
    c.send(request.substr(0, split));
    // Let the headers go out as a packet of their own, as browsers do.
    std::this_thread::sleep_for(100ms);
    c.send(request.substr(split));
    const Response r = parse_response(c.receive_all());
    EXPECT_EQ(r.body, "{\"success\":true,\"message\":\"Config updated\"}");
    EXPECT_EQ(config.snapshot()->siyi.ip, "10.0.0.9");
}

TEST_F(WebServerTest, LargeBodyUnderTheCapArrivesWhole) {
    const std::string site(40000, 's');
    const Response r = exchange(http_request("POST", "/api/config", "{\"platform\":{\"site_id\":\"" + site + "\"}}"));
    EXPECT_EQ(r.body, "{\"success\":true,\"message\":\"Config updated\"}");
    EXPECT_EQ(config.snapshot()->platform.site_id, site);
}

TEST_F(WebServerTest, OversizedRequestIsDroppedAndTheServerCarriesOn) {
    {
        Client c(port);
        c.send("POST /api/config HTTP/1.1\r\nContent-Length: 100000\r\n\r\n{");
        EXPECT_EQ(c.receive_all(), "");
        EXPECT_TRUE(c.closed());
    }
    {
        Client c(port);
        c.send("GET / HTTP/1.1\r\nX-Filler: " + std::string(70000, 'x'));
        EXPECT_EQ(c.receive_all(), "");
        EXPECT_TRUE(c.closed());
    }
    EXPECT_EQ(config.snapshot()->platform.site_id, AppConfig{}.platform.site_id);
    EXPECT_TRUE(exchange(http_request("GET", "/api/stats")).ok);
}

TEST_F(WebServerTest, SilentClientDoesNotHoldTheServer) {
    Client silent(port);
    ASSERT_TRUE(silent.connected());
    const auto begin = Clock::now();
    const Response r = exchange(http_request("GET", "/api/stats"));
    EXPECT_TRUE(r.ok);
    EXPECT_LT(Clock::now() - begin, request_timeout() + 1500ms);
    // The silent client was let go without an answer.
    EXPECT_EQ(silent.receive_all(1000ms), "");
    EXPECT_TRUE(silent.closed());
}

TEST_F(WebServerTest, StopReturnsPromptlyAndIsIdempotent) {
    const auto begin = Clock::now();
    server.stop();
    EXPECT_LT(Clock::now() - begin, 500ms);
    server.stop();
    EXPECT_EQ(server.port(), 0);
    EXPECT_FALSE(testsupport::port_accepts(port));
}

namespace {

// A client gets far longer than the test waits for stop.
class WebServerPatientTest : public WebServerTest {
protected:
    std::chrono::milliseconds request_timeout() const override { return 10000ms; }
};

}  // namespace

TEST_F(WebServerPatientTest, StopCutsAClientInTheMiddleOfItsRequest) {
    Client slow(port);
    slow.send("GET /api/stats HTTP/1.1\r\n");
    // Nothing tells when the server has taken the connection; give it a moment.
    std::this_thread::sleep_for(100ms);
    const auto begin = Clock::now();
    server.stop();
    EXPECT_LT(Clock::now() - begin, 500ms);
    EXPECT_EQ(slow.receive_all(1000ms), "");
}

TEST(WebServerStart, PortInUseGivesTheBindMessage) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t len = sizeof(addr);
    getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);

    WebServer server;
    server.setBindAddress("127.0.0.1");
    testing::internal::CaptureStderr();
    const bool started = server.start(port, nullptr, nullptr, nullptr, nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(started);
    EXPECT_NE(err.find("[WebServer] bind failed on port " + std::to_string(port) + "\n"), std::string::npos) << err;
    server.stop();
    close(taken);
}

TEST(WebServerStart, StartedLineAndDefaultBodiesWithoutHandlers) {
    WebServer server;
    server.setBindAddress("127.0.0.1");
    testing::internal::CaptureStdout();
    ASSERT_TRUE(server.start(0, nullptr, nullptr, nullptr, nullptr));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[WebServer] Started on http://127.0.0.1:" + std::to_string(server.port())),
              std::string::npos);

    const auto body_of = [&](const std::string& request) {
        Client c(server.port());
        c.send(request);
        return parse_response(c.receive_all()).body;
    };
    EXPECT_EQ(body_of(http_request("GET", "/api/stats")), "{}");
    EXPECT_EQ(body_of(http_request("GET", "/api/missions")), "[]");
    EXPECT_EQ(body_of(http_request("GET", "/")), "<h1>kovo_sio_client stats</h1>");
    // Without a configuration handler the update route is the page.
    EXPECT_EQ(body_of(http_request("POST", "/api/config", "{}")), "<h1>kovo_sio_client stats</h1>");
}

TEST(WebServerStart, AFailingHandlerCostsOneResponse) {
    WebServer server;
    server.setBindAddress("127.0.0.1");
    ASSERT_TRUE(server.start(
        0, []() -> std::string { throw std::runtime_error("boom"); }, nullptr, nullptr, nullptr));
    {
        Client c(server.port());
        c.send(http_request("GET", "/api/stats"));
        EXPECT_EQ(c.receive_all(), "");
    }
    Client c(server.port());
    c.send(http_request("GET", "/api/missions"));
    EXPECT_EQ(parse_response(c.receive_all()).body, "[]");
}

TEST(WebServerStart, RestartsOnTheSamePortAfterStop) {
    WebServer first;
    first.setBindAddress("127.0.0.1");
    ASSERT_TRUE(first.start(0, nullptr, nullptr, nullptr, nullptr));
    const int port = first.port();
    first.stop();
    WebServer second;
    second.setBindAddress("127.0.0.1");
    EXPECT_TRUE(second.start(port, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(testsupport::port_accepts(port));
}
