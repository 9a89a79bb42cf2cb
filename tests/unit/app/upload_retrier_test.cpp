#include "app/upload_retrier.h"

#include <string>
#include <vector>

#include "mission_fakes.h"

using namespace fakes;
using kovo::app::SpooledUpload;
using kovo::app::UploadRetrier;

constexpr int64_t kHour = 3600 * 1000;

TEST(UploadRetrier, RetriesWithGrowingPausesThenGivesUpWhatOutlivesTheAgeBound) {
    TempDir dir;
    kovo::platform::Spool spool{dir.file("spool"), 1 << 20, 2 * kHour};
    FakeHttp http;
    int64_t now = 1000000;
    UploadRetrier retrier{spool, http, [&now] { return now; }};
    ASSERT_TRUE(spool.open(nullptr));
    const auto photo = [&dir](const std::string& name) {
        testsupport::write_file(dir.file(name), "JPEG " + name);
        return SpooledUpload{"http://127.0.0.1:1/up", dir.file(name), "", {{"height", "1.5"}}, "", "H-7"};
    };
    testsupport::LogCapture log(false);
    std::vector<int> replies{500, 500, 0, 500, 200, 200};
    size_t next_reply = 0;
    http.post_reply = [&] { return HttpReply{replies[next_reply++], "ok"}; };
    retrier.spool(photo("a.jpg"));
    retrier.spool(photo("b.jpg"));
    ::unlink(dir.file("a.jpg").c_str());
    // Just spooled: the mission's attempts have failed, the first retry waits.
    EXPECT_EQ(retrier.runPass(), UploadRetrier::kFirstPauseMs);
    EXPECT_TRUE(http.posts.all().empty());
    std::vector<int64_t> waits;
    for (int pass = 0; pass < 8 && spool.uploads().count() > 0; ++pass) {
        now += UploadRetrier::kFirstPauseMs * 16;
        waits.push_back(retrier.runPass());
    }
    // a: 500, b: 500; a: no answer (b not tried); a: 500, b: 200; a: 200.
    EXPECT_EQ(waits, (std::vector<int64_t>{10000, 20000, 40000, -1}));
    // The last try: the spooled copy of a.jpg, its form kept.
    EXPECT_EQ(http.posts.back().content, "JPEG a.jpg");
    EXPECT_EQ(http.posts.back().fields, (std::map<std::string, std::string>{{"height", "1.5"}}));
    EXPECT_EQ(spool.uploads().bytes(), 0u);
    EXPECT_EQ(spool.lastError(), "upload of a.jpg: HTTP 500");

    // A camera picture is fetched first; a failed fetch costs that upload only.
    http.post_reply = nullptr;
    http.download_reply = [] { return HttpReply{404, "no"}; };
    retrier.spool({"http://127.0.0.1:1/up", "", "http://127.0.0.1:2/photo/IMG_0003.jpg", {}, "", "H-8"});
    retrier.spool(photo("c.jpg"));
    retrier.wake();
    EXPECT_EQ(retrier.runPass(), UploadRetrier::kFirstPauseMs);
    EXPECT_EQ(http.posts.back().content, "JPEG c.jpg");
    http.download_reply = nullptr;
    now += UploadRetrier::kFirstPauseMs;
    EXPECT_EQ(retrier.runPass(), -1);
    EXPECT_EQ(http.posts.back().content, "JPEG:http://127.0.0.1:2/photo/IMG_0003.jpg");
    EXPECT_EQ(kovo::platform::base_name(http.posts.back().path), "IMG_0003.jpg");

    retrier.spool(photo("d.jpg"));
    http.post_reply = [] { return HttpReply{0, ""}; };
    const size_t posts = http.posts.size();
    now += 2 * kHour + 1;
    EXPECT_EQ(retrier.runPass(), -1);
    EXPECT_EQ(log.count("[SPOOL] Giving up the upload of d.jpg of mission H-7: not accepted in 2 hours"), 1u);
    EXPECT_EQ(http.posts.size(), posts);
    EXPECT_EQ(spool.uploads().count(), 0u);
}
