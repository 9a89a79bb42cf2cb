#include <string>
#include <vector>

#include "mission_fakes.h"

using namespace fakes;

TEST(LogUpload, OneAttemptWithTheSiteKeyAndItsOutcomeLine) {
    struct Row {
        HttpReply reply;
        std::string line;  // after the path
    };
    for (const Row& row : std::vector<Row>{{{200, "{\"code\":0}"}, "[LOG] Uploaded normal log: %s resp={\"code\":0}\n"},
                                           {{502, "bad gateway"}, "[LOG] Failed to upload normal log: %s\n"},
                                           {{0, ""}, "[LOG] Failed to upload normal log: %s\n"}}) {
        SCOPED_TRACE(row.line);
        TempDir dir;
        const std::string path = dir.file("client_log.jsonl");
        testsupport::write_file(path, "{\"event\":\"finished\"}\n");
        Harness h;
        h.http.post_reply = [&] { return row.reply; };
        h.build();
        std::string expected = row.line;
        expected.replace(expected.find("%s"), 2, path);
        EXPECT_EQ(output_of([&] { h.core->logs.upload(dir.path()); }), expected);
        ASSERT_EQ(h.http.posts.size(), 1u) << "never retried";
        const auto& post = h.http.posts[0];
        EXPECT_EQ(post.url, "http://127.0.0.1:8087/carUavBackend/logFileArchive/saveUavNormalLog");
        EXPECT_EQ(post.field_name, "file");
        EXPECT_EQ(post.fields, (std::map<std::string, std::string>{{"siteAccessKey", "qtpe-8264"}}));
        EXPECT_EQ(post.content, "{\"event\":\"finished\"}\n");
    }
}

TEST(LogUpload, MissingOrEmptyLogMakesNoRequestAndHotUpdatedUrlAndSiteAreUsed) {
    TempDir dir;
    Harness h;
    h.build();
    const std::string path = dir.file("client_log.jsonl");
    EXPECT_EQ(output_of([&] { h.core->logs.upload(dir.path()); }), "[LOG] Not uploading " + path + ": missing\n");
    testsupport::write_file(path, "");
    EXPECT_EQ(output_of([&] { h.core->logs.upload(dir.path()); }), "[LOG] Not uploading " + path + ": empty\n");
    EXPECT_TRUE(h.http.posts.empty());

    testsupport::write_file(dir.file("client_log.jsonl"), "{}\n");
    h.shared->applyHotUpdate({{"platform", {{"url", "http://10.0.0.9:1"}, {"site_id", "s-2"}}}},
                             dir.file("config.json"));
    output_of([&] { h.core->logs.upload(dir.path()); });
    ASSERT_EQ(h.http.posts.size(), 1u);
    EXPECT_EQ(h.http.posts[0].url, "http://10.0.0.9:1/carUavBackend/logFileArchive/saveUavNormalLog");
    EXPECT_EQ(h.http.posts[0].fields.at("siteAccessKey"), "s-2");
}
