#include "monitor/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>

#include "log/log.h"

namespace kovo::monitor {

namespace {

const char kJsonType[] = "application/json; charset=utf-8";
const char kHtmlType[] = "text/html; charset=utf-8";

bool starts_with_ci(const std::string& text, size_t pos, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (pos + i >= text.size()) return false;
        if (std::tolower(static_cast<unsigned char>(text[pos + i])) != prefix[i]) return false;
    }
    return true;
}

// The value of the first Content-Length header among the header lines
// text[begin, end); false when there is none.
bool find_content_length(const std::string& text, size_t begin, size_t end, std::string& value) {
    static const char kName[] = "content-length:";
    size_t line = begin;
    while (line < end) {
        size_t eol = text.find("\r\n", line);
        if (eol == std::string::npos || eol > end) eol = end;
        if (starts_with_ci(text, line, kName)) {
            size_t v = line + sizeof(kName) - 1;
            size_t v_end = eol;
            while (v < v_end && (text[v] == ' ' || text[v] == '\t'))
                ++v;
            while (v_end > v && (text[v_end - 1] == ' ' || text[v_end - 1] == '\t'))
                --v_end;
            value = text.substr(v, v_end - v);
            return true;
        }
        line = eol + 2;
    }
    return false;
}

// Decimal digits only, and no more than limit; false otherwise.
bool parse_length(const std::string& digits, size_t limit, size_t& out, bool& too_large) {
    too_large = false;
    if (digits.empty()) return false;
    size_t n = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
        if (!too_large) {
            n = n * 10 + static_cast<size_t>(c - '0');
            if (n > limit) too_large = true;
        }
    }
    out = n;
    return true;
}

void set_timeout(int fd, int option, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof(tv));
}

}  // namespace

RequestExtent request_extent(const std::string& received, size_t max_bytes) {
    using State = RequestExtent::State;
    const size_t blank = received.find("\r\n\r\n");
    if (blank == std::string::npos) {
        return {received.size() > max_bytes ? State::TOO_LARGE : State::INCOMPLETE, 0};
    }
    const size_t header_end = blank + 4;
    if (header_end > max_bytes) return {State::TOO_LARGE, 0};
    const size_t first_line_end = received.find("\r\n");
    std::string value;
    if (!find_content_length(received, first_line_end + 2, blank + 2, value)) {
        // No declared body: whatever came with the headers is the body.
        return {State::COMPLETE, std::min(received.size(), max_bytes)};
    }
    size_t length = 0;
    bool too_large = false;
    if (!parse_length(value, max_bytes, length, too_large)) return {State::BAD_LENGTH, 0};
    if (too_large || header_end + length > max_bytes) return {State::TOO_LARGE, 0};
    if (received.size() < header_end + length) return {State::INCOMPLETE, 0};
    return {State::COMPLETE, header_end + length};
}

