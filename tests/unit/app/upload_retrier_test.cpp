#include "app/upload_retrier.h"

#include <string>
#include <vector>

#include "mission_fakes.h"

using namespace fakes;
using kovo::app::SpooledUpload;
using kovo::app::UploadRetrier;

namespace {

constexpr int64_t kHour = 3600 * 1000;

struct Rig {
    TempDir dir;
    kovo::platform::Spool spool{dir.file("spool"), 1 << 20, 2 * kHour};
    FakeHttp http;
    int64_t now = 1000000;
    UploadRetrier retrier{spool, http, [this] { return now; }};
    Rig() { EXPECT_TRUE(spool.open(nullptr)); }
    SpooledUpload photo(const std::string& name) {
        testsupport::write_file(dir.file(name), "JPEG " + name);
        return {"http://127.0.0.1:1/up", dir.file(name), "", {{"height", "1.5"}}, "", "H-7"};
    }
};

TEST(UploadRetrier, RetriesWithGrowingPausesThenGivesUpWhatOutlivesTheAgeBound) {
    Rig rig;
    testsupport::LogCapture log(false);
    std::vector<int> replies{500, 500, 0, 500, 200, 200};
    size_t next_reply = 0;
    rig.http.post_reply = [&] { return HttpReply{replies[next_reply++], "ok"}; };
    rig.retrier.spool(rig.photo("a.jpg"));
    rig.retrier.spool(rig.photo("b.jpg"));
    ::unlink(rig.dir.file("a.jpg").c_str());
    // Just spooled: the mission's attempts have failed, the first retry waits.
    EXPECT_EQ(rig.retrier.runPass(), UploadRetrier::kFirstPauseMs);
    EXPECT_TRUE(rig.http.posts.all().empty());
    std::vector<int64_t> waits;
    for (int pass = 0; pass < 8 && rig.spool.uploads().count() > 0; ++pass) {
        rig.now += UploadRetrier::kFirstPauseMs * 16;
        waits.push_back(rig.retrier.runPass());
    }
    // a: 500, b: 500; a: no answer (b not tried); a: 500, b: 200; a: 200.
    EXPECT_EQ(waits, (std::vector<int64_t>{10000, 20000, 40000, -1}));
    // The last try: the spooled copy of a.jpg, its form kept.
    EXPECT_EQ(rig.http.posts.back().content, "JPEG a.jpg");
    EXPECT_EQ(rig.http.posts.back().fields, (std::map<std::string, std::string>{{"height", "1.5"}}));
    EXPECT_EQ(rig.spool.uploads().bytes(), 0u);
    EXPECT_EQ(rig.spool.lastError(), "upload of a.jpg: HTTP 500");

    // A camera picture is fetched first; a failed fetch costs that upload only.
    rig.http.post_reply = nullptr;
    rig.http.download_reply = [] { return HttpReply{404, "no"}; };
    rig.retrier.spool({"http://127.0.0.1:1/up", "", "http://127.0.0.1:2/photo/IMG_0003.jpg", {}, "", "H-8"});
    rig.retrier.spool(rig.photo("c.jpg"));
    rig.retrier.wake();
    EXPECT_EQ(rig.retrier.runPass(), UploadRetrier::kFirstPauseMs);
    EXPECT_EQ(rig.http.posts.back().content, "JPEG c.jpg");
    rig.http.download_reply = nullptr;
    rig.now += UploadRetrier::kFirstPauseMs;
    EXPECT_EQ(rig.retrier.runPass(), -1);
    EXPECT_EQ(rig.http.posts.back().content, "JPEG:http://127.0.0.1:2/photo/IMG_0003.jpg");
    EXPECT_EQ(kovo::platform::base_name(rig.http.posts.back().path), "IMG_0003.jpg");

    rig.retrier.spool(rig.photo("d.jpg"));
    rig.http.post_reply = [] { return HttpReply{0, ""}; };
    const size_t posts = rig.http.posts.size();
    rig.now += 2 * kHour + 1;
    EXPECT_EQ(rig.retrier.runPass(), -1);
    EXPECT_EQ(log.count("[SPOOL] Giving up the upload of d.jpg of mission H-7: not accepted in 2 hours"), 1u);
    EXPECT_EQ(rig.http.posts.size(), posts);
    EXPECT_EQ(rig.spool.uploads().count(), 0u);
}

}  // namespace
