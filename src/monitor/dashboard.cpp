#include "monitor/dashboard.h"

#include <algorithm>
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

std::string cell(const std::string& value) { return "<td>" + value + "</td>"; }

const char* status_class(const std::string& status) {
    if (status == "success") return "status-success";
    if (status == "failed") return "status-failed";
    return "status-running";
}

// Phones get one column; the history scrolls sideways rather than squeeze.
const char kHead[] =
    "<!DOCTYPE html><html lang='zh'><head>"
    "<meta charset='utf-8'><meta name='viewport' content='width=device-width,initial-scale=1'>"
    "<title>kovo_sio_client</title>"
    "<style>"
    "body{font-family:sans-serif;margin:0 auto;padding:8px;max-width:1100px;background:#f5f5f5;color:#222;}"
    "h1{font-size:20px;margin:6px 0;}h2{font-size:16px;margin:0 0 8px;color:#333;}"
    ".card{background:#fff;padding:12px;margin:8px 0;border-radius:6px;box-shadow:0 1px 3px rgba(0,0,0,0.15);"
    "overflow-x:auto;}"
    ".live{display:flex;flex-wrap:wrap;gap:8px;}"
    ".live div{flex:1 1 140px;background:#eef6ee;border-radius:4px;padding:6px 8px;}"
    ".live b{display:block;font-size:22px;color:#2e7d32;overflow-wrap:anywhere;}"
    "table{width:100%;border-collapse:collapse;font-size:14px;}"
    "th,td{text-align:left;padding:5px 6px;border-bottom:1px solid #ddd;}"
    "th{background:#4CAF50;color:#fff;}"
    ".up,.status-success{color:green;}.down,.status-failed{color:#c62828;}"
    ".unknown,.status-running{color:#e65100;}.pending{color:#e65100;font-size:12px;}"
    ".metric{font-size:22px;font-weight:bold;color:#2e7d32;}.pager{margin-top:8px;}.pager a{margin:0 8px;}"
    "input{max-width:100%;}label{display:inline-block;min-width:120px;}"
    "</style></head><body>"
    "<h1>kovo_sio_client 统计面板</h1>";

// Posts the settings (an access key left empty is not sent: the page never
// holds it); a token the server asks for is asked once and kept in the
// browser. The page reloads itself every second unless the operator edits.
const char kScript[] =
    "<script>"
    "function saveConfig(retried){"
    "var v=function(id){return document.getElementById(id).value;};"
    "var payload={"
    "socketio:{uri:v('cfg_sio_uri')},"
    "px4ctrl:{host:v('cfg_px4_host'),port:parseInt(v('cfg_px4_port'))},"
    "mqtt:{host:v('cfg_mqtt_host'),port:parseInt(v('cfg_mqtt_port')),"
    "request_topic:v('cfg_mqtt_request_topic'),response_topic:v('cfg_mqtt_response_topic')},"
    "platform:{url:v('cfg_platform_url'),site_id:v('cfg_platform_site_id')},"
    "siyi:{ip:v('cfg_siyi_ip'),http_port:parseInt(v('cfg_siyi_port')),img_dir:v('cfg_siyi_img_dir')},"
    "stats:{enabled:v('cfg_stats_enabled')==='true',web_port:parseInt(v('cfg_stats_web_port'))}};"
    "if(v('cfg_sio_access_key')!=='')payload.socketio.access_key=v('cfg_sio_access_key');"
    "var headers={'Content-Type':'application/json'};"
    "var token=localStorage.getItem('kovoToken');"
    "if(token)headers.Authorization='Bearer '+token;"
    "var m=document.getElementById('cfgMsg');"
    "fetch('/api/config',{method:'POST',headers:headers,body:JSON.stringify(payload)})"
    ".then(function(r){"
    "if(r.status===401&&!retried){var t=prompt('令牌 (stats.auth_token)');"
    "if(t){localStorage.setItem('kovoToken',t);saveConfig(true);return null;}}"
    "return r.json();})"
    ".then(function(d){if(!d)return;"
    "var text=d.message;"
    "if(d.refused)text+=': '+Object.keys(d.refused).map(function(k){return k+' '+d.refused[k];}).join('; ');"
    "if(d.restart_required&&d.restart_required.length)text+=' (重启后生效: '+d.restart_required.join(', ')+')';"
    "m.textContent=text;m.style.color=d.success?'green':'red';"
    "if(d.success){sessionStorage.removeItem('cfgEditing');"
    "setTimeout(function(){location.reload();},1000);}});"
    "}"
    "if(sessionStorage.getItem('cfgEditing')==='true'){"
    "document.getElementById('cfgForm').style.display='block';"
    "}else{setTimeout(function(){location.reload();},1000);}"
    "</script></body></html>";

