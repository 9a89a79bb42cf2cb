#include "monitor/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "app/config_update.h"
#include "log_capture.h"
#include "monitor/stats_routes.h"
#include "test_support.h"

using namespace kovo::monitor;
using namespace kovo::config;
using namespace kovo::app;

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

const char kHtml[] = "text/html; charset=utf-8";
const char kJson[] = "application/json; charset=utf-8";
const char kUpdated[] = "{\"success\":true,\"message\":\"Config updated\"}";
constexpr std::chrono::milliseconds kRequestTimeout = 500ms;

// One client connection to 127.0.0.1:port; each receive waits 5 s at most.
struct Client {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    bool closed = false;  // seen by receiveAll

    explicit Client(int port) {
        const timeval timeout{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    }
    ~Client() { close(fd); }
    // Blocks until all is sent, or the server dropped us mid-way.
    void send(const std::string& data) { (void)::send(fd, data.data(), data.size(), MSG_NOSIGNAL); }
    // Everything until the server closes or falls silent.
    std::string receiveAll() {
        std::string out;
        char buf[8192];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof(buf), 0)) > 0)
            out.append(buf, static_cast<size_t>(n));
        closed = n == 0 || errno != EAGAIN;
        return out;
    }
};

struct Response {
    std::string head;  // status line and headers, each ended by CRLF
    std::string body;
    bool typed(const char* content_type) const {
        return head.find(std::string("\r\nContent-Type: ") + content_type + "\r\n") != std::string::npos;
    }
};

Response round_trip(int port, const std::string& request) {
    Client c(port);
    c.send(request);
    const std::string raw = c.receiveAll();
    const size_t blank = raw.find("\r\n\r\n");
    if (blank == std::string::npos) return {};
    return {raw.substr(0, blank + 2), raw.substr(blank + 4)};
}

std::string http_request(const std::string& method, const std::string& path, const std::string& body = "") {
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (method == "POST") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return req + "\r\n" + body;
}

// True once the server has accepted the connection to port and read all that
// arrived on it: the rx_queue column of /proc/net/tcp is the accept backlog
// of the listening socket and the unread bytes of the accepted one.
bool server_has_read(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    bool accepted = false;
    bool read_all = false;
    while (std::getline(table, line)) {
        unsigned local_port = 0, state = 0, rx_queue = 0;
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%*x %x %*x:%x", &local_port, &state, &rx_queue) == 3 &&
            local_port == static_cast<unsigned>(port)) {
            if (state == 0x0A) accepted = rx_queue == 0;  // listening
            if (state == 0x01) read_all = rx_queue == 0;  // established
        }
    }
    return accepted && read_all;
}

// The daemon's routes over statistics with a fixed clock, and the
// configuration update handler over a configuration file in a temp dir.
class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::write_file(config_path, "{}");
        record_config_stats(stats, *config.snapshot());
        for (int i = 1; i <= 120; ++i)
            stats.onMissionStarted("任务-" + std::to_string(i), "s", "p", "a", 2, "", "t");
        server.setBindAddress("127.0.0.1");
        server.setRequestTimeout(kRequestTimeout);
        ASSERT_TRUE(start_stats_web_server(server, 0, stats, [this](const std::string& body) {
            return handle_config_update(config, config_path, body, stats);
        }));
        port = server.port();
    }
    Response get(const std::string& path) { return round_trip(port, http_request("GET", path)); }
    Response post(const std::string& path, const std::string& body) {
        return round_trip(port, http_request("POST", path, body));
    }

    testsupport::TempDir dir;
    std::string config_path = dir.file("config.json");
    SharedConfig config{AppConfig{}};
    StatsManager stats{[] { return Clock::time_point{} + 100s; }};
    WebServer server;
    int port = 0;
};

}  // namespace

