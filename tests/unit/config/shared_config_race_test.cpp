#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "config/shared_config.h"
#include "test_support.h"

using kovo::config::AppConfig;
using kovo::config::SharedConfig;

// Readers on several threads copy strings while hot updates replace them:
// ThreadSanitizer reports any unsynchronised access, and each pair read must
// be one that was published together (long values, so that a torn copy of a
// heap-allocated string would show).
TEST(SharedConfig, ReadersNeverSeeAHalfAssignedValue) {
    const std::string url[2] = {"http://a/" + std::string(200, 'a'), "http://b/" + std::string(300, 'b')};
    AppConfig initial;
    initial.platform.url = url[0];
    initial.platform.site_id = "site-0";
    SharedConfig shared{initial};
    testsupport::TempDir dir;
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, bad{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            for (; !stop; ++reads) {
                const auto snap = shared.snapshot();
                const std::string u = snap->platform.url;
                const std::string site = snap->platform.site_id;
                if (!(u == url[0] && site == "site-0") && !(u == url[1] && site == "site-1")) ++bad;
            }
        });
    }
    for (int i = 1; i <= 100; ++i) {
        const std::string n = std::to_string(i % 2);
        shared.applyHotUpdate({{"platform", {{"url", url[i % 2]}, {"site_id", "site-" + n}}}}, dir.file("c.json"));
    }
    testsupport::wait_until([&] { return reads > 1000; }, std::chrono::seconds(5));
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(shared.snapshot()->platform.url, url[0]);
}
