// A request's bytes through the web server's parser and bound, then the
// daemon's routes, the configuration update saving to a file.
#include <unistd.h>

#include <boost/beast/core/error.hpp>
#include <boost/beast/http.hpp>

#include "app/config_update.h"
#include "config/shared_config.h"
#include "fuzz_support.h"
#include "monitor/beast_request.h"
#include "monitor/stats_routes.h"

using namespace kovo;
namespace http = boost::beast::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/kovo_fuzz_http." + std::to_string(getpid()) + ".json";
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(monitor::WebServer::kMaxRequestBytes));
    parser.body_limit(monitor::WebServer::kMaxRequestBytes);
    parser.eager(true);
    boost::beast::error_code ec;
    parser.put(boost::asio::buffer(data, size), ec);
    if (!ec && !parser.is_done()) parser.put_eof(ec);
    if (ec || !parser.is_done()) return 0;

    config::AppConfig initial;
    initial.stats.auth_token = "token";
    config::SharedConfig shared(initial);
    monitor::StatsManager stats;
    stats.onMissionStarted("H", "S", "P", "A", 2, "/task", "2026-01-01 00:00:00");
    const monitor::StatsRoutes routes(
        stats, "token", [&](const std::string& body) { return app::handle_config_update(shared, path, body, stats); });
    routes(monitor::to_http_request(parser.get()));
    return 0;
}
