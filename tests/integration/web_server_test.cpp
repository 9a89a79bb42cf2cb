#include "monitor/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "log_capture.h"
#include "test_support.h"

using namespace kovo::monitor;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::chrono::milliseconds kRequestTimeout = 1500ms;

// One client connection to 127.0.0.1:port; each receive waits 5 s at most.
struct Client {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    std::string pending;  // received beyond the last response

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
    void send(const std::string& data) { (void)::send(fd, data.data(), data.size(), MSG_NOSIGNAL); }
    // What one receive got: > 0 bytes, 0 closed, < 0 reset or silent.
    ssize_t receiveSome() {
        char buf[8192];
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n > 0) pending.append(buf, static_cast<size_t>(n));
        return n;
    }
    // The next response's head (status line and headers) and body, by its
    // Content-Length; empty when none came.
    std::pair<std::string, std::string> response() {
        size_t blank;
        while ((blank = pending.find("\r\n\r\n")) == std::string::npos)
            if (receiveSome() <= 0) return {};
        const std::string head = pending.substr(0, blank + 2);
        const size_t at = head.find("Content-Length: ");
        const size_t length = at == std::string::npos ? 0 : std::stoul(head.substr(at + 16));
        while (pending.size() < blank + 4 + length)
            if (receiveSome() <= 0) return {};
        const std::string body = pending.substr(blank + 4, length);
        pending.erase(0, blank + 4 + length);
        return {head, body};
    }
    // True once the server has closed (or reset) the connection.
    bool closedByServer() {
        ssize_t n;
        while ((n = receiveSome()) > 0) {
        }
        return n == 0 || errno != EAGAIN;
    }
};

std::string request(const std::string& method, const std::string& path, const std::string& body = "",
                    const std::string& extra = "") {
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra;
    if (method == "POST") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return req + "\r\n" + body;
}

// Answers with what it understood of the request; /boom throws.
HttpReply echo(const HttpRequest& r) {
    if (r.path == "/boom") throw std::runtime_error("boom");
    return {200, "text/plain", r.method + " " + r.path + " " + r.query + " " + r.content_type + " " + r.body};
}

}  // namespace

// A second server on the port fails. One connection carries many requests,
// each answer framed by its length; a POST's body may come in a packet of its
// own. Over-long, broken or failing requests are refused with the reason
// logged, while idle and half-sent connections (closed once their request
// time is up) cost the others nothing; stop() is prompt and frees the port.
TEST(WebServer, KeepsAliveRefusesBadRequestsAndOutlivesIdleConnections) {
    testsupport::LogCapture log;
    WebServer server;
    server.setRequestTimeout(kRequestTimeout);
    ASSERT_TRUE(server.start("127.0.0.1", 0, echo));
    const int port = server.port();
    WebServer second;
    EXPECT_FALSE(second.start("127.0.0.1", port, echo));
    EXPECT_EQ(log.count("[WebServer] bind failed on port " + std::to_string(port)), 1u);
    Client c(port);
    c.send(request("GET", "/a/b?c=d&e"));
    auto [head, body] = c.response();
    EXPECT_EQ(head,
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n");
    EXPECT_EQ(body, "GET /a/b c=d&e  ");

    const std::string update = request("POST", "/api/config", "站点-7", "Content-Type: application/json\r\n");
    const size_t split = update.find("\r\n\r\n") + 4;
    c.send(update.substr(0, split));
    std::this_thread::yield();
    c.send(update.substr(split));
    EXPECT_EQ(c.response().second, "POST /api/config  application/json 站点-7");

    c.send(request("GET", "/", "", "Connection: close\r\n"));
    std::tie(head, body) = c.response();
    EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(body, "GET /   ");
    EXPECT_TRUE(c.closedByServer());

    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 50; ++i) {
        idle.push_back(std::make_unique<Client>(port));
        if (i % 10 == 0) idle.back()->send("GET /api/stats HTTP/1.1\r\nHost: x\r\n");
    }
    const auto opened = Clock::now();
    const std::string filler = "X-Filler: " + std::string(40000, 'x') + "\r\n";
    const std::pair<std::string, const char*> rows[] = {
        // The status; nullptr: any refusal, or a close.
        {"POST /api/config HTTP/1.1\r\nContent-Length: 100000\r\n\r\n{", nullptr},
        {"GET / HTTP/1.1\r\nX-Filler: " + std::string(70000, 'x'), nullptr},
        {request("POST", "/api/config", std::string(30000, ' '), filler), nullptr},
        {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "400"},
        {"HELLO\r\n\r\n", "400"},
        {request("GET", "/boom", "", "Connection: close\r\n"), "500"},
    };
    for (const auto& [sent, status] : rows) {
        SCOPED_TRACE(sent.substr(0, 60));
        Client refused(port);
        refused.send(sent);
        const std::string answer = refused.response().first;
        EXPECT_TRUE(status == nullptr || answer.rfind(std::string("HTTP/1.1 ") + status, 0) == 0) << answer;
        EXPECT_TRUE(refused.closedByServer());
    }
    EXPECT_EQ(log.count("[WebServer] request too large (limit 65536 bytes)"), 3u);
    EXPECT_EQ(log.count("[WebServer] bad Content-Length"), 1u);
    EXPECT_EQ(log.count("[WebServer] handler failed: boom"), 1u);
    Client after(port);
    after.send(request("GET", "/api/missions"));
    EXPECT_EQ(after.response().second, "GET /api/missions   ");
    EXPECT_LT(Clock::now() - opened, kRequestTimeout / 2);
    EXPECT_TRUE(idle.front()->closedByServer());
    EXPECT_LT(Clock::now() - opened, kRequestTimeout + 1500ms);
    EXPECT_TRUE(log.waitFor("[WebServer] request timed out", 5000ms, 5));
    EXPECT_EQ(log.count("[WebServer] request timed out"), 5u) << "only the half-sent ones";
    Client late(port);
    late.send("GET /a HTTP/1.1\r\n");
    const auto begin = Clock::now();
    server.stop();
    EXPECT_LT(Clock::now() - begin, 500ms);
    EXPECT_TRUE(late.closedByServer());
    ASSERT_TRUE(server.start("127.0.0.1", port, echo));
}
