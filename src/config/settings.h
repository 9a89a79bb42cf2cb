#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/app_config.h"

namespace kovo::config {

// What a text setting must hold.
enum class TextRule {
    ANY,
    NON_EMPTY,
    HOST,          // host name or address: letters, digits, '.', '-', '_', ':'
    URL,           // scheme://host[:port][/path]
    REQUEST_PATH,  // begins with '/', no blank or control character
    FILE_NAME,     // no '/', not "." or "..", no control character
    STRFTIME,      // every '%' starts a strftime conversion
    IP_ADDRESS,    // numeric IPv4 or IPv6 address
};

// When a hot update of a setting takes effect.
enum class Effect {
    NOW,            // read again on each use
    AFTER_RESTART,  // taken by a link or the server when it starts
};

// The setting's member of a record; the alternative is the setting's type.
using SettingField =
    std::variant<std::string* (*)(AppConfig&), int* (*)(AppConfig&), int64_t* (*)(AppConfig&), bool* (*)(AppConfig&),
                 std::vector<uint32_t>* (*)(AppConfig&), std::vector<int>* (*)(AppConfig&)>;

struct SettingRule {
    int64_t min = 0;  // integers and list elements
    int64_t max = 0;
    TextRule text = TextRule::ANY;
    // A hot setting (changed by a hot update, written back by save) carries
    // the name the statistics show it by; nullptr: changed only in the file.
    const char* shown_as = nullptr;
    // The value config/config.json ships when it differs from the built-in
    // default; null otherwise.
    nlohmann::json shipped;
    Effect effect = Effect::NOW;
    // Never shown: the statistics and the page mask it.
    bool secret = false;

    SettingRule hot(const char* name, Effect when = Effect::NOW) const {
        SettingRule r = *this;
        r.shown_as = name;
        r.effect = when;
        return r;
    }
    SettingRule hidden() const {
        SettingRule r = *this;
        r.secret = true;
        return r;
    }
    SettingRule ships(nlohmann::json value) const {
        SettingRule r = *this;
        r.shipped = std::move(value);
        return r;
    }
};

// One row of the settings table.
struct Setting {
    const char* section;  // "px4ctrl", "socketio.events"
    const char* key;
    SettingField field;
    nlohmann::json default_value;
    SettingRule rule;

    bool hot() const { return rule.shown_as != nullptr; }
    const nlohmann::json& shippedValue() const { return rule.shipped.is_null() ? default_value : rule.shipped; }
    std::string path() const { return std::string(section) + "." + key; }
    // "string", "int", "long", "bool", "list of uint32", "list of int".
    const char* typeName() const;
    // What the rule accepts, for the reader: "1..65535", "host name or
    // address", "any" ...; empty for a bool.
    std::string ruleText() const;
    // The setting's value in config as JSON.
    nlohmann::json valueIn(const AppConfig& config) const;
    // Takes value into config when it has the setting's type and obeys its
    // rule; otherwise returns why not and leaves config as it was.
    std::string assign(AppConfig& config, const nlohmann::json& value) const;
};

// Every setting, in the order of the record.
const std::vector<Setting>& settings();

}  // namespace kovo::config
