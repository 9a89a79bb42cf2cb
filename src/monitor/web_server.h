#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kovo::monitor {

// A minimal HTTP/1.1 server: one request per connection, one connection at a
// time, on a thread of its own. It routes to the handlers it is given and
// frames their results.
class WebServer {
public:
    using Handler = std::function<std::string()>;
    using BodyHandler = std::function<std::string(const std::string&)>;

    // A request (headers and body) larger than this is dropped unanswered.
    static constexpr size_t kMaxRequestBytes = 64 * 1024;
    // Time a client has to deliver its whole request.
    static constexpr std::chrono::milliseconds kDefaultRequestTimeout{3000};

    WebServer();
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    bool start(int port, Handler stats_handler, Handler missions_handler, Handler dashboard_handler,
               BodyHandler config_handler);
    void stop();

    // The port actually listened on (useful after start on port 0); 0 when
    // not listening.
    int port() const;
    // Both before start. The daemon listens on every interface (0.0.0.0);
    // tests keep to 127.0.0.1.
    void setBindAddress(const std::string& address);
    void setRequestTimeout(std::chrono::milliseconds timeout);

private:
    struct Reply {
        const char* content_type;
        std::string body;
    };

    void serveLoop();
    void serveConnection(int fd);
    Reply route(const std::string& request) const;

    std::atomic<bool> running_{false};
    std::thread thread_;
    std::atomic<int> bound_port_{0};
    int listen_fd_ = -1;
    Handler stats_handler_;
    Handler missions_handler_;
    Handler dashboard_handler_;
    BodyHandler config_handler_;
    std::string bind_address_ = "0.0.0.0";
    std::chrono::milliseconds request_timeout_{kDefaultRequestTimeout};
    // The connection being served, so that stop can cut a slow client short.
    std::mutex conn_mutex_;
    int conn_fd_ = -1;
};

// Writes one response ("HTTP/1.1", Content-Type, Content-Length in bytes,
// "Connection: close", the body) to fd; a client that went away costs only
// the lost response.
void send_response(int fd, int status_code, const std::string& reason, const std::string& content_type,
                   const std::string& body);
// The text before the first space; "GET" when there is none.
std::string extract_method(const std::string& request);
// The text between the first and the second space; "/" when either is missing.
std::string extract_path(const std::string& request);
// The text after the first empty line, up to the end or the first NUL byte;
// empty when there is no empty line.
std::string extract_body(const std::string& request);

// How much of the bytes received so far forms one request: the headers up to
// the empty line, then as many body bytes as Content-Length gives.
struct RequestExtent {
    enum class State { INCOMPLETE, COMPLETE, TOO_LARGE, BAD_LENGTH };
    State state;
    size_t size;  // bytes of the request when COMPLETE
};
RequestExtent request_extent(const std::string& received, size_t max_bytes);

}  // namespace kovo::monitor
