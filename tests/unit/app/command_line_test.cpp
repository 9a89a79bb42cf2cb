#include <gtest/gtest.h>

#include <sstream>

#include "app/command_line.h"

namespace {

CommandLine parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "kovo_sio_client");
    return parse_command_line(args);
}

AppConfig overridden(const std::vector<std::string>& args)
{
    AppConfig config;
    apply_overrides(parse(args), config);
    return config;
}

}  // namespace

TEST(Banner, NamesVersionRevisionAndBuildTime)
{
    EXPECT_EQ(banner_line(), "kovo_sio_client v1.3.0 (git: 3feafd6, built: 2026-05-17 13:50:30)");
}

TEST(Usage, ExactText)
{
    std::ostringstream out;
    print_usage(out, "./build/kovo_sio_client");
    EXPECT_EQ(out.str(),
              "Usage: ./build/kovo_sio_client [options]\n"
              "  --config <path>          config file path (default: config.json)\n"
              "  --px4_host <host>        px4ctrl ws host\n"
              "  --px4_port <port>        px4ctrl ws port\n"
              "  --sio_uri <uri>          car socket.io uri\n"
              "  --access_key <key>       accessKey\n"
              "  --platform_url <url>     platform base url\n"
              "  --site_id <id>           site id\n");
}

TEST(CommandLineParse, NoArgumentsMeansNoOverrides)
{
    const CommandLine cmd = parse({});
    EXPECT_EQ(cmd.config_path, "config/config.json");
    EXPECT_EQ(cmd.px4_port, -1);
    EXPECT_FALSE(cmd.help);
    AppConfig config;
    apply_overrides(cmd, config);
    EXPECT_EQ(config.px4ctrl.host, "127.0.0.1");
    EXPECT_EQ(config.px4ctrl.port, 53001);
    EXPECT_EQ(config.socketio.uri, "http://127.0.0.1:8080");
    EXPECT_EQ(config.platform.site_id, "qtpe-8264");
}

TEST(CommandLineParse, EveryOverrideReachesItsSetting)
{
    const AppConfig c = overridden({"--config", "my.json", "--px4_host", "10.0.0.5", "--px4_port", "6001",
                                    "--sio_uri", "http://car:1", "--access_key", "k-1", "--platform_url",
                                    "http://p:2", "--site_id", "s-9"});
    EXPECT_EQ(parse({"--config", "my.json"}).config_path, "my.json");
    EXPECT_EQ(c.px4ctrl.host, "10.0.0.5");
    EXPECT_EQ(c.px4ctrl.port, 6001);
    EXPECT_EQ(c.socketio.uri, "http://car:1");
    EXPECT_EQ(c.socketio.access_key, "k-1");
    EXPECT_EQ(c.platform.url, "http://p:2");
    EXPECT_EQ(c.platform.site_id, "s-9");
}

TEST(CommandLineParse, LastRepeatedValueWins)
{
    EXPECT_EQ(overridden({"--site_id", "a", "--site_id", "b"}).platform.site_id, "b");
    EXPECT_EQ(parse({"--config", "a.json", "--config", "b.json"}).config_path, "b.json");
}

TEST(CommandLineParse, PortIsReadLikeAtoi)
{
    EXPECT_EQ(overridden({"--px4_port", "abc"}).px4ctrl.port, 0);
    EXPECT_EQ(overridden({"--px4_port", "77x"}).px4ctrl.port, 77);
    EXPECT_EQ(overridden({"--px4_port", "-5"}).px4ctrl.port, 53001);
    EXPECT_EQ(overridden({"--px4_port", "0"}).px4ctrl.port, 0);
}

TEST(CommandLineParse, ValueOptionWithoutValueIsIgnored)
{
    EXPECT_EQ(parse({"--config"}).config_path, "config/config.json");
    EXPECT_EQ(overridden({"--px4_port"}).px4ctrl.port, 53001);
    EXPECT_EQ(overridden({"--site_id", "x", "--px4_host"}).px4ctrl.host, "127.0.0.1");
}

TEST(CommandLineParse, UnknownArgumentsAreSkipped)
{
    const AppConfig c = overridden({"stray", "--verbose", "--site_id", "s", "-h"});
    EXPECT_EQ(c.platform.site_id, "s");
    EXPECT_FALSE(parse({"stray", "-h", "--HELP"}).help);
}

TEST(CommandLineParse, EmptyValueCountsAsNotGiven)
{
    const AppConfig c = overridden({"--site_id", "", "--px4_host", "", "--sio_uri", ""});
    EXPECT_EQ(c.platform.site_id, "qtpe-8264");
    EXPECT_EQ(c.px4ctrl.host, "127.0.0.1");
    EXPECT_EQ(c.socketio.uri, "http://127.0.0.1:8080");
}

TEST(CommandLineParse, HelpEndsTheWalk)
{
    const CommandLine cmd = parse({"--site_id", "a", "--help", "--site_id", "b"});
    EXPECT_TRUE(cmd.help);
    EXPECT_EQ(cmd.site_id, "a");
}

TEST(CommandLineParse, HelpAsAValueIsAValue)
{
    const CommandLine cmd = parse({"--config", "--help"});
    EXPECT_FALSE(cmd.help);
    EXPECT_EQ(cmd.config_path, "--help");
    EXPECT_EQ(parse({"--site_id", "--help"}).site_id, "--help");
}

TEST(CommandLineParse, OptionNameAsAValueIsAValue)
{
    const CommandLine cmd = parse({"--px4_host", "--site_id", "x"});
    EXPECT_EQ(cmd.px4_host, "--site_id");
    EXPECT_EQ(cmd.site_id, "");
}