void send_response(int fd, int status_code, const std::string& reason, const std::string& content_type,
                   const std::string& body) {
    std::string response = "HTTP/1.1 " + std::to_string(status_code) + " " + reason + "\r\n";
    response += "Content-Type: " + content_type + "\r\n";
    response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    response += "Connection: close\r\n\r\n";
    response += body;
    size_t sent = 0;
    while (sent < response.size()) {
        const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

std::string extract_method(const std::string& request) {
    const size_t space = request.find(' ');
    if (space == std::string::npos) return "GET";
    return request.substr(0, space);
}

std::string extract_path(const std::string& request) {
    const size_t first = request.find(' ');
    if (first == std::string::npos) return "/";
    const size_t second = request.find(' ', first + 1);
    if (second == std::string::npos) return "/";
    return request.substr(first + 1, second - first - 1);
}

std::string extract_body(const std::string& request) {
    const size_t blank = request.find("\r\n\r\n");
    if (blank == std::string::npos) return "";
    const std::string body = request.substr(blank + 4);
    return body.substr(0, body.find('\0'));
}

WebServer::WebServer() = default;

WebServer::~WebServer() { stop(); }

void WebServer::setBindAddress(const std::string& address) { bind_address_ = address; }

void WebServer::setRequestTimeout(std::chrono::milliseconds timeout) { request_timeout_ = timeout; }

int WebServer::port() const { return bound_port_; }

bool WebServer::start(int port, Handler stats_handler, Handler missions_handler, Handler dashboard_handler,
                      BodyHandler config_handler) {
    if (running_) return false;
    stats_handler_ = std::move(stats_handler);
    missions_handler_ = std::move(missions_handler);
    dashboard_handler_ = std::move(dashboard_handler);
    config_handler_ = std::move(config_handler);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        kovo::log::error() << "[WebServer] socket failed";
        return false;
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, bind_address_.c_str(), &addr.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
        kovo::log::error() << "[WebServer] bind failed on port " << port;
        ::close(fd);
        return false;
    }
    if (::listen(fd, 10) < 0) {
        kovo::log::error() << "[WebServer] listen failed";
        ::close(fd);
        return false;
    }
    sockaddr_in bound{};
    socklen_t len = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    bound_port_ = ntohs(bound.sin_port);

    listen_fd_ = fd;
    running_ = true;
    thread_ = std::thread(&WebServer::serveLoop, this);
    kovo::log::info() << "[WebServer] Started on http://" << bind_address_ << ":" << bound_port_;
    return true;
}

void WebServer::stop() {
    running_ = false;
    {
        // Cut a client that is still sending short.
        std::lock_guard<std::mutex> lock(conn_mutex_);
        if (conn_fd_ >= 0) ::shutdown(conn_fd_, SHUT_RDWR);
    }
    // Shutting the listening socket down wakes a blocked accept (closing it
    // alone does not); it is closed once the thread has let go of it.
    if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    bound_port_ = 0;
}

void WebServer::serveLoop() {
    while (running_) {
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (!running_) break;
            if (errno == EINTR || errno == ECONNABORTED) continue;
            kovo::log::error() << "[WebServer] accept failed";
            // Out of descriptors or memory: give the system a moment rather
            // than spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        bool serve = false;
        {
            std::lock_guard<std::mutex> lock(conn_mutex_);
            conn_fd_ = fd;
            serve = running_;
        }
        if (serve) serveConnection(fd);
        std::lock_guard<std::mutex> lock(conn_mutex_);
        conn_fd_ = -1;
        ::close(fd);
    }
}

void WebServer::serveConnection(int fd) {
    using Clock = std::chrono::steady_clock;
    using State = RequestExtent::State;
    const auto deadline = Clock::now() + request_timeout_;
    // A client that stops reading must not hold the server either.
    set_timeout(fd, SO_SNDTIMEO, request_timeout_);

    std::string received;
    char buf[4096];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            kovo::log::error() << "[WebServer] request timed out";
            return;
        }
        if (ready < 0) return;
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The client closed its side: serve what it sent, if anything.
            if (received.empty() || !running_) return;
            break;
        }
        received.append(buf, static_cast<size_t>(n));
        const RequestExtent extent = request_extent(received, kMaxRequestBytes);
        if (extent.state == State::COMPLETE) {
            received.resize(extent.size);
            break;
        }
        if (extent.state == State::TOO_LARGE) {
            kovo::log::error() << "[WebServer] request too large (limit " << kMaxRequestBytes << " bytes)";
            return;
        }
        if (extent.state == State::BAD_LENGTH) {
            kovo::log::error() << "[WebServer] bad Content-Length";
            return;
        }
    }

    try {
        const Reply reply = route(received);
        send_response(fd, 200, "OK", reply.content_type, reply.body);
    } catch (const std::exception& e) {
        kovo::log::error() << "[WebServer] handler failed: " << e.what();
    }
}

WebServer::Reply WebServer::route(const std::string& request) const {
    const std::string method = extract_method(request);
    const std::string path = extract_path(request);
    if (path == "/api/config" && method == "POST" && config_handler_) {
        return {kJsonType, config_handler_(extract_body(request))};
    }
    if (path == "/api/stats") return {kJsonType, stats_handler_ ? stats_handler_() : "{}"};
    if (path == "/api/missions") return {kJsonType, missions_handler_ ? missions_handler_() : "[]"};
    return {kHtmlType, dashboard_handler_ ? dashboard_handler_() : "<h1>kovo_sio_client stats</h1>"};
}

}  // namespace kovo::monitor
