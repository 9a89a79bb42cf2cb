#include "car/sio/uri.h"

#include <cctype>
#include <stdexcept>

namespace kovo::car::sio {

namespace {

std::invalid_argument bad_uri(std::string_view uri, const std::string& why) {
    return std::invalid_argument("invalid server URI '" + std::string(uri) + "': " + why);
}

}  // namespace

ServerAddress parse_server_uri(std::string_view uri) {
    const std::size_t scheme_end = uri.find("://");
    if (scheme_end == std::string_view::npos) throw bad_uri(uri, "no scheme");
    std::string scheme(uri.substr(0, scheme_end));
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme == "https" || scheme == "wss") throw bad_uri(uri, "TLS is not supported");
    if (scheme != "http" && scheme != "ws") throw bad_uri(uri, "scheme must be http or ws");

    std::string_view rest = uri.substr(scheme_end + 3);
    const std::size_t authority_end = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authority_end);
    if (authority.find('@') != std::string_view::npos) throw bad_uri(uri, "user information is not supported");

    ServerAddress address;
    std::string_view port_text;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) throw bad_uri(uri, "unterminated IPv6 address");
        address.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') throw bad_uri(uri, "garbage after the IPv6 address");
            port_text = after.substr(1);
            if (port_text.empty()) throw bad_uri(uri, "empty port");
        }
    } else {
        const std::size_t colon = authority.find(':');
        address.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            port_text = authority.substr(colon + 1);
            if (port_text.empty()) throw bad_uri(uri, "empty port");
        }
    }
    if (address.host.empty()) throw bad_uri(uri, "no host");
    if (!port_text.empty()) {
        if (port_text.size() > 5) throw bad_uri(uri, "bad port");
        int port = 0;
        for (char c : port_text) {
            if (c < '0' || c > '9') throw bad_uri(uri, "bad port");
            port = port * 10 + (c - '0');
        }
        if (port < 1 || port > 65535) throw bad_uri(uri, "port out of range");
        address.port = port;
    }
    return address;
}

std::string url_encode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

std::string handshake_path(const std::map<std::string, std::string>& query) {
    std::string path = "/socket.io/?EIO=3&transport=websocket";
    for (const auto& [key, value] : query)
        path += "&" + url_encode(key) + "=" + url_encode(value);
    return path;
}

}  // namespace kovo::car::sio
