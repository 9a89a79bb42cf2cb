#include <gtest/gtest.h>

#include "app/command_line.h"

using namespace kovo::config;
using namespace kovo::app;

namespace {

// The configuration path, each setting changed from its default, each ignored argument, "help".
std::string outcome(std::vector<std::string> args) {
    args.insert(args.begin(), "kovo_sio_client");
    const CommandLine cmd = parse_command_line(args);
    AppConfig c;
    apply_overrides(cmd, c);
    const AppConfig d;
    std::string text = cmd.config_path;
    const auto show = [&text](const char* name, const auto& value, const auto& default_value) {
        if (value != default_value) text += std::string(" ") + name + "=" + value;
    };
    show("px4ctrl.host", c.px4ctrl.host, d.px4ctrl.host);
    show("px4ctrl.port", std::to_string(c.px4ctrl.port), std::to_string(d.px4ctrl.port));
    show("socketio.uri", c.socketio.uri, d.socketio.uri);
    show("socketio.access_key", c.socketio.access_key, d.socketio.access_key);
    show("platform.url", c.platform.url, d.platform.url);
    show("platform.site_id", c.platform.site_id, d.platform.site_id);
    for (const std::string& arg : cmd.ignored)
        text += " ignored=" + arg;
    return cmd.help ? text + " help" : text;
}

}  // namespace

TEST(CommandLine, OptionsAndOverrides) {
    const struct {
        std::vector<std::string> args;
        std::string outcome;
    } rows[] = {
        {{}, "config/config.json"},
        {{"--config", "my.json", "--px4_host", "10.0.0.5", "--px4_port", "6001", "--sio_uri", "http://car:1",
          "--access_key", "k-1", "--platform_url", "http://p:2", "--site_id", "s-9"},
         "my.json px4ctrl.host=10.0.0.5 px4ctrl.port=6001 socketio.uri=http://car:1 socketio.access_key=k-1 "
         "platform.url=http://p:2 platform.site_id=s-9"},
        // The last of a repeated option wins.
        {{"--site_id", "a", "--config", "a.json", "--site_id", "b", "--config", "b.json"}, "b.json platform.site_id=b"},
        // The port is read like atoi; a negative one is not given.
        {{"--px4_port", "abc"}, "config/config.json px4ctrl.port=0"},
        {{"--px4_port", "-5"}, "config/config.json"},
        // A value option without its value and unknown words are ignored (and
        // named); empty values count for nothing.
        {{"stray", "--verbose", "--site_id", "s", "-h", "--HELP", "--access_key", "", "--px4_port"},
         "config/config.json platform.site_id=s ignored=stray ignored=--verbose ignored=-h ignored=--HELP "
         "ignored=--px4_port"},
        // --help ends the walk; as the value of an option it is a value, like any option name.
        {{"--site_id", "a", "--help", "--site_id", "b"}, "config/config.json platform.site_id=a help"},
        {{"--config", "--help", "x"}, "--help ignored=x"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        EXPECT_EQ(outcome(row.args), row.outcome);
    }
}
