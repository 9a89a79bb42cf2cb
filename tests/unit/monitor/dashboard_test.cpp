// The page's cells; the browser test (tests/e2e/browser_test.js) follows the
// page itself: its cards, rows, form, reloads and hostile texts.
#include "monitor/dashboard.h"

#include <vector>

#include <gtest/gtest.h>

using namespace kovo::monitor;

using nlohmann::json;

namespace {

json mission(const std::string& id, const std::string& status) {
    return json{{"mission_id", id},
                {"strategy_id", "s"},
                {"status", status},
                {"start_time", "st"},
                {"point_count", 4},
                {"reason", status == "failed" ? "heights_incomplete" : ""},
                {"photos", {{"listed", 3}, {"uploaded", 2}, {"failed", 1}}}};
}

void expect_fragments(const std::string& page, const std::vector<std::string>& fragments) {
    for (const std::string& fragment : fragments)
        EXPECT_NE(page.find(fragment), std::string::npos) << fragment;
}

}  // namespace

TEST(DashboardPage, EachCardShowsItsValuesInPlace) {
    const json config = {{"px4_host", "127.0.0.1"},      {"px4_port", 53001},
                         {"mqtt_host", "broker"},        {"mqtt_port", 1883},
                         {"mqtt_request_topic", "/req"}, {"mqtt_response_topic", "/resp"},
                         {"stats_enabled", false},       {"stats_web_port", 18080}};
    const json state = {
        {"fs", 4},          {"kovo_sub", "hover"},     {"kovo_idx", 2},  {"has_task", true}, {"upload_started", true},
        {"photo_count", 5}, {"battery_remain", 12.5f}, {"lpos_z", 0.1f}, {"lpos_vz", 1e6f}};
    const json stats = {{"uptime_seconds", 3725},
                        {"sio", {{"currently_connected", false}, {"connect_count", 3}, {"down_reason", "gave up"}}},
                        {"missions", {{"total", 7}, {"success", 4}, {"failed", 1}}},
                        {"config", config},
                        {"internal_state", state}};
    expect_fragments(
        render_dashboard_html(stats, json::array({mission("m1", "success"), mission("m2", "failed"),
                                                  mission("m3", "aborted"), json::object()})),
        {"<p>运行时长: 3725 秒</p><p>SIO 连接: 未连接 (累计 3 次) gave up</p><p>WS 连接: 未连接 (累计 0 次)</p>",
         "<td class='metric'>7</td><td class='metric'>4</td><td class='metric'>1</td><td class='metric'>0</td>",
         "<td>m1</td><td>s</td><td class='status-success'>success</td><td></td><td>st</td><td>-</td><td>4</td>"
         "<td>2/1/3</td>",
         "<td class='status-failed'>failed</td><td>heights_incomplete</td>", "<td class='status-running'>aborted</td>",
         "<tr><td>-</td><td>-</td><td class='status-running'>-</td><td>-</td><td>-</td><td>-</td><td>0</td>"
         "<td>0/0/0</td></tr>",
         "<td>127.0.0.1</td><td>53001</td>", "<td>broker</td><td>1883</td><td>/req</td><td>/resp</td>",
         "<td>否</td><td>18080</td>", "<option value='true' >是</option><option value='false' selected>否</option>",
         "<td>4</td><td>hover</td><td>2</td><td>是</td><td>否</td><td>是</td><td>5</td><td>0</td>",
         "<td>12.5</td><td>0.1</td><td>1e+06</td>", "id='cfg_mqtt_request_topic' value='/req' style='width:500px;'>",
         "id='cfg_px4_port' value='53001'><br>"});
}

TEST(DashboardPage, AbsentOrMisshapenInputsShowDashOrZeroAndNoHistory) {
    for (const json& stats : {json::object(), json("not an object")}) {
        const std::string page = render_dashboard_html(stats, stats.is_object() ? json::array() : json(42));
        expect_fragments(page, {"<p>启动时间: -</p><p>运行时长: 0 秒</p>", "<td class='metric'>0</td>", "<script>"});
        EXPECT_EQ(page.find("任务历史"), std::string::npos);
    }
    EXPECT_EQ(html_escape("a<b>&\"'z 中"), "a&lt;b&gt;&amp;&quot;&#39;z 中");
}
