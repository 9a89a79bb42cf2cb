#include <gtest/gtest.h>

#include <sys/wait.h>

#include "test_support.h"

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::daemon_path;
using testsupport::TempDir;

namespace {

const char* const kBanner = "kovo_sio_client v1.3.0 (git: 3feafd6, built: 2026-05-17 13:50:30)";

// A configuration that keeps a started daemon to itself: no web server, and
// every peer on a loopback port where nothing listens.
std::string quiet_config()
{
    const int nobody = testsupport::pick_free_port();
    const std::string url = "http://127.0.0.1:" + std::to_string(nobody);
    return R"({"stats": {"enabled": false}, "px4ctrl": {"port": )" + std::to_string(nobody) +
           R"(}, "socketio": {"uri": ")" + url + R"("}, "mqtt": {"port": )" + std::to_string(nobody) +
           R"(}, "platform": {"url": ")" + url + R"("}})";
}

// The daemon started with args; it may run on (it only stops from outside),
// so each test waits for the lines it needs and the destructor stops it.
std::unique_ptr<ChildProcess> start_daemon(std::vector<std::string> args)
{
    args.insert(args.begin(), daemon_path());
    return std::make_unique<ChildProcess>("daemon", args);
}

}  // namespace

TEST(DaemonCommandLine, HelpPrintsBannerAndUsageAndExitsZero)
{
    auto daemon = start_daemon({"--site_id", "x", "--help", "--config", "/nonexistent.json"});
    const int status = daemon->wait_exit(10s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::string program = daemon_path();
    EXPECT_EQ(daemon->stdout_lines(), (std::vector<std::string>{
                                          kBanner,
                                          "Usage: " + program + " [options]",
                                          "  --config <path>          config file path (default: config.json)",
                                          "  --px4_host <host>        px4ctrl ws host",
                                          "  --px4_port <port>        px4ctrl ws port",
                                          "  --sio_uri <uri>          car socket.io uri",
                                          "  --access_key <key>       accessKey",
                                          "  --platform_url <url>     platform base url",
                                          "  --site_id <id>           site id",
                                      }));
    EXPECT_TRUE(daemon->stderr_lines().empty());
}

TEST(DaemonCommandLine, MissingConfigFileIsReportedAndDefaultsUsed)
{
    TempDir dir;
    const std::string missing = dir.file("absent.json");
    const int nobody = testsupport::pick_free_port();
    auto daemon = start_daemon({"--config", missing, "--px4_port", std::to_string(nobody), "--sio_uri",
                                "http://127.0.0.1:" + std::to_string(nobody)});
    const std::string expected = "[Config] Failed to open " + missing + ", using defaults";
    ASSERT_TRUE(daemon->wait_for_line(expected, 10s));
    const auto err = daemon->stderr_lines();
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err.front(), expected);
    ASSERT_FALSE(daemon->stdout_lines().empty());
    EXPECT_EQ(daemon->stdout_lines().front(), kBanner);
}

TEST(DaemonCommandLine, BrokenConfigFileIsReported)
{
    TempDir dir;
    const std::string path = dir.file("broken.json");
    testsupport::write_file(path, R"({"stats": {"enabled": false}, "px4ctrl": {"port": )");
    const int nobody = testsupport::pick_free_port();
    auto daemon = start_daemon({"--config", path, "--px4_port", std::to_string(nobody), "--sio_uri",
                                "http://127.0.0.1:" + std::to_string(nobody)});
    const std::string prefix = "[Config] Parse error in " + path + ": ";
    std::string line;
    ASSERT_TRUE(daemon->wait_for_line(prefix, 10s, &line));
    EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
    const std::string suffix = ", using defaults";
    ASSERT_GT(line.size(), prefix.size() + suffix.size()) << line;
    EXPECT_EQ(line.substr(line.size() - suffix.size()), suffix) << line;
    EXPECT_EQ(daemon->stderr_lines().front(), line);
}

TEST(DaemonCommandLine, ReadableConfigIsLoaded)
{
    TempDir dir;
    const std::string path = dir.file("config.json");
    testsupport::write_file(path, quiet_config());
    auto daemon = start_daemon({"--config", path});
    ASSERT_TRUE(daemon->wait_for_line("[Config] Loaded from " + path, 10s));
    const auto out = daemon->stdout_lines();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[0], kBanner);
    EXPECT_EQ(out[1], "[Config] Loaded from " + path);
    EXPECT_EQ(daemon->count_lines("[Config] Failed"), 0u);
}
