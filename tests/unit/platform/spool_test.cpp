#include "platform/spool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "test_support.h"

using namespace kovo::platform;
using testsupport::TempDir;

namespace {

std::vector<std::string> bodies(SpoolQueue& q) {
    std::vector<std::string> out;
    for (const auto& e : q.entries()) {
        std::string body;
        EXPECT_TRUE(q.read(e.seq, body));
        out.push_back(body);
    }
    return out;
}

TEST(Spool, KeepsOrderBodiesAndFilesAcrossARestartAndNumbersOnAfterIt) {
    TempDir dir;
    testsupport::write_file(dir.file("IMG_0001.jpg"), "JPEG");
    {
        SpoolQueue q(dir.file("q"));
        ASSERT_TRUE(q.open(nullptr));
        ASSERT_EQ(q.append("report", 10, "first\nline"), 1u);
        ASSERT_EQ(q.append("upload", 20, "second", dir.file("IMG_0001.jpg")), 2u);
        ASSERT_EQ(q.append("report", 30, std::string("third\0zero", 10)), 3u);
        q.remove(1);
    }
    ::unlink(dir.file("IMG_0001.jpg").c_str());  // the spool has its own copy
    SpoolQueue q(dir.file("q"));
    ASSERT_TRUE(q.open(nullptr));
    EXPECT_EQ(bodies(q), (std::vector<std::string>{"second", std::string("third\0zero", 10)}));
    EXPECT_EQ(testsupport::read_file(q.filesDir(2) + "/IMG_0001.jpg"), "JPEG");
    EXPECT_EQ(q.entries()[0].kind, "upload");
    EXPECT_EQ(q.entries()[0].created_ms, 20);
    EXPECT_EQ(q.append("report", 40, "fourth"), 4u) << "never reuses a number";
    q.remove(2);
    EXPECT_FALSE(testsupport::file_exists(q.filesDir(2)));
    EXPECT_EQ(bodies(q).size(), 2u);
}

TEST(Spool, TornEntriesAreSetAsideWithOneLineAndLeftoversRemoved) {
    struct Row {
        const char* name;
        std::function<std::string(const std::string& entry)> damage;
    };
    const std::vector<Row> rows{
        {"cut short", [](const std::string& s) { return s.substr(0, 45); }},
        {"flipped byte",
         [](const std::string& s) { return s.substr(0, s.size() - 1) + static_cast<char>(s.back() ^ 1); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string qdir = dir.file("q");
        uint64_t torn = 0;
        {
            SpoolQueue q(qdir);
            ASSERT_TRUE(q.open(nullptr));
            q.append("report", 1, "good one");
            torn = q.append("report", 2, "this body is damaged later");
            q.append("report", 3, "good two");
        }
        const std::string torn_name = SpoolQueue(qdir).filesDir(torn);
        const std::string torn_entry = torn_name.substr(0, torn_name.size() - 2) + ".msg";
        testsupport::write_file(torn_entry, row.damage(testsupport::read_file(torn_entry)));
        testsupport::write_file(qdir + "/00000000000000000009.msg.tmp", "half");
        ::mkdir((qdir + "/00000000000000000008.d").c_str(), 0700);
        testsupport::LogCapture log(false);
        SpoolQueue q(qdir);
        ASSERT_TRUE(q.open(nullptr));
        EXPECT_EQ(bodies(q), (std::vector<std::string>{"good one", "good two"}));
        EXPECT_EQ(
            log.count("[SPOOL] Entry " + qdir + "/00000000000000000002.msg is torn, set aside in " + qdir + "/torn"),
            1u);
        EXPECT_EQ(testsupport::directory_entries(qdir),
                  (std::set<std::string>{"00000000000000000001.msg", "00000000000000000003.msg", "torn"}));
        EXPECT_EQ(q.append("report", 4, "next"), 4u);
    }
}

TEST(Spool, BoundsDropTheOldestOfBothQueuesFirstWithOneLine) {
    struct Row {
        uint64_t max_bytes;
        int64_t max_age_ms, now_ms;
        std::vector<std::string> reports_left, uploads_left;
        uint64_t dropped;
    };
    // Entries: report "r1" at 100, upload "u1" at 200, report "r2" at 300; 32 bytes each.
    const std::vector<Row> rows{
        {1 << 20, 1000, 1050, {"r1", "r2"}, {"u1"}, 0},
        {1 << 20, 1000, 1250, {"r2"}, {}, 2},
        {70, 1000, 300, {"r2"}, {"u1"}, 1},
        {0, 1000, 300, {}, {}, 3},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.dropped);
        TempDir dir;
        Spool spool(dir.path(), row.max_bytes, row.max_age_ms);
        ASSERT_TRUE(spool.open(nullptr));
        spool.reports().append("report", 100, "r1");
        spool.uploads().append("upload", 200, "u1");
        spool.reports().append("report", 300, "r2");
        testsupport::LogCapture log(false);
        EXPECT_EQ(spool.enforceBounds(row.now_ms), row.dropped);
        EXPECT_EQ(bodies(spool.reports()), row.reports_left);
        EXPECT_EQ(bodies(spool.uploads()), row.uploads_left);
        EXPECT_EQ(spool.dropped(), row.dropped);
        EXPECT_EQ(log.count("[SPOOL] Dropped " + std::to_string(row.dropped) + " oldest entries"),
                  row.dropped > 0 ? 1u : 0u);
    }
}

}  // namespace
