#include "monitor/dashboard.h"

#include <cstdint>
#include <sstream>

namespace kovo::monitor {

using nlohmann::json;

namespace {

const json* member(const json& obj, const char* key) {
    if (!obj.is_object()) return nullptr;
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

const json& section(const json& obj, const char* key) {
    static const json kEmpty = json::object();
    const json* found = member(obj, key);
    return found != nullptr ? *found : kEmpty;
}

// A text member, escaped; "-" when absent.
std::string text(const json& obj, const char* key) {
    const json* v = member(obj, key);
    if (v == nullptr || v->is_null()) return "-";
    if (v->is_string()) return html_escape(v->get_ref<const std::string&>());
    return html_escape(v->dump(-1, ' ', false, json::error_handler_t::replace));
}

// An integer member in decimal; 0 when absent or not an integer.
std::string integer(const json& obj, const char* key) {
    const json* v = member(obj, key);
    if (v == nullptr) return "0";
    if (v->is_number_unsigned()) return std::to_string(v->get<uint64_t>());
    if (v->is_number_integer()) return std::to_string(v->get<int64_t>());
    return "0";
}

// A number shown the way a stream shows a float (12.5, 0.1, 1e+06).
std::string real(const json& obj, const char* key) {
    const json* v = member(obj, key);
    if (v == nullptr || !v->is_number()) return "0";
    std::ostringstream out;
    out << v->get<float>();
    return out.str();
}

bool flag(const json& obj, const char* key) {
    const json* v = member(obj, key);
    return v != nullptr && v->is_boolean() && v->get<bool>();
}

std::string yes_no(const json& obj, const char* key) { return flag(obj, key) ? "是" : "否"; }

std::string cell(const std::string& value) { return "<td>" + value + "</td>"; }

const char* status_class(const std::string& status) {
    if (status == "success") return "status-success";
    if (status == "failed") return "status-failed";
    return "status-running";
}

const char kHead[] =
    "<!DOCTYPE html><html><head>"
    "<meta charset='utf-8'><title>kovo_sio_client Stats</title>"
    "<style>"
    "body{font-family:sans-serif;margin:20px;background:#f5f5f5;}"
    "h1,h2{color:#333;}"
    ".card{background:#fff;padding:15px;margin:10px 0;border-radius:6px;box-shadow:0 2px 4px rgba(0,0,0,0.1);}"
    "table{width:100%;border-collapse:collapse;margin-top:10px;}"
    "th,td{text-align:left;padding:8px;border-bottom:1px solid #ddd;}"
    "th{background:#4CAF50;color:#fff;}"
    ".status-success{color:green;}.status-failed{color:red;}.status-running{color:orange;}"
    ".metric{font-size:24px;font-weight:bold;color:#4CAF50;}"
    "</style></head><body>"
    "<h1>kovo_sio_client 统计面板</h1>";

// Posts all fifteen settings; on success leaves editing and reloads. The page
// reloads itself every second unless the operator is editing.
const char kScript[] =
    "<script>"
    "function saveConfig(){"
    "var v=function(id){return document.getElementById(id).value;};"
    "var payload={"
    "socketio:{uri:v('cfg_sio_uri'),access_key:v('cfg_sio_access_key')},"
    "px4ctrl:{host:v('cfg_px4_host'),port:parseInt(v('cfg_px4_port'))},"
    "mqtt:{host:v('cfg_mqtt_host'),port:parseInt(v('cfg_mqtt_port')),"
    "request_topic:v('cfg_mqtt_request_topic'),response_topic:v('cfg_mqtt_response_topic')},"
    "platform:{url:v('cfg_platform_url'),site_id:v('cfg_platform_site_id')},"
    "siyi:{ip:v('cfg_siyi_ip'),http_port:parseInt(v('cfg_siyi_port')),img_dir:v('cfg_siyi_img_dir')},"
    "stats:{enabled:v('cfg_stats_enabled')==='true',web_port:parseInt(v('cfg_stats_web_port'))}};"
    "fetch('/api/config',{method:'POST',headers:{'Content-Type':'application/json'},"
    "body:JSON.stringify(payload)})"
    ".then(function(r){return r.json();})"
    ".then(function(d){var m=document.getElementById('cfgMsg');m.textContent=d.message;"
    "m.style.color=d.success?'green':'red';"
    "if(d.success){sessionStorage.removeItem('cfgEditing');"
    "setTimeout(function(){location.reload();},1000);}});"
    "}"
    "if(sessionStorage.getItem('cfgEditing')==='true'){"
    "document.getElementById('cfgForm').style.display='block';"
    "}else{setTimeout(function(){location.reload();},1000);}"
    "</script></body></html>";

// "<p>SIO 连接: 已连接 (累计 3 次)</p>"; a link that gave up says why.
std::string link_line(const char* label, const json& link) {
    const json* reason = member(link, "down_reason");
    const bool gave_up = reason != nullptr && reason->is_string() && !reason->get_ref<const std::string&>().empty();
    return std::string("<p>") + label + " 连接: " + (flag(link, "currently_connected") ? "已连接" : "未连接") +
           " (累计 " + integer(link, "connect_count") + " 次)" + (gave_up ? " " + text(link, "down_reason") : "") +
           "</p>";
}

void run_status_card(std::string& page, const json& stats) {
    page += "<div class='card'><h2>运行状态</h2>";
    page += "<p>启动时间: " + text(stats, "startup_time") + "</p>";
    page += "<p>运行时长: " + integer(stats, "uptime_seconds") + " 秒</p>";
    page += link_line("SIO", section(stats, "sio")) + link_line("WS", section(stats, "websocket"));
    page += "</div>";
}

void mission_count_card(std::string& page, const json& stats) {
    const json& missions = section(stats, "missions");
    page +=
        "<div class='card'><h2>任务统计</h2>"
        "<table><tr><th>总任务</th><th>成功</th><th>失败</th><th>中止</th><th>进行中</th></tr><tr>";
    for (const char* key : {"total", "success", "failed", "aborted", "running"}) {
        page += "<td class='metric'>" + integer(missions, key) + "</td>";
    }
    page += "</tr></table></div>";
}

void mission_history_card(std::string& page, const json& missions) {
    if (!missions.is_array() || missions.empty()) return;
    page +=
        "<div class='card'><h2>任务历史 (最近50条)</h2>"
        "<table><tr><th>任务ID</th><th>策略ID</th><th>状态</th><th>原因</th><th>开始时间</th><th>结束时间</"
        "th><th>航点</th>"
        "<th>照片 (上传/失败/共)</th></tr>";
    for (const json& m : missions) {
        const json* status = member(m, "status");
        const std::string status_text = status != nullptr && status->is_string() ? status->get<std::string>() : "";
        page += "<tr>";
        page += cell(text(m, "mission_id"));
        page += cell(text(m, "strategy_id"));
        page += std::string("<td class='") + status_class(status_text) + "'>" + text(m, "status") + "</td>";
        page += cell(text(m, "reason"));
        page += cell(text(m, "start_time"));
        page += cell(text(m, "end_time"));
        page += cell(integer(m, "point_count"));
        const json& photos = section(m, "photos");
        page += cell(integer(photos, "uploaded") + "/" + integer(photos, "failed") + "/" + integer(photos, "listed"));
        page += "</tr>";
    }
    page += "</table></div>";
}

void version_card(std::string& page, const json& stats) {
    const json& version = section(stats, "version");
    page +=
        "<div class='card'><h2>版本信息</h2>"
        "<table><tr><th>版本号</th><th>Git Hash</th><th>编译时间</th></tr><tr>";
    page += cell(text(version, "version")) + cell(text(version, "git_hash")) + cell(text(version, "build_time"));
    page += "</tr></table></div>";
}

void connection_config_card(std::string& page, const json& config) {
    page += "<div class='card'><h2>连接配置</h2>";
    page += "<h3>Socket.IO</h3><table><tr><th>URI</th><th>Access Key</th></tr><tr>";
    page += cell(text(config, "sio_uri")) + cell(text(config, "sio_access_key")) + "</tr></table>";
    page += "<h3>PX4Ctrl</h3><table><tr><th>Host</th><th>Port</th></tr><tr>";
    page += cell(text(config, "px4_host")) + cell(integer(config, "px4_port")) + "</tr></table>";
    page += "<h3>MQTT</h3><table><tr><th>Host</th><th>Port</th><th>Request Topic</th><th>Response Topic</th></tr><tr>";
    page += cell(text(config, "mqtt_host")) + cell(integer(config, "mqtt_port")) +
            cell(text(config, "mqtt_request_topic")) + cell(text(config, "mqtt_response_topic")) + "</tr></table>";
    page += "<h3>Platform</h3><table><tr><th>URL</th><th>Site ID</th></tr><tr>";
    page += cell(text(config, "platform_url")) + cell(text(config, "platform_site_id")) + "</tr></table>";
    page += "<h3>思翼相机</h3><table><tr><th>IP</th><th>Port</th><th>Img Dir</th></tr><tr>";
    page += cell(text(config, "siyi_ip")) + cell(integer(config, "siyi_port")) + cell(text(config, "siyi_img_dir")) +
            "</tr></table>";
    page += "<h3>Stats Web</h3><table><tr><th>Enabled</th><th>Port</th></tr><tr>";
    page += cell(yes_no(config, "stats_enabled")) + cell(integer(config, "stats_web_port")) + "</tr></table></div>";
}

void internal_state_card(std::string& page, const json& state) {
    page += "<div class='card'><h2>内部状态</h2>";
    page +=
        "<table><tr><th>px4 fs</th><th>kovo sub</th><th>kovo idx</th><th>has_task</th><th>photos_uploaded</th>"
        "<th>upload_started</th><th>photo_count</th><th>last_completed_idx</th></tr><tr>";
    page += cell(integer(state, "fs")) + cell(text(state, "kovo_sub")) + cell(integer(state, "kovo_idx")) +
            cell(yes_no(state, "has_task")) + cell(yes_no(state, "photos_uploaded")) +
            cell(yes_no(state, "upload_started")) + cell(integer(state, "photo_count")) +
            cell(integer(state, "last_completed_height_idx")) + "</tr></table>";
    page += "<table><tr><th>任务ID</th><th>策略ID</th><th>电池%</th><th>高度(m)</th><th>垂直速度</th></tr><tr>";
    page += cell(text(state, "mission_id")) + cell(text(state, "strategy_id")) + cell(real(state, "battery_remain")) +
            cell(real(state, "lpos_z")) + cell(real(state, "lpos_vz")) + "</tr></table>";
    page += "</div>";
}

const char kWide[] = "' style='width:300px;'><br>";
const char kPlain[] = "'><br>";
const char kExtraWide[] = "' style='width:500px;'><br>";

void field(std::string& page, const char* label, const char* type, const char* id, const std::string& value,
           const char* ending) {
    page +=
        std::string("<label>") + label + "</label><input type='" + type + "' id='" + id + "' value='" + value + ending;
}

void config_edit_card(std::string& page, const json& config) {
    page += "<div class='card'><h2>配置编辑</h2>";
    page +=
        "<button onclick=\"sessionStorage.setItem('cfgEditing','true');"
        "document.getElementById('cfgForm').style.display='block';\">修改配置</button>";
    page += "<div id='cfgForm' style='display:none;margin-top:10px;'>";
    page += "<h3>Socket.IO</h3>";
    field(page, "URI:", "text", "cfg_sio_uri", text(config, "sio_uri"), kWide);
    field(page, "Access Key:", "text", "cfg_sio_access_key", text(config, "sio_access_key"), kWide);
    page += "<h3>PX4Ctrl</h3>";
    field(page, "Host:", "text", "cfg_px4_host", text(config, "px4_host"), kPlain);
    field(page, "Port:", "number", "cfg_px4_port", integer(config, "px4_port"), kPlain);
    page += "<h3>MQTT</h3>";
    field(page, "Host:", "text", "cfg_mqtt_host", text(config, "mqtt_host"), kPlain);
    field(page, "Port:", "number", "cfg_mqtt_port", integer(config, "mqtt_port"), kPlain);
    field(page, "Request Topic:", "text", "cfg_mqtt_request_topic", text(config, "mqtt_request_topic"), kExtraWide);
    field(page, "Response Topic:", "text", "cfg_mqtt_response_topic", text(config, "mqtt_response_topic"), kExtraWide);
    page += "<h3>Platform</h3>";
    field(page, "URL:", "text", "cfg_platform_url", text(config, "platform_url"), kWide);
    field(page, "Site ID:", "text", "cfg_platform_site_id", text(config, "platform_site_id"), kPlain);
    page += "<h3>思翼相机</h3>";
    field(page, "IP:", "text", "cfg_siyi_ip", text(config, "siyi_ip"), kPlain);
    field(page, "Port:", "number", "cfg_siyi_port", integer(config, "siyi_port"), kPlain);
    field(page, "Img Dir:", "text", "cfg_siyi_img_dir", text(config, "siyi_img_dir"), kPlain);
    page += "<h3>Stats Web</h3>";
    const bool enabled = flag(config, "stats_enabled");
    page += std::string("<label>Enabled:</label><select id='cfg_stats_enabled'><option value='true' ") +
            (enabled ? "selected" : "") + ">是</option><option value='false' " + (enabled ? "" : "selected") +
            ">否</option></select><br>";
    field(page, "Port:", "number", "cfg_stats_web_port", integer(config, "stats_web_port"), kPlain);
    page += "<br><button onclick='saveConfig()'>保存</button> ";
    page += "<button onclick=\"sessionStorage.removeItem('cfgEditing');location.reload();\">取消</button>";
    page += "<span id='cfgMsg' style='margin-left:10px;'></span>";
    page += "</div></div>";
}

}  // namespace

std::string html_escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string render_dashboard_html(const json& stats, const json& missions) {
    std::string page;
    page.reserve(16384);
    page += kHead;
    run_status_card(page, stats);
    mission_count_card(page, stats);
    mission_history_card(page, missions);
    version_card(page, stats);
    const json& config = section(stats, "config");
    connection_config_card(page, config);
    internal_state_card(page, section(stats, "internal_state"));
    config_edit_card(page, config);
    page += kScript;
    return page;
}

}  // namespace kovo::monitor
