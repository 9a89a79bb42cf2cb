#include "monitor/stats_routes.h"

#include <cctype>
#include <cstdlib>
#include <utility>

#include "monitor/dashboard.h"

namespace kovo::monitor {

const char kJsonType[] = "application/json; charset=utf-8";
const char kHtmlType[] = "text/html; charset=utf-8";

namespace {

// Browser-facing JSON is indented; peer strings may hold bad UTF-8.
std::string json_text(const nlohmann::json& doc) {
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

// "application/json", any case, optionally followed by parameters.
bool is_json_type(const std::string& content_type) {
    static const std::string kJson = "application/json";
    size_t end = content_type.find(';');
    if (end == std::string::npos) end = content_type.size();
    while (end > 0 && (content_type[end - 1] == ' ' || content_type[end - 1] == '\t'))
        --end;
    if (end != kJson.size()) return false;
    for (size_t i = 0; i < end; ++i) {
        if (std::tolower(static_cast<unsigned char>(content_type[i])) != kJson[i]) return false;
    }
    return true;
}

// The number after "page=" in query; 1 when absent or not a positive number.
int page_of(const std::string& query) {
    const size_t at = query.rfind("page=", 0) == 0 ? 0 : query.find("&page=");
    if (at == std::string::npos) return 1;
    const char* digits = query.c_str() + query.find('=', at) + 1;
    char* end = nullptr;
    const long page = std::strtol(digits, &end, 10);
    return end != digits && page >= 1 && page <= 1000000 ? static_cast<int>(page) : 1;
}

}  // namespace

HttpReply json_failure(int status, const std::string& message) {
    const nlohmann::json body{{"success", false}, {"message", message}};
    return {status, kJsonType, body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)};
}

StatsRoutes::StatsRoutes(const StatsManager& stats, std::string auth_token, ConfigHandler config_handler)
    : stats_(stats), auth_token_(std::move(auth_token)), config_handler_(std::move(config_handler)) {}

bool StatsRoutes::authorised(const std::string& authorization) const {
    if (auth_token_.empty()) return true;
    const std::string expected = "Bearer " + auth_token_;
    // Every byte is compared, so the time taken tells nothing of the token.
    unsigned char differs = authorization.size() != expected.size() ? 1 : 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const char given = i < authorization.size() ? authorization[i] : '\0';
        differs |= static_cast<unsigned char>(given ^ expected[i]);
    }
    return differs == 0;
}

HttpReply StatsRoutes::operator()(const HttpRequest& request) const {
    if (request.path == "/api/config" && request.method == "POST" && config_handler_) {
        if (!authorised(request.authorization)) return json_failure(401, "Unauthorized");
        if (!is_json_type(request.content_type)) {
            return json_failure(415, "Content-Type must be application/json");
        }
        return config_handler_(request.body);
    }
    if (request.path == "/api/stats") return {200, kJsonType, json_text(stats_.getStatsJson())};
    if (request.path == "/api/missions") {
        return {200, kJsonType, json_text(stats_.getMissionsJson(kMissionsRouteLimit))};
    }
    return {200, kHtmlType, stats_.getDashboardHtml(page_of(request.query))};
}

}  // namespace kovo::monitor
