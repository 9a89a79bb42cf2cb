// Routes, the configuration route's token and content type, the dashboard's cells (the page: browser_test.js).
#include <vector>

#include <gtest/gtest.h>

#include "monitor/dashboard.h"
#include "monitor/stats_routes.h"

using namespace kovo::monitor;

using nlohmann::json;

namespace {

HttpRequest req(const char* method, const char* path, const char* query = "", const std::string& type = "",
                const char* authorization = "", const char* body = "") {
    return {method, path, query, type, authorization, body};
}

json mission(const std::string& id, const std::string& status) {
    json m = json::parse(R"({"strategy_id": "s", "start_time": "st", "point_count": 4, "reason": "",
        "photos": {"listed": 3, "uploaded": 2, "failed": 1}})");
    m["mission_id"] = id, m["status"] = status;
    if (status == "failed") m["reason"] = "heights_incomplete";
    return m;
}

}  // namespace

TEST(Routes, EachRequestReachesItsRouteAndTheUpdateNeedsTokenAndJson) {
    StatsManager stats;
    std::vector<std::string> bodies;
    const StatsRoutes open(stats, "", [&](const std::string& body) {
        bodies.push_back(body);
        return HttpReply{200, kJsonType, "updated"};
    });
    const StatsRoutes guarded(stats, "s3cret", [](const std::string&) { return HttpReply{200, kJsonType, "updated"}; });
    const std::string json_type = "application/json";
    const std::string dashboard = stats.getDashboardHtml(1);
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
        {open, req("GET", "/anything", "a=b"), 200, dashboard},
        {open, req("GET", "/api/config"), 200, dashboard},
        {open, {"POST", "/api/config", "", json_type, "", "{1}"}, 200, "updated"},
        {open, req("POST", "/api/config", "", "Application/JSON; charset=utf-8"), 200, "updated"},
        {open, req("POST", "/api/config", "", "application/json-patch"), 415, ""},
        {guarded, req("POST", "/api/config", "", json_type, "Bearer s3cre"), 401, ""},
        {guarded, req("POST", "/api/config", "", json_type, "bearer s3cret"), 401, ""},
        {guarded, req("POST", "/api/config", "", "text/plain"), 401, ""},
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
            EXPECT_EQ(json::parse(reply.body)["success"], false);
        }
    }
    EXPECT_EQ(bodies, (std::vector<std::string>{"{1}", ""}));
}

// What the browser test cannot tell apart: "since" from the error's time, outcome classes, counts, controls.
TEST(DashboardPage, EachCardShowsItsValuesInPlace) {
    const json stats = {
        {"missions", {{"total", 7}, {"success", 4}, {"failed", 1}}},
        {"config", {{"mqtt_request_topic", "/req"}, {"sio_access_key", "******"}, {"stats_enabled", false}}},
        {"peers", {{"car", {{"up", false}, {"since", "t2"}, {"last_error", "gave up"}, {"last_error_time", "t3"}}}}}};
    json failed = mission("m2", "failed");
    failed["photos"] = {{"listed", 4}, {"uploaded", 3}, {"failed", 1}};
    const json history = {
        {"page", 1}, {"pages", 1}, {"missions", {mission("m1", "success"), failed, mission("m3", "aborted"), {}}}};
    const std::string page = render_dashboard_html(stats, history);
    for (const char* fragment : {"<tr><td>车端</td><td class='down'>断开</td><td>t2</td><td>t3 gave up</td></tr>",
                                 "<tr><td>相机</td><td class='unknown'>未知</td><td>-</td><td>-</td></tr>",
                                 "<td class='status-failed'>failed</td><td>heights_incomplete</td><td>3 / 4 / 1</td>",
                                 "<td class='status-running'>aborted</td>",
                                 "id='cfg_mqtt_request_topic' value='/req' style='width:500px;'><br><label>",
                                 "<option value='true' >是</option><option value='false' selected>否</option>",
                                 "<tr><td>sio_access_key</td><td>******</td></tr>", "id='cfg_sio_access_key' value=''"})
        EXPECT_NE(page.find(fragment), std::string::npos) << fragment;
    EXPECT_EQ(html_escape("a<b>&\"'z 中"), "a&lt;b&gt;&amp;&quot;&#39;z 中");
}
