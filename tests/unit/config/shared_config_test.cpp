#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "config/shared_config.h"
#include "test_support.h"

using nlohmann::json;

TEST(SharedConfig, SnapshotsDoNotChangeAfterAnUpdate)
{
    testsupport::TempDir dir;
    SharedConfig shared{AppConfig{}};
    const auto before = shared.snapshot();
    ASSERT_TRUE(shared.applyHotUpdate(json::parse(R"({"siyi":{"ip":"10.0.0.2"}})"), dir.file("c.json")));
    EXPECT_EQ(before->siyi.ip, "192.168.144.25");
    EXPECT_EQ(shared.snapshot()->siyi.ip, "10.0.0.2");
}

TEST(SharedConfig, SuccessfulUpdateIsSaved)
{
    testsupport::TempDir dir;
    SharedConfig shared{AppConfig{}};
    ASSERT_TRUE(shared.applyHotUpdate(json::parse(R"({"stats":{"web_port":18181}})"), dir.file("c.json")));
    EXPECT_EQ(json::parse(testsupport::read_file(dir.file("c.json")))["stats"]["web_port"], 18181);
}

TEST(SharedConfig, UpdateWithoutHotKeysPublishesAndSavesNothing)
{
    testsupport::TempDir dir;
    SharedConfig shared{AppConfig{}};
    const auto before = shared.snapshot();
    EXPECT_FALSE(shared.applyHotUpdate(json::parse(R"({"mission":{"fs_idle":3}})"), dir.file("c.json")));
    EXPECT_EQ(shared.snapshot(), before);
    EXPECT_FALSE(testsupport::file_exists(dir.file("c.json")));
}

TEST(SharedConfig, FailedSaveStillPublishes)
{
    testsupport::TempDir dir;
    SharedConfig shared{AppConfig{}};
    EXPECT_TRUE(shared.applyHotUpdate(json::parse(R"({"mqtt":{"host":"broker"}})"), dir.file("no/such/c.json")));
    EXPECT_EQ(shared.snapshot()->mqtt.host, "broker");
}

// Readers on several threads read whole strings while hot updates replace
// them; under ThreadSanitizer any unsynchronised access is reported, and
// every value read must be one of the values ever published.
TEST(SharedConfig, ReadersNeverSeeAHalfAssignedValue)
{
    // Long values: a torn copy of a heap-allocated string would show.
    const std::string url_a = "http://platform-a.example:8087/" + std::string(200, 'a');
    const std::string url_b = "http://platform-b.example:8087/" + std::string(300, 'b');
    const std::string default_url = AppConfig{}.platform.url;
    SharedConfig shared{AppConfig{}};
    // Saving goes to a directory that does not exist: the race under test is
    // in memory, and a failed save costs no disk time.
    testsupport::TempDir dir;
    const std::string save_path = dir.file("missing/config.json");

    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::atomic<long> bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const auto snap = shared.snapshot();
                const std::string url = snap->platform.url;
                const std::string site = snap->platform.site_id;
                const bool url_ok = url == url_a || url == url_b || url == default_url;
                // Both values of one update are seen together.
                const bool pair_ok = (url == url_a && site == "site-a") || (url == url_b && site == "site-b") ||
                                     (url == default_url && site == "qtpe-8264");
                if (!url_ok || !pair_ok) ++bad;
                ++reads;
            }
        });
    }

    std::thread writer([&] {
        for (int i = 0; i < 400; ++i) {
            const bool a = i % 2 == 0;
            shared.applyHotUpdate({{"platform", {{"url", a ? url_a : url_b}, {"site_id", a ? "site-a" : "site-b"}}}},
                                  save_path);
        }
    });
    writer.join();
    testsupport::wait_until([&] { return reads.load() > 1000; }, std::chrono::seconds(5));
    stop = true;
    for (auto& t : readers) t.join();

    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(shared.snapshot()->platform.url, url_b);
}
