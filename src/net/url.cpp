#include "net/url.h"

#include <cctype>
#include <stdexcept>

namespace kovo::net {

namespace {

int parse_port(std::string_view text) {
    if (text.empty()) throw std::invalid_argument("empty port");
    if (text.size() > 5) throw std::invalid_argument("bad port");
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') throw std::invalid_argument("bad port");
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) throw std::invalid_argument("port out of range");
    return port;
}

}  // namespace

Url parse_url(std::string_view text) {
    const std::size_t scheme_end = text.find("://");
    if (scheme_end == std::string_view::npos || scheme_end == 0) throw std::invalid_argument("no scheme");
    Url url;
    url.scheme = std::string(text.substr(0, scheme_end));
    for (char& c : url.scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

    std::string_view rest = text.substr(scheme_end + 3);
    const std::size_t authority_end = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, authority_end);
    if (authority.find('@') != std::string_view::npos) throw std::invalid_argument("user information is not supported");

    std::string_view port_text;
    bool has_port = false;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) throw std::invalid_argument("unterminated IPv6 address");
        url.host = std::string(authority.substr(1, close - 1));
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') throw std::invalid_argument("garbage after the IPv6 address");
            port_text = after.substr(1);
            has_port = true;
        }
    } else {
        const std::size_t colon = authority.find(':');
        url.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            port_text = authority.substr(colon + 1);
            has_port = true;
        }
    }
    if (url.host.empty()) throw std::invalid_argument("no host");
    if (has_port) url.port = parse_port(port_text);

    std::string_view target = authority_end == std::string_view::npos ? std::string_view() : rest.substr(authority_end);
    target = target.substr(0, target.find('#'));
    url.target = target.empty() || target.front() != '/' ? "/" + std::string(target) : std::string(target);
    return url;
}

}  // namespace kovo::net
