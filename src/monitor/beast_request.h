#pragma once

#include <string>

#include <boost/beast/http.hpp>

#include "monitor/web_server.h"

namespace kovo::monitor {

// The parts of a request Beast has read that the routes look at. Only the
// web server (and its fuzz target) include Beast through here.
inline HttpRequest to_http_request(const boost::beast::http::request<boost::beast::http::string_body>& message) {
    namespace http = boost::beast::http;
    HttpRequest request;
    request.method = std::string(message.method_string());
    const std::string target(message.target());
    const size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string::npos) request.query = target.substr(question + 1);
    request.content_type = std::string(message[http::field::content_type]);
    request.authorization = std::string(message[http::field::authorization]);
    request.body = message.body();
    return request;
}

}  // namespace kovo::monitor
