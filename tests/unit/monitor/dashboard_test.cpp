#include "monitor/dashboard.h"

#include "monitor/stats_manager.h"

#include <gtest/gtest.h>

using nlohmann::json;

namespace {

size_t count_of(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) ++n;
    return n;
}

json mission(const std::string& id, const std::string& status, const std::string& end_time = "e") {
    return json{{"mission_id", id},    {"strategy_id", "s"},   {"point_id", "p"}, {"action_id", "a"},
                {"start_time", "st"},  {"end_time", end_time}, {"status", status}, {"point_count", 4},
                {"task_dir", "/d"}};
}

json config(bool stats_enabled) {
    return json{{"sio_uri", "http://car:8080"},
                {"sio_access_key", "4821-9037"},
                {"px4_host", "127.0.0.1"},
                {"px4_port", 53001},
                {"mqtt_host", "broker"},
                {"mqtt_port", 1883},
                {"mqtt_request_topic", "/req"},
                {"mqtt_response_topic", "/resp"},
                {"platform_url", "http://platform:8087"},
                {"platform_site_id", "qtpe-8264"},
                {"siyi_ip", "192.168.144.25"},
                {"siyi_port", 82},
                {"siyi_img_dir", "101SIYI_IMG"},
                {"stats_enabled", stats_enabled},
                {"stats_web_port", 18080}};
}

std::string page_with_missions(const json& missions) { return render_dashboard_html(json::object(), missions); }

}  // namespace

TEST(DashboardFrame, HeadTitleAndScriptEnds) {
    const std::string page = render_dashboard_html(json::object(), json::array());
    EXPECT_EQ(page.rfind("<!DOCTYPE html><html><head><meta charset='utf-8'><title>kovo_sio_client Stats</title>"
                         "<style>body{font-family:sans-serif;margin:20px;background:#f5f5f5;}h1,h2{color:#333;}",
                         0),
              0u);
    EXPECT_NE(page.find(".metric{font-size:24px;font-weight:bold;color:#4CAF50;}</style></head><body>"
                        "<h1>kovo_sio_client 统计面板</h1><div class='card'><h2>运行状态</h2>"),
              std::string::npos);
    const std::string tail = "</script></body></html>";
    ASSERT_GE(page.size(), tail.size());
    EXPECT_EQ(page.substr(page.size() - tail.size()), tail);
}

TEST(DashboardFrame, CardsInDocumentOrder) {
    const std::string page = page_with_missions(json::array({mission("m1", "running")}));
    size_t last = 0;
    for (const char* title : {"运行状态", "任务统计", "任务历史 (最近50条)", "版本信息", "连接配置", "内部状态",
                              "配置编辑"}) {
        const size_t at = page.find(std::string("<h2>") + title + "</h2>");
        ASSERT_NE(at, std::string::npos) << title;
        EXPECT_GT(at, last) << title;
        last = at;
    }
    EXPECT_GT(page.find("<script>"), last);
}

TEST(DashboardFrame, MissingMembersShowDashOrZero) {
    const std::string page = render_dashboard_html(json::object(), json::array());
    EXPECT_NE(page.find("<p>启动时间: -</p><p>运行时长: 0 秒</p><p>SIO 连接: 未连接 (累计 0 次)</p>"
                        "<p>WS 连接: 未连接 (累计 0 次)</p></div>"),
              std::string::npos);
    EXPECT_NE(page.find("<tr><td class='metric'>0</td><td class='metric'>0</td><td class='metric'>0</td>"
                        "<td class='metric'>0</td><td class='metric'>0</td></tr></table></div>"),
              std::string::npos);
}

TEST(DashboardFrame, InputsOfTheWrongShapeStillRender) {
    const std::string page = render_dashboard_html(json("not an object"), json(42));
    EXPECT_NE(page.find("<h2>运行状态</h2>"), std::string::npos);
    EXPECT_EQ(page.find("任务历史"), std::string::npos);
}

