#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/kovo_client_app.h"
#include "config/app_config.h"
#include "log/log.h"
#include "platform/platform_http_client.h"

int main(int argc, char* argv[]) {
    kovo::log::info() << banner_line();
    const CommandLine cmd = parse_command_line(std::vector<std::string>(argv, argv + argc));
    if (cmd.help) {
        kovo::log::info() << usage_text(argc > 0 ? argv[0] : "kovo_sio_client");
        return 0;
    }

    AppConfig config;
    config.load(cmd.config_path);
    apply_overrides(cmd, config);

    // libcurl's process-wide set-up, before any thread exists.
    PlatformHttpClient::globalInit();
    KovoClientApp app(config, cmd.config_path);
    if (!app.start()) {
        kovo::log::error() << "Failed to start app";
        return 1;
    }
    kovo::log::info() << "kovo_sio_client started. Press Ctrl+C to exit.";
    app.wait();
    return 0;
}
