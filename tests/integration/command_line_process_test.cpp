#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "test_support.h"

using namespace std::chrono_literals;
using testing::MatchesRegex;
using testsupport::ChildProcess;
using testsupport::daemon_path;
using testsupport::TempDir;

namespace {

// The first line a git command prints in the source tree; empty without one.
std::string git_line(const std::string& args) {
    std::string line;
    if (FILE* out = ::popen(("git -C " KOVO_SOURCE_DIR " " + args + " 2>/dev/null").c_str(), "r")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, out)) line = buffer;
        ::pclose(out);
    }
    return line.substr(0, line.find('\n'));
}

// The banner names the commit built, "-dirty" when tracked files differ.
const std::string kBanner = [] {
    const std::string head = git_line("rev-parse --short HEAD");
    if (head.empty()) return std::string("kovo_sio_client v1.3.0 (git: 3feafd6, built: 2026-05-17 13:50:30)");
    const bool dirty = !git_line("status --porcelain --untracked-files=no").empty();
    return "kovo_sio_client v1.3.0 (git: " + head + (dirty ? "-dirty" : "") + ", built: ";
}();

// Stopped by the destructor.
std::unique_ptr<ChildProcess> start_daemon(std::vector<std::string> args) {
    args.insert(args.begin(), daemon_path());
    return std::make_unique<ChildProcess>("daemon", args);
}

}  // namespace

// --help ends before the configuration is read, unknown arguments named on
// standard error; otherwise the banner comes first, then how the
// configuration was read.
TEST(DaemonCommandLine, HelpExitsBeforeTheConfigurationWhoseOutcomeOtherwiseFollowsTheBanner) {
    auto help = start_daemon({"--site_id", "x", "stray", "--help", "--config", "/nonexistent.json"});
    const int status = help->waitExit(10s);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const auto usage = help->stdoutLines();
    ASSERT_GE(usage.size(), 2u);
    EXPECT_EQ(usage[0].rfind(kBanner, 0), 0u) << usage[0];
    EXPECT_THAT(usage[0], MatchesRegex(".*, built: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\)"));
    EXPECT_EQ(usage[1].rfind("Usage: ", 0), 0u) << usage[1];
    EXPECT_EQ(help->stderrLines(), std::vector<std::string>{"[APP] Ignoring unknown argument: stray"});

    TempDir dir;
    // Every peer on a loopback port where nothing listens, and no web server.
    const std::string nobody = std::to_string(testsupport::pick_free_port());
    const std::string path = dir.file("config.json");
    testsupport::write_file(path, R"({"stats": {"enabled": false}, "mqtt": {"port": )" + nobody + "}}");
    auto daemon = start_daemon({"--config", path, "--px4_port", nobody, "--sio_uri", "http://127.0.0.1:" + nobody,
                                "--platform_url", "http://127.0.0.1:" + nobody});
    ASSERT_TRUE(daemon->waitForLine("[Config] Loaded from " + path, 10s));
    const auto out = daemon->stdoutLines();
    EXPECT_EQ(out[0].rfind(kBanner, 0), 0u) << out[0];
    EXPECT_EQ(out.at(1), "[Config] Loaded from " + path);
}
