#pragma once

#include <string>
#include <string_view>

// The parts of an absolute URL that a client needs to reach its server.
namespace kovo::net {

struct Url {
    std::string scheme;  // lower case
    std::string host;    // without the brackets of an IPv6 literal
    int port = 0;        // 0 when the URL gives none
    std::string target;  // path and query as written, "/" when empty; never the fragment
};

// SCHEME://HOST[:PORT][/PATH][?QUERY][#FRAGMENT]. Throws
// std::invalid_argument with the reason for anything else: no scheme, no
// host, a port outside 1-65535, user information.
Url parse_url(std::string_view url);

}  // namespace kovo::net
