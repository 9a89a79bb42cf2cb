#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace kovo::monitor {

// One request as the routes see it.
struct HttpRequest {
    std::string method;
    std::string path;   // the target up to '?'
    std::string query;  // after '?'; empty when there is none
    std::string content_type;
    std::string authorization;
    std::string body;
};

struct HttpReply {
    int status = 200;
    std::string content_type;
    std::string body;
};

// An HTTP/1.1 server on an event loop of its own thread (Boost.Beast over
// Asio): every connection is a socket and a small buffer, never a thread,
// so idle or slow clients cannot hold it. Connections are kept alive; each
// request (or the wait for the next one) must arrive whole within the request
// timeout, else the connection is closed. Every request goes to one handler.
class WebServer {
public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    // A request (headers and body) larger than this is answered 413 and the
    // connection closed.
    static constexpr size_t kMaxRequestBytes = 64 * 1024;
    static constexpr std::chrono::milliseconds kDefaultRequestTimeout{5000};
    // Beyond this many open connections a new one is closed at once, so the
    // daemon keeps descriptors for its links.
    static constexpr size_t kMaxConnections = 256;

    WebServer();
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Listens on bind_address (a numeric address) and port (0: any free one).
    bool start(const std::string& bind_address, int port, Handler handler);
    // Closes every connection and ends the thread; a request being read is
    // dropped.
    void stop();

    // The port actually listened on (useful after start on port 0); 0 when
    // not listening.
    int port() const;
    // Before start.
    void setRequestTimeout(std::chrono::milliseconds timeout);

    // The event loop and its connections (web_server.cpp).
    struct Loop;

private:
    std::unique_ptr<Loop> loop_;
    std::chrono::milliseconds request_timeout_{kDefaultRequestTimeout};
    std::atomic<int> bound_port_{0};
};

}  // namespace kovo::monitor
