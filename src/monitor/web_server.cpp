#include "monitor/web_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <exception>
#include <optional>
#include <thread>

#include "log/log.h"
#include "monitor/beast_request.h"

namespace kovo::monitor {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct WebServer::Loop {
    size_t open_connections = 0;  // declared first: sessions end with the io_context
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer accept_retry{io};
    Handler handler;
    std::chrono::milliseconds request_timeout{kDefaultRequestTimeout};
    std::thread thread;
};

namespace {

const char kTextType[] = "text/plain; charset=utf-8";

// One connection: read a request, answer it, again while the client keeps
// the connection alive. Runs only on the loop's thread.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, WebServer::Loop& loop) : stream_(std::move(socket)), loop_(loop) {
        ++loop_.open_connections;
    }
    ~Session() { --loop_.open_connections; }

    void readRequest() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(WebServer::kMaxRequestBytes));
        parser_->body_limit(WebServer::kMaxRequestBytes);
        // One deadline for the whole request, and for the wait before it.
        stream_.expires_after(loop_.request_timeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, size_t header_bytes) {
                                    self->onHeader(ec, header_bytes);
                                });
    }

private:
    void onHeader(beast::error_code ec, size_t header_bytes) {
        if (ec) return fail(ec);
        // The bound covers headers and body together.
        const size_t room = WebServer::kMaxRequestBytes - std::min(header_bytes, WebServer::kMaxRequestBytes);
        const auto length = parser_->content_length();
        if (length && *length > room) return fail(http::error::body_limit);
        parser_->body_limit(room);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code read_ec, size_t) { self->onRequest(read_ec); });
    }

    void onRequest(beast::error_code ec) {
        if (ec) return fail(ec);
        const auto& message = parser_->get();
        const HttpRequest request = to_http_request(message);
        HttpReply reply;
        try {
            reply = loop_.handler(request);
        } catch (const std::exception& e) {
            kovo::log::error() << "[WebServer] handler failed: " << e.what();
            reply = {500, kTextType, "Internal Server Error"};
        }
        answer(std::move(reply), message.keep_alive());
    }

    void answer(HttpReply reply, bool keep_alive) {
        auto response = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(reply.status), 11,
                                                                            std::move(reply.body));
        response->set(http::field::content_type, reply.content_type);
        if (reply.status == 401) response->set(http::field::www_authenticate, "Bearer");
        response->keep_alive(keep_alive);
        response->prepare_payload();
        // A client that stops reading must not hold its connection either.
        stream_.expires_after(loop_.request_timeout);
        http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, size_t) {
            if (ec) return;
            if (response->keep_alive()) {
                self->readRequest();
            } else {
                beast::error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            }
        });
    }

    void fail(beast::error_code ec) {
        if (ec == beast::error::timeout) {
            // A kept-alive connection that sends nothing more just ends.
            if (parser_->got_some()) kovo::log::error() << "[WebServer] request timed out";
        } else if (ec == http::error::header_limit || ec == http::error::body_limit) {
            kovo::log::error() << "[WebServer] request too large (limit " << WebServer::kMaxRequestBytes << " bytes)";
            answer({413, kTextType, "Payload Too Large"}, false);
        } else if (ec == http::error::bad_content_length) {
            kovo::log::error() << "[WebServer] bad Content-Length";
            answer({400, kTextType, "Bad Request"}, false);
        } else if (ec.category() == beast::error_code(http::error::bad_method).category() &&
                   ec != http::error::end_of_stream && ec != http::error::partial_message) {
            answer({400, kTextType, "Bad Request"}, false);
        }
        // Otherwise the client went away: the session ends with its socket.
    }

    beast::tcp_stream stream_;
    WebServer::Loop& loop_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

void accept_next(WebServer::Loop& loop) {
    loop.acceptor.async_accept([&loop](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !loop.acceptor.is_open()) return;
        if (ec) {
            // Out of descriptors or memory: give the system a moment rather
            // than spinning.
            kovo::log::error() << "[WebServer] accept failed: " << ec.message();
            loop.accept_retry.expires_after(std::chrono::milliseconds(100));
            loop.accept_retry.async_wait([&loop](beast::error_code wait_ec) {
                if (!wait_ec) accept_next(loop);
            });
            return;
        }
        if (loop.open_connections < WebServer::kMaxConnections) {
            std::make_shared<Session>(std::move(socket), loop)->readRequest();
        }
        accept_next(loop);
    });
}

}  // namespace

WebServer::WebServer() = default;

WebServer::~WebServer() { stop(); }

void WebServer::setRequestTimeout(std::chrono::milliseconds timeout) { request_timeout_ = timeout; }

int WebServer::port() const { return bound_port_; }

bool WebServer::start(const std::string& bind_address, int port, Handler handler) {
    if (loop_) return false;
    auto loop = std::make_unique<Loop>();
    loop->handler = std::move(handler);
    loop->request_timeout = request_timeout_;
    beast::error_code ec;
    const auto address = asio::ip::make_address(bind_address, ec);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    if (!ec) loop->acceptor.open(endpoint.protocol(), ec);
    if (!ec) loop->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) loop->acceptor.bind(endpoint, ec);
    if (!ec) loop->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        kovo::log::error() << "[WebServer] bind failed on port " << port;
        return false;
    }
    bound_port_ = loop->acceptor.local_endpoint().port();
    accept_next(*loop);
    Loop& running = *loop;
    loop->thread =
        std::thread([&running] { kovo::log::guarded("[WebServer] loop failed", [&] { running.io.run(); }); });
    loop_ = std::move(loop);
    kovo::log::info() << "[WebServer] Started on http://" << bind_address << ":" << bound_port_;
    return true;
}

void WebServer::stop() {
    if (!loop_) return;
    loop_->io.stop();
    loop_->thread.join();
    // Destroying the loop closes the listening socket and, with the pending
    // work, every connection.
    loop_.reset();
    bound_port_ = 0;
}

}  // namespace kovo::monitor
