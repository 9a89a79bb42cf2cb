#include "net/asio_client.h"

#include <openssl/ssl.h>

#include <boost/asio/ssl.hpp>

namespace kovo::net {

std::vector<Tcp::endpoint> resolve_endpoints(boost::asio::io_context& io, const std::string& host, unsigned short port,
                                             boost::system::error_code& ec) {
    std::vector<Tcp::endpoint> endpoints;
    const boost::asio::ip::address address = boost::asio::ip::make_address(host, ec);
    if (!ec) {
        endpoints.emplace_back(address, port);
        return endpoints;
    }
    Tcp::resolver resolver(io);
    for (const auto& entry : resolver.resolve(host, std::to_string(port), ec))
        endpoints.push_back(entry.endpoint());
    return endpoints;
}

std::unique_ptr<boost::asio::ssl::context> tls_client_context() {
    auto context = std::make_unique<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
    // Without a readable store every handshake fails on verification, with its reason.
    boost::system::error_code ignored;
    context->set_default_verify_paths(ignored);
    return context;
}

std::unique_ptr<TlsStream> tls_client_stream(Tcp::socket& socket, boost::asio::ssl::context& context,
                                             const std::string& host) {
    auto tls = std::make_unique<TlsStream>(socket, context);
    tls->set_verify_mode(boost::asio::ssl::verify_peer);
    tls->set_verify_callback(boost::asio::ssl::host_name_verification(host));
    SSL_set_tlsext_host_name(tls->native_handle(), host.c_str());
    return tls;
}

}  // namespace kovo::net