TEST(DashboardRunStatus, LinksAndCounts) {
    json stats = {{"startup_time", "2026-05-17 13:50:30"},
                  {"uptime_seconds", 3725},
                  {"sio", {{"currently_connected", true}, {"connect_count", 3}}},
                  {"websocket", {{"currently_connected", false}, {"connect_count", 1}}},
                  {"missions", {{"total", 7}, {"success", 4}, {"failed", 1}, {"aborted", 1}, {"running", 1}}}};
    const std::string page = render_dashboard_html(stats, json::array());
    EXPECT_NE(page.find("<p>启动时间: 2026-05-17 13:50:30</p><p>运行时长: 3725 秒</p>"
                        "<p>SIO 连接: 已连接 (累计 3 次)</p><p>WS 连接: 未连接 (累计 1 次)</p>"),
              std::string::npos);
    EXPECT_NE(page.find("<table><tr><th>总任务</th><th>成功</th><th>失败</th><th>中止</th><th>进行中</th></tr>"
                        "<tr><td class='metric'>7</td><td class='metric'>4</td><td class='metric'>1</td>"
                        "<td class='metric'>1</td><td class='metric'>1</td></tr></table></div>"),
              std::string::npos);
}

TEST(DashboardHistory, NoCardWithoutMissions) {
    const std::string page = page_with_missions(json::array());
    EXPECT_EQ(page.find("任务历史"), std::string::npos);
    EXPECT_EQ(page.find("<th>航点</th>"), std::string::npos);
}

TEST(DashboardHistory, NewestFiftyOfSixtyOldestFirst) {
    StatsManager stats;
    for (int i = 1; i <= 60; ++i) {
        stats.onMissionStarted("mission-" + std::to_string(i), "s", "p", "a", i, "", "t");
    }
    const std::string page = stats.getDashboardHtml();
    EXPECT_EQ(count_of(page, "<tr><td>mission-"), 50u);
    EXPECT_EQ(page.find("<td>mission-10</td>"), std::string::npos);
    const size_t first = page.find("<tr><td>mission-");
    EXPECT_EQ(page.find("<tr><td>mission-11</td>"), first);
    EXPECT_LT(page.find("<td>mission-59</td>"), page.find("<td>mission-60</td>"));
}

TEST(DashboardHistory, RowLayout) {
    const std::string page = page_with_missions(json::array({mission("m1", "success", "t-end")}));
    EXPECT_NE(page.find("<div class='card'><h2>任务历史 (最近50条)</h2><table><tr><th>任务ID</th><th>策略ID</th>"
                        "<th>状态</th><th>开始时间</th><th>结束时间</th><th>航点</th></tr>"
                        "<tr><td>m1</td><td>s</td><td class='status-success'>success</td><td>st</td>"
                        "<td>t-end</td><td>4</td></tr></table></div>"),
              std::string::npos);
}

TEST(DashboardHistory, StatusClasses) {
    const std::string page = page_with_missions(json::array(
        {mission("a", "success"), mission("b", "failed"), mission("c", "aborted"), mission("d", "running")}));
    EXPECT_NE(page.find("<td class='status-success'>success</td>"), std::string::npos);
    EXPECT_NE(page.find("<td class='status-failed'>failed</td>"), std::string::npos);
    EXPECT_NE(page.find("<td class='status-running'>aborted</td>"), std::string::npos);
    EXPECT_NE(page.find("<td class='status-running'>running</td>"), std::string::npos);
}

TEST(DashboardHistory, RunningMissionHasAnEmptyEndCell) {
    const std::string page = page_with_missions(json::array({mission("m1", "running", "")}));
    EXPECT_NE(page.find("<td>st</td><td></td><td>4</td></tr>"), std::string::npos);
}

TEST(DashboardHistory, AbsentMembersShowDash) {
    const std::string page = page_with_missions(json::array({json::object()}));
    EXPECT_NE(page.find("<tr><td>-</td><td>-</td><td class='status-running'>-</td><td>-</td><td>-</td><td>0</td>"
                        "</tr>"),
              std::string::npos);
}

TEST(DashboardConfig, ConnectionTables) {
    const std::string page = render_dashboard_html(json{{"config", config(true)}}, json::array());
    EXPECT_NE(page.find("<h3>PX4Ctrl</h3><table><tr><th>Host</th><th>Port</th></tr><tr><td>127.0.0.1</td>"
                        "<td>53001</td></tr></table>"),
              std::string::npos);
    EXPECT_NE(page.find("<h3>MQTT</h3><table><tr><th>Host</th><th>Port</th><th>Request Topic</th>"
                        "<th>Response Topic</th></tr><tr><td>broker</td><td>1883</td><td>/req</td><td>/resp</td>"
                        "</tr></table>"),
              std::string::npos);
    EXPECT_NE(page.find("<h3>Stats Web</h3><table><tr><th>Enabled</th><th>Port</th></tr><tr><td>是</td>"
                        "<td>18080</td></tr></table></div>"),
              std::string::npos);
}

