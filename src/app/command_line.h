#pragma once

#include <string>
#include <vector>

#include "config/app_config.h"

namespace kovo::app {

// What the command line asked for. Empty strings and a negative port mean
// "not given".
struct CommandLine {
    std::string config_path = "config/config.json";
    std::string px4_host;
    int px4_port = -1;
    std::string sio_uri;
    std::string access_key;
    std::string platform_url;
    std::string site_id;
    bool help = false;
    // Arguments that are no option (a value option without its value
    // included), in order: the daemon names them and goes on.
    std::vector<std::string> ignored;
};

// This build's identity, as the banner and the statistics show it.
struct BuildInfo {
    const char* version;
    const char* revision;
    const char* time;
};
BuildInfo build_info();

// "kovo_sio_client v1.3.0 (git: ..., built: ...)"
std::string banner_line();

// Walks args (args[0] is the program name). A value option counts only when
// a value follows it; --help ends the walk; anything else is skipped and
// listed in ignored.
CommandLine parse_command_line(const std::vector<std::string>& args);

// The --help text, without a final line feed.
std::string usage_text(const std::string& program);

// Applies the given overrides to the in-memory configuration.
void apply_overrides(const CommandLine& cmd, config::AppConfig& config);

}  // namespace kovo::app
