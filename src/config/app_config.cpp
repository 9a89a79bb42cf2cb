#include "config/app_config.h"

#include "config/atomic_file.h"
#include "config/settings.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kovo::config {

using nlohmann::json;

namespace {

const Setting* find_setting(const std::string& section, const std::string& key) {
    for (const Setting& s : settings()) {
        if (section == s.section && key == s.key) return &s;
    }
    return nullptr;
}

// A section or subsection of the table ("platform", "platform.timeout").
bool is_section(const std::string& path) {
    for (const Setting& s : settings()) {
        const std::string section = s.section;
        if (section == path || section.rfind(path + ".", 0) == 0) return true;
    }
    return false;
}

// Applies the keys of the object at section (a dotted path) and of its
// subsections; only the hot settings when hot_only.
void apply_section(AppConfig& config, const std::string& section, const json& object, bool hot_only,
                   ApplyResult& result) {
    for (const auto& [key, value] : object.items()) {
        const std::string path = section + "." + key;
        const Setting* setting = find_setting(section, key);
        std::string why;
        if (setting == nullptr && is_section(path)) {
            if (value.is_object()) {
                apply_section(config, path, value, hot_only, result);
                continue;
            }
            why = "expected an object";
        } else if (setting == nullptr) {
            why = "unknown key";
        } else if (hot_only && !setting->hot()) {
            why = "not changeable while running";
        } else {
            why = setting->assign(config, value);
        }
        if (why.empty()) {
            result.accepted.push_back(path);
        } else {
            result.refused.push_back({path, why});
        }
    }
}

ApplyResult apply_document(AppConfig& config, const json& doc, bool hot_only) {
    ApplyResult result;
    if (!doc.is_object()) return result;
    for (const auto& [name, value] : doc.items()) {
        if (!is_section(name)) {
            result.refused.push_back({name, "unknown section"});
        } else if (!value.is_object()) {
            result.refused.push_back({name, "expected an object"});
        } else {
            apply_section(config, name, value, hot_only, result);
        }
    }
    return result;
}

// The object at the dotted path section of root, made an empty one when it
// is missing or not an object.
json& section_in(json& root, const std::string& section) {
    json* at = &root;
    std::istringstream parts(section);
    for (std::string part; std::getline(parts, part, '.');) {
        json& next = (*at)[part];
        if (!next.is_object()) next = json::object();
        at = &next;
    }
    return *at;
}

// The float companions are derived from their texts, not settings of their
// own: a text without a number leaves its companion as it was.
void update_companions(AppConfig::UavDefaults& u) {
    parse_float_prefix(u.battery_vol, u.battery_vol_f);
    parse_float_prefix(u.lpos_x, u.lpos_x_f);
    parse_float_prefix(u.lpos_y, u.lpos_y_f);
    parse_float_prefix(u.lpos_z, u.lpos_z_f);
    parse_float_prefix(u.lpos_vx, u.lpos_vx_f);
    parse_float_prefix(u.lpos_vy, u.lpos_vy_f);
    parse_float_prefix(u.lpos_vz, u.lpos_vz_f);
    parse_float_prefix(u.atti_p, u.atti_p_f);
    parse_float_prefix(u.atti_r, u.atti_r_f);
    parse_float_prefix(u.atti_y, u.atti_y_f);
}

// The file's bytes; empty when it cannot be read (missing, a directory).
std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    // A streambuf that fails to read (EISDIR) throws from underflow; the
    // insertion turns that into a failed stream instead.
    if (in.is_open()) text << in.rdbuf();
    return text.str();
}

}  // namespace

bool parse_float_prefix(const std::string& text, float& out) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(begin, &end);
    if (end == begin || errno == ERANGE) return false;
    out = value;
    return true;
}

AppConfig::AppConfig() {
    for (const Setting& s : settings())
        s.assign(*this, s.default_value);
    update_companions(uav_defaults);
}

std::vector<LoadMessage> AppConfig::load(const std::string& path) {
    std::ifstream in(path);
    if (!in.is_open()) return {{true, "[Config] Failed to open " + path + ", using defaults"}};
    json doc;
    try {
        in >> doc;  // stops after the first complete value
    } catch (const std::exception& e) {
        return {{true, "[Config] Parse error in " + path + ": " + e.what() + ", using defaults"}};
    }
    std::vector<LoadMessage> messages{{false, "[Config] Loaded from " + path}};
    for (const Refusal& r : loadFromJson(doc).refused)
        messages.push_back({true, "[Config] Ignoring " + r.path + ": " + r.why});
    return messages;
}

ApplyResult AppConfig::loadFromJson(const json& doc) {
    ApplyResult result = apply_document(*this, doc, false);
    update_companions(uav_defaults);
    return result;
}

ApplyResult AppConfig::updateHotConfig(const json& doc) { return apply_document(*this, doc, true); }

bool AppConfig::save(const std::string& path, std::string* error) const {
    json root;
    // A parse error is ignored: whatever the parser built before it is kept,
    // so a damaged file still gives back the keys it holds.
    nlohmann::detail::json_sax_dom_parser<json> builder(root, false);
    json::sax_parse(read_whole_file(path), &builder, json::input_format_t::json, false);
    if (!root.is_object()) root = json::object();
    for (const Setting& s : settings()) {
        if (s.hot()) section_in(root, s.section)[s.key] = s.valueIn(*this);
    }
    return write_file_atomically(path, root.dump(4, ' ', false, json::error_handler_t::replace), error);
}

json AppConfig::toJson() const {
    json doc = json::object();
    for (const Setting& s : settings())
        section_in(doc, s.section)[s.key] = s.valueIn(*this);
    return doc;
}

json AppConfig::shownSettings() const {
    json shown = json::object();
    for (const Setting& s : settings()) {
        if (!s.hot()) continue;
        json value = s.valueIn(*this);
        if (s.rule.secret && !value.get_ref<const std::string&>().empty()) value = kMasked;
        shown[s.rule.shown_as] = std::move(value);
    }
    return shown;
}

}  // namespace kovo::config
