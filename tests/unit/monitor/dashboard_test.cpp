#include "monitor/dashboard.h"

#include <vector>

#include <gtest/gtest.h>

using namespace kovo::monitor;

using nlohmann::json;

namespace {

const char kHostile[] = "<script>alert('x')</script>";

json mission(const std::string& id, const std::string& status, const std::string& end_time = "e") {
    return json{{"mission_id", id},   {"strategy_id", "s"},   {"status", status},
                {"start_time", "st"}, {"end_time", end_time}, {"point_count", 4}};
}

// Every card filled, one mission of each status, one with no members, and
// hostile texts in a mission id, a setting and the version.
std::string full_page(bool stats_enabled) {
    const json config = {{"sio_uri", "http://car:8080"},
                         {"px4_host", "127.0.0.1"},
                         {"px4_port", 53001},
                         {"mqtt_host", "broker"},
                         {"mqtt_port", 1883},
                         {"mqtt_request_topic", "/req"},
                         {"mqtt_response_topic", "/resp"},
                         {"platform_site_id", "x' onfocus='alert(1)"},
                         {"stats_enabled", stats_enabled},
                         {"stats_web_port", 18080}};
    const json state = {{"fs", 4},
                        {"kovo_sub", "hover"},
                        {"kovo_idx", 2},
                        {"has_task", true},
                        {"photos_uploaded", false},
                        {"upload_started", true},
                        {"photo_count", 5},
                        {"last_completed_height_idx", 1},
                        {"mission_id", "m"},
                        {"strategy_id", "s"},
                        {"battery_remain", 12.5f},
                        {"lpos_z", 0.1f},
                        {"lpos_vz", 1e6f}};
    const json stats = {{"startup_time", "2026-05-17 13:50:30"},
                        {"uptime_seconds", 3725},
                        {"sio", {{"currently_connected", true}, {"connect_count", 3}}},
                        {"websocket", {{"currently_connected", false}, {"connect_count", 1}}},
                        {"missions", {{"total", 7}, {"success", 4}, {"failed", 1}, {"aborted", 1}, {"running", 1}}},
                        {"version", {{"version", "<b>1</b>"}, {"git_hash", "&"}, {"build_time", "\""}}},
                        {"config", config},
                        {"internal_state", state}};
    return render_dashboard_html(
        stats, json::array({mission("m1", "success", "t-end"), mission("m2", "failed"), mission("m3", "aborted"),
                            mission("m4", "running", ""), json::object(), mission(kHostile, "running")}));
}

void expect_fragments(const std::string& page, const std::vector<std::string>& fragments) {
    for (const std::string& fragment : fragments) {
        SCOPED_TRACE(fragment);
        EXPECT_NE(page.find(fragment), std::string::npos);
    }
}

}  // namespace

TEST(DashboardPage, EachCardShowsItsValuesInPlace) {
    expect_fragments(
        full_page(true),
        {"<p>启动时间: 2026-05-17 13:50:30</p><p>运行时长: 3725 秒</p><p>SIO 连接: 已连接 (累计 3 次)</p>"
         "<p>WS 连接: 未连接 (累计 1 次)</p></div>",
         "<tr><td class='metric'>7</td><td class='metric'>4</td><td class='metric'>1</td><td class='metric'>1</td>"
         "<td class='metric'>1</td></tr></table></div>",
         "<th>航点</th></tr><tr><td>m1</td><td>s</td><td class='status-success'>success</td><td>st</td>"
         "<td>t-end</td><td>4</td></tr>",
         "<td class='status-failed'>failed</td>", "<td class='status-running'>aborted</td>",
         // A running mission's end cell is empty; absent members show "-" or 0.
         "<td>m4</td><td>s</td><td class='status-running'>running</td><td>st</td><td></td><td>4</td></tr>",
         "<tr><td>-</td><td>-</td><td class='status-running'>-</td><td>-</td><td>-</td><td>0</td></tr>",
         "<th>Port</th></tr><tr><td>127.0.0.1</td><td>53001</td></tr></table>",
         "<tr><td>broker</td><td>1883</td><td>/req</td><td>/resp</td></tr></table>",
         "<tr><td>是</td><td>18080</td></tr></table></div>", "<option value='true' selected>是</option>",
         "<td>4</td><td>hover</td><td>2</td><td>是</td><td>否</td><td>是</td><td>5</td><td>1</td></tr></table>",
         "<tr><td>m</td><td>s</td><td>12.5</td><td>0.1</td><td>1e+06</td></tr></table></div>",
         "<button onclick=\"sessionStorage.setItem('cfgEditing','true');document.getElementById('cfgForm')"
         ".style.display='block';\">修改配置</button><div id='cfgForm' style='display:none;margin-top:10px;'>",
         // The three endings of an input.
         "<label>URI:</label><input type='text' id='cfg_sio_uri' value='http://car:8080' style='width:300px;'><br>",
         "<label>Port:</label><input type='number' id='cfg_px4_port' value='53001'><br>",
         "id='cfg_mqtt_request_topic' value='/req' style='width:500px;'><br>",
         "id='cfg_stats_web_port' value='18080'><br><br><button onclick='saveConfig()'>保存</button> "
         "<button onclick=\"sessionStorage.removeItem('cfgEditing');location.reload();\">取消</button>"
         "<span id='cfgMsg' style='margin-left:10px;'></span></div></div><script>"});
}

TEST(DashboardPage, AbsentOrMisshapenInputsShowDashOrZeroAndNoHistory) {
    for (const json& stats : {json::object(), json("not an object")}) {
        const std::string page = render_dashboard_html(stats, stats.is_object() ? json::array() : json(42));
        SCOPED_TRACE(stats.dump());
        expect_fragments(page, {"<p>启动时间: -</p><p>运行时长: 0 秒</p><p>SIO 连接: 未连接 (累计 0 次)</p>",
                                "<tr><td class='metric'>0</td><td class='metric'>0</td><td class='metric'>0</td>"
                                "<td class='metric'>0</td><td class='metric'>0</td></tr>",
                                "<script>"});
        EXPECT_EQ(page.find("任务历史"), std::string::npos);
    }
}

TEST(DashboardPage, SelectMarksTheCurrentSetting) {
    expect_fragments(full_page(false), {"<select id='cfg_stats_enabled'><option value='true' >是</option>"
                                        "<option value='false' selected>否</option></select><br>",
                                        "<td>否</td><td>18080</td>"});
}

TEST(DashboardPage, HostileTextsStayText) {
    const std::string page = full_page(true);
    EXPECT_EQ(page.find(kHostile), std::string::npos);
    expect_fragments(
        page, {"<td>&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;</td>", "<td>x&#39; onfocus=&#39;alert(1)</td>",
               "id='cfg_platform_site_id' value='x&#39; onfocus=&#39;alert(1)'><br>",
               "<td>&lt;b&gt;1&lt;/b&gt;</td><td>&amp;</td><td>&quot;</td>"});
    // Only the page's own script element remains.
    EXPECT_EQ(page.find("<script>"), page.rfind("<script>"));
    EXPECT_EQ(html_escape("a<b>&\"'z 中"), "a&lt;b&gt;&amp;&quot;&#39;z 中");
}