// Statistics and missions answer any method with indented JSON, a POST to
// /api/config updates the configuration, every other request is the
// dashboard. The length counts bytes.
TEST_F(WebServerTest, RoutesAndFraming) {
    for (const Response& r : {get("/api/stats"), post("/api/stats", "")}) {
        EXPECT_EQ(r.head, std::string("HTTP/1.1 200 OK\r\nContent-Type: ") + kJson +
                              "\r\nContent-Length: " + std::to_string(r.body.size()) + "\r\nConnection: close\r\n");
        EXPECT_EQ(r.body, stats.getStatsJson().dump(2));
    }
    EXPECT_EQ(get("/api/missions").body, stats.getMissionsJson(100).dump(2));
    // An update is saved and shown (its replies: see the handler's tests).
    EXPECT_EQ(post("/api/config", R"({"platform":{"site_id":"站点-7"}})").body, kUpdated);
    EXPECT_EQ(json::parse(get("/api/stats").body)["config"]["platform_site_id"], "站点-7");
    for (const std::string& request :
         {http_request("GET", "/"), http_request("GET", "/api/config"), http_request("GET", "/api/stats?x=1"),
          http_request("PUT", "/api/config"), std::string("HELLO\r\n\r\n")}) {
        const Response r = round_trip(port, request);
        EXPECT_TRUE(r.typed(kHtml)) << request;
        EXPECT_EQ(r.body, stats.getDashboardHtml()) << request;
    }
    // A one-word request without the empty line ends with the client's sending.
    Client c(port);
    c.send("HELLO");
    shutdown(c.fd, SHUT_WR);
    EXPECT_NE(c.receiveAll().find("<!DOCTYPE html>"), std::string::npos);
}

// Browsers may send the headers of a POST and its body in separate packets.
TEST_F(WebServerTest, PostWithHeadersAndALargeBodyApartIsReadWhole) {
    const std::string site(40000, 's');
    const std::string request = http_request("POST", "/api/config", "{\"platform\":{\"site_id\":\"" + site + "\"}}");
    const size_t split = request.find("\r\n\r\n") + 4;
    Client c(port);
    c.send(request.substr(0, split));
    ASSERT_TRUE(testsupport::wait_until([&] { return server_has_read(port); }, 5000ms));
    c.send(request.substr(split));
    EXPECT_NE(c.receiveAll().find(kUpdated), std::string::npos);
    EXPECT_EQ(config.snapshot()->platform.site_id, site);
}

TEST_F(WebServerTest, OversizedRequestIsDroppedAndTheServerCarriesOn) {
    for (const std::string& request : {std::string("POST /api/config HTTP/1.1\r\nContent-Length: 100000\r\n\r\n{"),
                                       "GET / HTTP/1.1\r\nX-Filler: " + std::string(70000, 'x')}) {
        Client c(port);
        c.send(request);
        EXPECT_EQ(c.receiveAll(), "");
        EXPECT_TRUE(c.closed);
    }
    EXPECT_TRUE(get("/api/stats").typed(kJson));
}

TEST_F(WebServerTest, SilentClientDoesNotHoldTheServer) {
    Client silent(port);
    const auto begin = Clock::now();
    EXPECT_TRUE(get("/api/stats").typed(kJson));
    EXPECT_LT(Clock::now() - begin, kRequestTimeout + 1500ms);
    // The silent client was let go without an answer.
    EXPECT_EQ(silent.receiveAll(), "");
    EXPECT_TRUE(silent.closed);
}

// A second server on the port fails with the bind message; once stopped, the
// port is free at once, and a client mid-request does not hold stop up.
TEST_F(WebServerTest, PortInUseAndAPromptStop) {
    testsupport::LogCapture log;
    WebServer second;
    second.setBindAddress("127.0.0.1");
    EXPECT_FALSE(second.start(port, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(log.count("[WebServer] bind failed on port " + std::to_string(port)), 1u);
    server.stop();
    server.setRequestTimeout(10s);
    ASSERT_TRUE(start_stats_web_server(server, port, stats, nullptr));
    EXPECT_EQ(log.count("[WebServer] Started on http://127.0.0.1:" + std::to_string(port)), 1u);
    Client slow(port);
    slow.send("GET /api/stats HTTP/1.1\r\n");
    ASSERT_TRUE(testsupport::wait_until([&] { return server_has_read(port); }, 5000ms));
    const auto begin = Clock::now();
    server.stop();
    EXPECT_LT(Clock::now() - begin, 500ms);
    EXPECT_EQ(slow.receiveAll(), "");

    server.stop();  // twice is harmless
    EXPECT_EQ(server.port(), 0);
    EXPECT_FALSE(testsupport::port_accepts(port));
}

TEST(WebServerHandlers, AFailingHandlerCostsItsResponseAndMissingOnesHaveDefaults) {
    WebServer server;
    server.setBindAddress("127.0.0.1");
    ASSERT_TRUE(server.start(
        0, []() -> std::string { throw std::runtime_error("boom"); }, nullptr, nullptr, nullptr));
    EXPECT_EQ(round_trip(server.port(), http_request("GET", "/api/stats")).head, "");
    EXPECT_EQ(round_trip(server.port(), http_request("GET", "/api/missions")).body, "[]");
    // Without a configuration handler the update route is the page.
    EXPECT_EQ(round_trip(server.port(), http_request("POST", "/api/config", "{}")).body,
              "<h1>kovo_sio_client stats</h1>");
}