TEST(DashboardConfig, FormFieldsCarryTheCurrentValues) {
    const std::string page = render_dashboard_html(json{{"config", config(true)}}, json::array());
    EXPECT_NE(page.find("<div id='cfgForm' style='display:none;margin-top:10px;'><h3>Socket.IO</h3>"
                        "<label>URI:</label><input type='text' id='cfg_sio_uri' value='http://car:8080' "
                        "style='width:300px;'><br>"),
              std::string::npos);
    EXPECT_NE(page.find("<label>Port:</label><input type='number' id='cfg_px4_port' value='53001'><br>"),
              std::string::npos);
    EXPECT_NE(page.find("<label>Request Topic:</label><input type='text' id='cfg_mqtt_request_topic' "
                        "value='/req' style='width:500px;'><br>"),
              std::string::npos);
    EXPECT_NE(page.find("<label>Port:</label><input type='number' id='cfg_stats_web_port' value='18080'><br>"
                        "<br><button onclick='saveConfig()'>保存</button> <button onclick=\"sessionStorage."
                        "removeItem('cfgEditing');location.reload();\">取消</button><span id='cfgMsg' "
                        "style='margin-left:10px;'></span></div></div><script>"),
              std::string::npos);
    EXPECT_NE(page.find("<button onclick=\"sessionStorage.setItem('cfgEditing','true');document."
                        "getElementById('cfgForm').style.display='block';\">修改配置</button>"),
              std::string::npos);
}

TEST(DashboardConfig, SelectMarksTheCurrentSetting) {
    const std::string on = render_dashboard_html(json{{"config", config(true)}}, json::array());
    EXPECT_NE(on.find("<select id='cfg_stats_enabled'><option value='true' selected>是</option>"
                      "<option value='false' >否</option></select><br>"),
              std::string::npos);
    const std::string off = render_dashboard_html(json{{"config", config(false)}}, json::array());
    EXPECT_NE(off.find("<select id='cfg_stats_enabled'><option value='true' >是</option>"
                       "<option value='false' selected>否</option></select><br>"),
              std::string::npos);
}

TEST(DashboardInternalState, NumbersFlagsAndFloats) {
    json state = {{"fs", 4},          {"kovo_sub", "hover"},  {"kovo_idx", 2},
                  {"has_task", true}, {"photos_uploaded", false}, {"upload_started", true},
                  {"photo_count", 5}, {"last_completed_height_idx", 1}, {"mission_id", "m"},
                  {"strategy_id", "s"}, {"battery_remain", 12.5f}, {"lpos_z", 0.1f},
                  {"lpos_vz", 1e6f}};
    const std::string page = render_dashboard_html(json{{"internal_state", state}}, json::array());
    EXPECT_NE(page.find("<td>4</td><td>hover</td><td>2</td><td>是</td><td>否</td><td>是</td><td>5</td>"
                        "<td>1</td></tr></table>"),
              std::string::npos);
    EXPECT_NE(page.find("<tr><td>m</td><td>s</td><td>12.5</td><td>0.1</td><td>1e+06</td></tr></table></div>"),
              std::string::npos);
}

TEST(DashboardEscaping, HostileTextsStayText) {
    const std::string hostile = "<script>alert('x')</script>";
    json cfg = config(true);
    cfg["platform_site_id"] = "x' onfocus='alert(1)";
    json stats = {{"config", cfg}, {"version", {{"version", "<b>1</b>"}, {"git_hash", "&"}, {"build_time", "\""}}}};
    const std::string page = render_dashboard_html(stats, json::array({mission(hostile, "running")}));
    EXPECT_EQ(page.find(hostile), std::string::npos);
    EXPECT_NE(page.find("<td>&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;</td>"), std::string::npos);
    EXPECT_NE(page.find("<td>x&#39; onfocus=&#39;alert(1)</td>"), std::string::npos);
    EXPECT_NE(page.find("id='cfg_platform_site_id' value='x&#39; onfocus=&#39;alert(1)'><br>"), std::string::npos);
    EXPECT_NE(page.find("<td>&lt;b&gt;1&lt;/b&gt;</td><td>&amp;</td><td>&quot;</td>"), std::string::npos);
    // Only the page's own script element remains.
    EXPECT_EQ(count_of(page, "<script>"), 1u);
}

TEST(DashboardEscaping, EscapeTable) {
    EXPECT_EQ(html_escape("a<b>&\"'z 中"), "a&lt;b&gt;&amp;&quot;&#39;z 中");
    EXPECT_EQ(html_escape(""), "");
}