void live_card(std::string& page, const json& stats) {
    const json& state = section(stats, "internal_state");
    const json& current = section(stats, "current_mission");
    const std::string sub = text(state, "kovo_sub");
    const json* reached = member(state, "last_completed_height_idx");
    const int64_t done = reached != nullptr && reached->is_number_integer() ? reached->get<int64_t>() + 1 : 0;
    const bool active = !current.empty();
    page += "<div class='card'><h2>当前状态</h2><div class='live'>";
    page += "<div>阶段<b>fs " + integer(state, "fs") + (sub == "-" || sub.empty() ? "" : " · " + sub) + "</b></div>";
    page += "<div>高度 (起飞点以上)<b>" + real(state, "lpos_z") + " m</b></div>";
    page += "<div>电池<b>" + real(state, "battery_remain") + " %</b></div>";
    page += "<div>当前任务<b>" + (active ? text(current, "mission_id") : std::string("无")) + "</b></div>";
    page += "<div>进度<b>" +
            (active ? std::to_string(done > 0 ? done : 0) + " / " + integer(current, "point_count") + " 高度"
                    : std::string("-")) +
            "</b></div>";
    page += "<div>照片<b>" + integer(state, "photo_count") + "</b></div>";
    page += "</div></div>";
}

void health_card(std::string& page, const json& stats) {
    static const char* const kPeers[][2] = {
        {"px4ctrl", "px4ctrl"}, {"car", "车端"}, {"broker", "MQTT"}, {"platform", "平台"}, {"camera", "相机"}};
    const json& peers = section(stats, "peers");
    page +=
        "<div class='card'><h2>连接状态</h2>"
        "<table><tr><th>对端</th><th>状态</th><th>自</th><th>最近错误</th></tr>";
    for (const auto& peer : kPeers) {
        const json& h = section(peers, peer[0]);
        const bool known = member(h, "up") != nullptr;
        const bool up = flag(h, "up");
        const std::string error = text(h, "last_error");
        page += std::string("<tr><td>") + peer[1] + "</td><td class='" +
                (known ? (up ? "up'>正常" : "down'>断开") : "unknown'>未知") + "</td>" + cell(text(h, "since")) +
                cell(error.empty() || error == "-" ? "-" : text(h, "last_error_time") + " " + error) + "</tr>";
    }
    page += "</table></div>";
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

// What waits for the platform in the store-and-forward spool.
void spool_card(std::string& page, const json& stats) {
    const json& spool = section(stats, "spool");
    page +=
        "<div class='card' id='spool'><h2>待发送（缓存）</h2>"
        "<table><tr><th>报告</th><th>上传</th><th>字节</th><th>最早（秒）</th><th>已丢弃</th></tr><tr>";
    for (const char* key : {"reports_waiting", "uploads_waiting", "bytes", "oldest_age_s", "dropped"}) {
        page += "<td class='metric'>" + integer(spool, key) + "</td>";
    }
    page += "</tr></table><p>最后错误：" + text(spool, "last_error") + "</p></div>";
}

void errors_card(std::string& page, const json& stats) {
    const json& errors = section(stats, "recent_errors");
    page += "<div class='card'><h2>最近错误</h2>";
    if (!errors.is_array() || errors.empty()) {
        page += "<p>无</p></div>";
        return;
    }
    page += "<table><tr><th>时间</th><th>内容</th></tr>";
    for (const json& e : errors)
        page += "<tr>" + cell(text(e, "time")) + cell(text(e, "text")) + "</tr>";
    page += "</table></div>";
}

// "3 / 4 / 1" (listed / uploaded / failed) when the record has photo counts.
std::string photo_counts(const json& mission) {
    const json& photos = section(mission, "photos");
    if (photos.empty()) return "-";
    return integer(photos, "uploaded") + " / " + integer(photos, "listed") + " / " + integer(photos, "failed");
}

void history_card(std::string& page, const json& history) {
    const json& missions = section(history, "missions");
    if (!missions.is_array() || missions.empty()) return;
    page +=
        "<div class='card'><h2>任务历史</h2>"
        "<table><tr><th>任务ID</th><th>策略ID</th><th>状态</th><th>原因</th><th>照片 上传/列出/失败</th>"
        "<th>开始时间</th><th>结束时间</th><th>航点</th></tr>";
    for (const json& m : missions) {
        const json* status = member(m, "status");
        const std::string status_text = status != nullptr && status->is_string() ? status->get<std::string>() : "";
        page += "<tr>";
        page += cell(text(m, "mission_id"));
        page += cell(text(m, "strategy_id"));
        page += std::string("<td class='") + status_class(status_text) + "'>" + text(m, "status") + "</td>";
        page += cell(text(m, "reason"));
        page += cell(photo_counts(m));
        page += cell(text(m, "start_time"));
        page += cell(text(m, "end_time"));
        page += cell(integer(m, "point_count"));
        page += "</tr>";
    }
    page += "</table><div class='pager'>";
    const std::string at = integer(history, "page");
    const std::string pages = integer(history, "pages");
    const int64_t number = std::stoll(at);
    if (number > 1) page += "<a href='?page=" + std::to_string(number - 1) + "'>« 较新</a>";
    page += "第 " + at + " / " + pages + " 页 (共 " + integer(history, "total") + " 条)";
    if (number < std::stoll(pages)) page += "<a href='?page=" + std::to_string(number + 1) + "'>较早 »</a>";
    page += "</div></div>";
}

void run_status_card(std::string& page, const json& stats) {
    const json& version = section(stats, "version");
    page += "<div class='card'><h2>运行状态</h2>";
    page += "<p>启动时间: " + text(stats, "startup_time") + " · 运行时长: " + integer(stats, "uptime_seconds") +
            " 秒 · 版本 " + text(version, "version") + " (" + text(version, "git_hash") + ", " +
            text(version, "build_time") + ")</p></div>";
}

bool pending(const json& config, const char* name) {
    const json* list = member(config, "restart_pending");
    return list != nullptr && list->is_array() && std::find(list->begin(), list->end(), name) != list->end();
}

const char kWide[] = "' style='width:300px;'><br>";
const char kPlain[] = "'><br>";
const char kExtraWide[] = "' style='width:500px;'><br>";

// One setting of the form; a value waiting for a restart is marked.
void field(std::string& page, const json& config, const char* label, const char* type, const char* id, const char* name,
           const char* ending) {
    const bool number = std::string(type) == "number";
    page += std::string("<label>") + label + "</label><input type='" + type + "' id='" + id + "' value='" +
            (number ? integer(config, name) : text(config, name)) + ending;
    if (pending(config, name)) page += "<span class='pending'>重启后生效</span><br>";
}

void config_card(std::string& page, const json& config) {
    page += "<div class='card'><h2>配置</h2>";
    page +=
        "<button onclick=\"sessionStorage.setItem('cfgEditing','true');"
        "document.getElementById('cfgForm').style.display='block';\">修改配置</button>";
    page += "<div id='cfgForm' style='display:none;margin-top:10px;'>";
    page += "<h3>Socket.IO</h3>";
    field(page, config, "URI:", "text", "cfg_sio_uri", "sio_uri", kWide);
    page +=
        "<label>Access Key:</label><input type='password' id='cfg_sio_access_key' value='' "
        "placeholder='不修改请留空' autocomplete='off' style='width:300px;'><br>";
    page += "<h3>PX4Ctrl</h3>";
    field(page, config, "Host:", "text", "cfg_px4_host", "px4_host", kPlain);
    field(page, config, "Port:", "number", "cfg_px4_port", "px4_port", kPlain);
    page += "<h3>MQTT</h3>";
    field(page, config, "Host:", "text", "cfg_mqtt_host", "mqtt_host", kPlain);
    field(page, config, "Port:", "number", "cfg_mqtt_port", "mqtt_port", kPlain);
    field(page, config, "Request Topic:", "text", "cfg_mqtt_request_topic", "mqtt_request_topic", kExtraWide);
    field(page, config, "Response Topic:", "text", "cfg_mqtt_response_topic", "mqtt_response_topic", kExtraWide);
    page += "<h3>Platform</h3>";
    field(page, config, "URL:", "text", "cfg_platform_url", "platform_url", kWide);
    field(page, config, "Site ID:", "text", "cfg_platform_site_id", "platform_site_id", kPlain);
    page += "<h3>思翼相机</h3>";
    field(page, config, "IP:", "text", "cfg_siyi_ip", "siyi_ip", kPlain);
    field(page, config, "Port:", "number", "cfg_siyi_port", "siyi_port", kPlain);
    field(page, config, "Img Dir:", "text", "cfg_siyi_img_dir", "siyi_img_dir", kPlain);
    page += "<h3>Stats Web</h3>";
    const bool enabled = flag(config, "stats_enabled");
    page += std::string("<label>Enabled:</label><select id='cfg_stats_enabled'><option value='true' ") +
            (enabled ? "selected" : "") + ">是</option><option value='false' " + (enabled ? "" : "selected") +
            ">否</option></select><br>";
    if (pending(config, "stats_enabled")) page += "<span class='pending'>重启后生效</span><br>";
    field(page, config, "Port:", "number", "cfg_stats_web_port", "stats_web_port", kPlain);
    page += "<br><button onclick='saveConfig(false)'>保存</button> ";
    page += "<button onclick=\"sessionStorage.removeItem('cfgEditing');location.reload();\">取消</button>";
    page += "<span id='cfgMsg' style='margin-left:10px;'></span>";
    page += "</div>";
    // What runs now; the access key is never shown.
    page += "<table><tr><th>设置</th><th>值</th></tr>";
    for (const auto& [name, value] : config.items()) {
        if (name == "restart_pending") continue;
        page += "<tr>" + cell(html_escape(name)) + "<td>" + text(config, name.c_str()) +
                (pending(config, name.c_str()) ? " <span class='pending'>重启后生效</span>" : "") + "</td></tr>";
    }
    page += "</table></div>";
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

std::string render_dashboard_html(const json& stats, const json& history) {
    std::string page;
    page.reserve(16384);
    page += kHead;
    live_card(page, stats);
    health_card(page, stats);
    mission_count_card(page, stats);
    spool_card(page, stats);
    errors_card(page, stats);
    history_card(page, history);
    run_status_card(page, stats);
    config_card(page, section(stats, "config"));
    page += kScript;
    return page;
}

}  // namespace kovo::monitor
