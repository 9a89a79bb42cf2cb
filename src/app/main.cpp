#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/kovo_client_app.h"
#include "config/app_config.h"
#include "log/log.h"
#include "platform/platform_http_client.h"

int main(int argc, char* argv[]) {
    kovo::log::info() << kovo::app::banner_line();
    const kovo::app::CommandLine cmd = kovo::app::parse_command_line(std::vector<std::string>(argv, argv + argc));
    if (cmd.help) {
        kovo::log::info() << kovo::app::usage_text(argc > 0 ? argv[0] : "kovo_sio_client");
        return 0;
    }

    kovo::config::AppConfig config;
    for (const kovo::config::LoadMessage& m : config.load(cmd.config_path)) {
        if (m.error) {
            kovo::log::error() << m.text;
        } else {
            kovo::log::info() << m.text;
        }
    }
    kovo::app::apply_overrides(cmd, config);

    // libcurl's process-wide set-up, before any thread exists.
    kovo::platform::PlatformHttpClient::globalInit();
    kovo::app::KovoClientApp app(config, cmd.config_path);
    if (!app.start()) {
        kovo::log::error() << "Failed to start app";
        return 1;
    }
    kovo::log::info() << "kovo_sio_client started. Press Ctrl+C to exit.";
    app.wait();
    return 0;
}
