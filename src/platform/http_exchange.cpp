#include "platform/http_exchange.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>

#include "net/asio_client.h"
#include "net/url.h"

namespace kovo::platform {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using ErrorCode = boost::system::error_code;
using Clock = std::chrono::steady_clock;

constexpr char kBadUrl[] = "URL using bad/illegal format or missing URL";
constexpr char kUnsupported[] = "Unsupported protocol";
constexpr char kResolveError[] = "Couldn't resolve host name";
constexpr char kConnectError[] = "Couldn't connect to server";
constexpr char kTlsError[] = "SSL connect error";
constexpr char kTimeout[] = "Timeout was reached";
constexpr char kSendError[] = "Failed sending data to the peer";
constexpr char kReceiveError[] = "Failure when receiving data from the peer";
constexpr char kPartial[] = "Transferred a partial file";
constexpr char kNothing[] = "Server returned nothing (no headers, no data)";
constexpr char kWeirdReply[] = "Weird server reply";
constexpr char kTooLarge[] = "Maximum file size exceeded";

constexpr std::size_t kChunk = 16 * 1024;

std::string with_detail(const char* reason, const std::string& detail) { return std::string(reason) + ": " + detail; }

// A socket and its deadline, driven on the caller's thread.
class Connection {
public:
    // Runs one asynchronous operation to its end. At `until` the socket is
    // closed, which ends the operation with an error and sets timedOut().
    template <class Start>
    ErrorCode await(Clock::time_point until, Start&& start) {
        ErrorCode result;
        bool done = false;
        timer_.expires_at(until);
        timer_.async_wait([this, &done](const ErrorCode& e) {
            if (e || done) return;
            timed_out_ = true;
            ErrorCode ignored;
            socket_.close(ignored);
        });
        start([this, &result, &done](const ErrorCode& e, auto&&...) {
            result = e;
            done = true;
            timer_.cancel();
        });
        io_.restart();
        io_.run();
        return result;
    }

    template <class Operation>
    void withStream(Operation&& operation) {
        net::with_stream(socket_, tls_.get(), std::forward<Operation>(operation));
    }

    asio::io_context& io() { return io_; }
    net::Tcp::socket& socket() { return socket_; }
    void startTls(asio::ssl::context& context, const std::string& host) {
        tls_ = net::tls_client_stream(socket_, context, host);
    }
    net::TlsStream& tls() { return *tls_; }
    bool timedOut() const { return timed_out_; }

private:
    asio::io_context io_{1};
    net::Tcp::socket socket_{io_};
    std::unique_ptr<net::TlsStream> tls_;
    asio::steady_timer timer_{io_};
    bool timed_out_ = false;
};

std::string request_head(const HttpRequest& request, const net::Url& url, int default_port) {
    std::string host = url.host.find(':') != std::string::npos ? "[" + url.host + "]" : url.host;
    if (url.port != 0 && url.port != default_port) host += ":" + std::to_string(url.port);
    std::string head =
        request.method + " " + url.target + " HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\nConnection: close\r\n";
    if (!request.content_type.empty()) {
        const std::uint64_t length = request.before.size() + request.file_size + request.after.size();
        head += "Content-Type: " + request.content_type + "\r\nContent-Length: " + std::to_string(length) + "\r\n";
    }
    return head + "\r\n";
}

std::string receive_error(const Connection& c, const ErrorCode& ec) {
    if (c.timedOut()) return kTimeout;
    if (ec == http::error::partial_message) return kPartial;
    if (ec == http::error::end_of_stream) return kNothing;
    if (ec == http::error::body_limit) return kTooLarge;
    if (ec.category() == http::make_error_code(http::error::bad_version).category())
        return with_detail(kWeirdReply, ec.message());
    return with_detail(kReceiveError, ec.message());
}

}  // namespace

HttpResult http_exchange(const HttpRequest& request, const HttpLimits& limits, const BodySink& sink,
                         std::unique_ptr<asio::ssl::context>& tls) {
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + limits.timeout;
    HttpResult result;
    const auto fail = [&result](std::string why) {
        result.error = std::move(why);
        return result;
    };

    net::Url url;
    try {
        url = net::parse_url(request.url);
    } catch (const std::invalid_argument& e) {
        return fail(with_detail(kBadUrl, e.what()));
    }
    const bool https = url.scheme == "https";
    if (!https && url.scheme != "http") return fail(with_detail(kUnsupported, url.scheme));
    const int default_port = https ? 443 : 80;

    Connection c;
    ErrorCode ec;
    const auto endpoints = net::resolve_endpoints(
        c.io(), url.host, static_cast<unsigned short>(url.port != 0 ? url.port : default_port), ec);
    if (ec) return fail(with_detail(kResolveError, url.host + ": " + ec.message()));
    const Clock::time_point connected_by =
        limits.connect_timeout.count() > 0 ? std::min(deadline, start + limits.connect_timeout) : deadline;
    ec = c.await(connected_by, [&](auto done) { asio::async_connect(c.socket(), endpoints, done); });
    if (ec) return fail(c.timedOut() ? kTimeout : with_detail(kConnectError, ec.message()));
    if (https) {
        if (!tls) tls = net::tls_client_context();
        c.startTls(*tls, url.host);
        ec = c.await(deadline, [&](auto done) { c.tls().async_handshake(asio::ssl::stream_base::client, done); });
        if (ec) return fail(c.timedOut() ? kTimeout : with_detail(kTlsError, ec.message()));
    }

    const auto send = [&](const char* data, std::size_t size) {
        ec = c.await(deadline, [&](auto done) {
            c.withStream([&](auto& stream) { asio::async_write(stream, asio::buffer(data, size), done); });
        });
        return !ec;
    };
    const std::string head = request_head(request, url, default_port) + request.before;
    bool sent = send(head.data(), head.size());
    if (sent && request.file != nullptr) {
        std::vector<char> piece(kChunk * 4);
        for (std::uint64_t left = request.file_size; sent && left > 0;) {
            const auto want = static_cast<std::streamsize>(std::min<std::uint64_t>(left, piece.size()));
            if (!request.file->read(piece.data(), want)) return fail(kReadLocalError);
            sent = send(piece.data(), static_cast<std::size_t>(want));
            left -= static_cast<std::uint64_t>(want);
        }
    }
    if (sent && !request.after.empty()) sent = send(request.after.data(), request.after.size());
    if (!sent) return fail(c.timedOut() ? kTimeout : with_detail(kSendError, ec.message()));

    http::response_parser<http::buffer_body> parser;
    // A number, never none: Boost 1.74 takes none as a limit of zero.
    parser.body_limit(limits.body_limit);
    boost::beast::flat_buffer buffer;
    ec = c.await(deadline, [&](auto done) {
        c.withStream([&](auto& stream) { http::async_read_header(stream, buffer, parser, done); });
    });
    if (ec) return fail(receive_error(c, ec));
    char piece[kChunk];
    while (!parser.is_done()) {
        parser.get().body().data = piece;
        parser.get().body().size = sizeof piece;
        ec = c.await(deadline, [&](auto done) {
            c.withStream([&](auto& stream) { http::async_read(stream, buffer, parser, done); });
        });
        if (ec == http::error::need_buffer) ec = {};
        // What arrived before a failure is handed on too: a broken-off
        // download leaves its part behind.
        const std::size_t got = sizeof piece - parser.get().body().size;
        if (got > 0 && !sink(piece, got)) return fail(kWriteLocalError);
        if (ec) return fail(receive_error(c, ec));
    }
    result.ok = true;
    result.status = static_cast<long>(parser.get().result_int());
    return result;
}

}  // namespace kovo::platform
