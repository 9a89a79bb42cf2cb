// Which route a request reaches, and the rules of the configuration route:
// its token and its content type.
#include "monitor/stats_routes.h"

#include <vector>

#include <gtest/gtest.h>

using namespace kovo::monitor;

namespace {

HttpRequest req(const char* method, const char* path, const char* query = "", const std::string& type = "",
                const char* authorization = "", const char* body = "") {
    return {method, path, query, type, authorization, body};
}

}  // namespace

TEST(Routes, EachRequestReachesItsRouteAndTheUpdateNeedsTokenAndJson) {
    StatsManager stats;
    for (int i = 1; i <= 25; ++i)
        stats.onMissionStarted("m" + std::to_string(i), "s", "p", "a", 2, "", "t");
    std::vector<std::string> bodies;
    const StatsRoutes open(stats, "", [&](const std::string& body) {
        bodies.push_back(body);
        return HttpReply{200, kJsonType, "updated"};
    });
    const StatsRoutes guarded(stats, "s3cret", [](const std::string&) { return HttpReply{200, kJsonType, "updated"}; });
    const std::string json_type = "application/json";
    const std::string page1 = stats.getDashboardHtml(1), page2 = stats.getDashboardHtml(2);
    ASSERT_NE(page1, page2);
    struct Row {
        const StatsRoutes& routes;
        HttpRequest request;
        int status;
        std::string body;  // "" : a JSON failure, checked by its status alone
    };
    const std::string stats_json = stats.getStatsJson().dump(2),
                      missions_json = stats.getMissionsJson(kMissionsRouteLimit).dump(2);
    const std::vector<Row> rows = {
        {open, req("GET", "/api/stats"), 200, stats_json},
        {open, req("GET", "/api/missions"), 200, missions_json},
        {open, req("GET", "/"), 200, page1},
        {open, req("GET", "/anything", "a=b&page=2"), 200, page2},
        {open, req("GET", "/", "page=x"), 200, page1},
        {open, req("GET", "/api/config"), 200, page1},
        {open, req("PUT", "/api/config", "", json_type), 200, page1},
        {open, {"POST", "/api/config", "", json_type, "", "{1}"}, 200, "updated"},
        {open, req("POST", "/api/config", "", "Application/JSON; charset=utf-8"), 200, "updated"},
        {open, req("POST", "/api/config", "", "text/plain"), 415, ""},
        {open, req("POST", "/api/config", "", ""), 415, ""},
        {open, req("POST", "/api/config", "", "application/json-patch"), 415, ""},
        {guarded, req("POST", "/api/config", "", json_type, "Bearer s3cret"), 200, "updated"},
        {guarded, req("POST", "/api/config", "", "text/plain", "Bearer s3cret"), 415, ""},
        {guarded, req("POST", "/api/config", "", json_type), 401, ""},
        {guarded, req("POST", "/api/config", "", json_type, "Bearer s3cre"), 401, ""},
        {guarded, req("POST", "/api/config", "", json_type, "Bearer s3cret "), 401, ""},
        {guarded, req("POST", "/api/config", "", json_type, "bearer s3cret"), 401, ""},
        {guarded, req("POST", "/api/config", "", "text/plain"), 401, ""},
        {guarded, req("GET", "/api/stats"), 200, stats_json},
    };
    for (const Row& row : rows) {
        const HttpRequest& r = row.request;
        SCOPED_TRACE(r.method + " " + r.path + "?" + r.query + " " + r.content_type + " " + r.authorization);
        const HttpReply reply = row.routes(r);
        EXPECT_EQ(reply.status, row.status);
        const bool page = reply.body.rfind("<!DOCTYPE html>", 0) == 0;
        EXPECT_EQ(reply.content_type, page ? kHtmlType : kJsonType);
        if (!row.body.empty()) {
            EXPECT_EQ(reply.body, row.body);
        } else {
            EXPECT_EQ(nlohmann::json::parse(reply.body)["success"], false);
        }
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"{1}", ""}));
}
