#include <gtest/gtest.h>

#include <string>

#include "mission_fakes.h"
#include "test_support.h"

namespace {

const char* kLogUrl = "http://127.0.0.1:8087/carUavBackend/logFileArchive/saveUavNormalLog";

class LogUpload : public ::testing::Test {
protected:
    void SetUp() override { h.build(); }
    std::string upload() { return fakes::printed([&] { h.core->logs.uploadAsync(dir.path()); }); }

    testsupport::TempDir dir;
    fakes::Harness h;
};

}  // namespace

TEST_F(LogUpload, MissingLogMakesNoRequestAndNoLine)
{
    EXPECT_EQ(upload(), "");
    EXPECT_TRUE(h.http.posts.empty());
}

TEST_F(LogUpload, SendsTheClientLogWithTheSiteKey)
{
    testsupport::write_file(dir.file("client_log.jsonl"), "{\"event\":\"finished\"}\n");
    const std::string out = upload();
    ASSERT_EQ(h.http.posts.size(), 1u);
    const auto& post = h.http.posts[0];
    EXPECT_EQ(post.url, kLogUrl);
    EXPECT_EQ(post.field_name, "file");
    EXPECT_EQ(post.fields, (std::map<std::string, std::string>{{"siteAccessKey", "site-1"}}));
    EXPECT_EQ(post.content, "{\"event\":\"finished\"}\n");
    EXPECT_EQ(out, "[LOG] Uploaded normal log: " + dir.file("client_log.jsonl") + " resp={\"code\":0}\n");
}

TEST_F(LogUpload, ErrorStatusPrintsTheFailureLine)
{
    testsupport::write_file(dir.file("client_log.jsonl"), "{}\n");
    h.http.post_reply = [](const std::string&) { return fakes::HttpReply{true, 502, "bad gateway"}; };
    EXPECT_EQ(upload(), "[LOG] Failed to upload normal log: " + dir.file("client_log.jsonl") + "\n");
    EXPECT_EQ(h.http.posts.size(), 1u) << "no retry";
}

TEST_F(LogUpload, UnreachablePlatformPrintsTheFailureLineOnce)
{
    testsupport::write_file(dir.file("client_log.jsonl"), "{}\n");
    h.http.post_reply = [](const std::string&) { return fakes::HttpReply{false, 0, ""}; };
    const std::string out = upload();
    EXPECT_EQ(out, "[LOG] Failed to upload normal log: " + dir.file("client_log.jsonl") + "\n");
    EXPECT_EQ(h.http.posts.size(), 1u);
}

TEST(LogUploadUrl, HotUpdatedPlatformUrlIsUsed)
{
    testsupport::TempDir dir;
    testsupport::write_file(dir.file("client_log.jsonl"), "{}\n");
    fakes::Harness h;
    h.build();
    h.shared->applyHotUpdate({{"platform", {{"url", "http://10.0.0.9:1"}}}}, dir.file("config.json"));
    fakes::printed([&] { h.core->logs.upload(dir.path()); });
    ASSERT_EQ(h.http.posts.size(), 1u);
    EXPECT_EQ(h.http.posts[0].url, "http://10.0.0.9:1/carUavBackend/logFileArchive/saveUavNormalLog");
}
