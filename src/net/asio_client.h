#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

// The connection set-up that the Asio clients (px4ctrl link, HTTP client)
// share.
namespace kovo::net {

using Tcp = boost::asio::ip::tcp;
using TlsStream = boost::asio::ssl::stream<Tcp::socket&>;

// host:port as endpoints: an IP literal as it is, a name through the
// system's resolver (blocking, on the caller's thread; the resolver's own
// time-outs bound it).
std::vector<Tcp::endpoint> resolve_endpoints(boost::asio::io_context& io, const std::string& host, unsigned short port,
                                             boost::system::error_code& ec);

// Runs operation with the stream a connection reads and writes: the TLS
// stream over socket when there is one, else socket itself.
template <class Operation>
void with_stream(Tcp::socket& socket, TlsStream* tls, Operation&& operation) {
    if (tls != nullptr) {
        operation(*tls);
    } else {
        operation(socket);
    }
}

// A TLS client context that checks peers against the system's certificates.
std::unique_ptr<boost::asio::ssl::context> tls_client_context();

// A TLS stream over socket that accepts only a certificate for host and
// names host in its hello (SNI).
std::unique_ptr<TlsStream> tls_client_stream(Tcp::socket& socket, boost::asio::ssl::context& context,
                                             const std::string& host);

}  // namespace kovo::net
