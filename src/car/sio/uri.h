#pragma once

#include <map>
#include <string>
#include <string_view>

// The handshake address of a socket.io server.
namespace kovo::car::sio {

struct ServerAddress {
    std::string host;  // without the brackets of an IPv6 literal
    int port = 80;
};

// Accepts http://HOST[:PORT][/...] and ws://HOST[:PORT][/...]; any path is
// ignored (the handshake path is always /socket.io/). Throws
// std::invalid_argument with the reason for anything else, TLS schemes
// included.
ServerAddress parse_server_uri(std::string_view uri);

// Percent-encodes every byte outside [A-Za-z0-9] as upper-case %XX (the
// server decodes '+' as a blank, so '+' must travel encoded too).
std::string url_encode(std::string_view text);

// /socket.io/?EIO=3&transport=websocket&<key>=<value>... with keys and values
// encoded; WebSocket transport only, never a sid.
std::string handshake_path(const std::map<std::string, std::string>& query);

}  // namespace kovo::car::sio
