#include "app/command_line.h"

#include <cstdlib>

#include "app/build_info.h"

namespace kovo::app {

BuildInfo build_info() { return BuildInfo{kVersion, kGitRevision, kBuildTime}; }

std::string banner_line() {
    return std::string("kovo_sio_client v") + kVersion + " (git: " + kGitRevision + ", built: " + kBuildTime + ")";
}

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine cmd;
    std::string port_text;
    const struct {
        const char* option;
        std::string* value;
    } value_options[] = {
        {"--config", &cmd.config_path}, {"--px4_host", &cmd.px4_host},     {"--px4_port", &port_text},
        {"--sio_uri", &cmd.sio_uri},    {"--access_key", &cmd.access_key}, {"--platform_url", &cmd.platform_url},
        {"--site_id", &cmd.site_id},
    };
    for (size_t i = 1; i < args.size(); ++i) {
        bool consumed = false;
        for (const auto& opt : value_options) {
            if (args[i] == opt.option && i + 1 < args.size()) {
                *opt.value = args[++i];
                consumed = true;
                if (opt.value == &port_text) {
                    cmd.px4_port = std::atoi(port_text.c_str());
                }
                break;
            }
        }
        if (consumed) {
            continue;
        }
        if (args[i] == "--help") {
            cmd.help = true;
            return cmd;
        }
        cmd.ignored.push_back(args[i]);
    }
    return cmd;
}

std::string usage_text(const std::string& program) {
    return "Usage: " + program +
           " [options]\n"
           "  --config <path>          config file path (default: config/config.json)\n"
           "  --px4_host <host>        px4ctrl ws host\n"
           "  --px4_port <port>        px4ctrl ws port\n"
           "  --sio_uri <uri>          car socket.io uri\n"
           "  --access_key <key>       accessKey\n"
           "  --platform_url <url>     platform base url\n"
           "  --site_id <id>           site id";
}

void apply_overrides(const CommandLine& cmd, config::AppConfig& config) {
    if (!cmd.px4_host.empty()) {
        config.px4ctrl.host = cmd.px4_host;
    }
    if (cmd.px4_port >= 0) {
        config.px4ctrl.port = cmd.px4_port;
    }
    if (!cmd.sio_uri.empty()) {
        config.socketio.uri = cmd.sio_uri;
    }
    if (!cmd.access_key.empty()) {
        config.socketio.access_key = cmd.access_key;
    }
    if (!cmd.platform_url.empty()) {
        config.platform.url = cmd.platform_url;
    }
    if (!cmd.site_id.empty()) {
        config.platform.site_id = cmd.site_id;
    }
}

}  // namespace kovo::app
