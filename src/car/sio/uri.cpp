#include "car/sio/uri.h"

#include <stdexcept>

#include "net/url.h"

namespace kovo::car::sio {

namespace {

std::invalid_argument bad_uri(std::string_view uri, const std::string& why) {
    return std::invalid_argument("invalid server URI '" + std::string(uri) + "': " + why);
}

}  // namespace

ServerAddress parse_server_uri(std::string_view uri) {
    net::Url url;
    try {
        url = net::parse_url(uri);
    } catch (const std::invalid_argument& e) {
        throw bad_uri(uri, e.what());
    }
    if (url.scheme == "https" || url.scheme == "wss") throw bad_uri(uri, "TLS is not supported");
    if (url.scheme != "http" && url.scheme != "ws") throw bad_uri(uri, "scheme must be http or ws");
    return ServerAddress{url.host, url.port == 0 ? 80 : url.port};
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
