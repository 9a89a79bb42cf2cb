#pragma once

#include <functional>
#include <string>

#include "monitor/stats_manager.h"
#include "monitor/web_server.h"

namespace kovo::monitor {

// "/api/missions" lists this many of the newest missions.
constexpr int kMissionsRouteLimit = 100;

extern const char kJsonType[];
extern const char kHtmlType[];

// The daemon's routes: "/api/stats" and "/api/missions" (JSON, any method),
// POST "/api/config" (to the configuration handler), and the dashboard for
// every other request ("?page=N" pages its mission history).
class StatsRoutes {
public:
    using ConfigHandler = std::function<HttpReply(const std::string& body)>;

    // auth_token: empty, or the bearer token a configuration update must
    // carry. stats must outlive the routes.
    StatsRoutes(const StatsManager& stats, std::string auth_token, ConfigHandler config_handler);

    // A configuration update needs the token when one is set (401), and a
    // JSON content type (415), which a cross-site form cannot send.
    HttpReply operator()(const HttpRequest& request) const;

private:
    bool authorised(const std::string& authorization) const;

    const StatsManager& stats_;
    const std::string auth_token_;
    ConfigHandler config_handler_;
};

// A reply {"success":false,"message":message} with status.
HttpReply json_failure(int status, const std::string& message);

}  // namespace kovo::monitor
