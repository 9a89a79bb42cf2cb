#include <string>
#include <vector>

#include "mission_fakes.h"

using namespace fakes;

// The platform's address and key are read at each upload: a hot update
// applies to the next log.
TEST(LogUpload, OneAttemptWithTheSiteKeyAndItsOutcomeLine) {
    struct Row {
        const char* content;  // null: no log
        HttpReply reply;
        std::string line;  // %s: the log's path
    };
    for (const Row& row :
         std::vector<Row>{{"{}\n", {200, "{\"code\":0}"}, "[LOG] Uploaded normal log: %s resp={\"code\":0}\n"},
                          {"{}\n", {502, "bad gateway"}, "[LOG] Failed to upload normal log: %s\n"},
                          {"", {}, "[LOG] Not uploading %s: empty\n"},
                          {nullptr, {}, "[LOG] Not uploading %s: missing\n"}}) {
        SCOPED_TRACE(row.line);
        TempDir dir;
        const std::string path = dir.file("client_log.jsonl");
        if (row.content) testsupport::write_file(path, row.content);
        Harness h;
        h.http.post_reply = [&] { return row.reply; };
        h.build();
        h.shared->applyHotUpdate({{"platform", {{"url", "http://10.0.0.9:1"}, {"site_id", "s-2"}}}},
                                 dir.file("config.json"));
        std::string expected = row.line;
        expected.replace(expected.find("%s"), 2, path);
        EXPECT_EQ(output_of([&] { h.core->logs.upload(dir.path()); }), expected);
        const bool sent = row.content && *row.content;
        ASSERT_EQ(h.http.posts.size(), sent ? 1u : 0u) << "never retried";
        if (!sent) continue;
        const auto post = h.http.posts[0];
        EXPECT_EQ(post.url, "http://10.0.0.9:1/carUavBackend/logFileArchive/saveUavNormalLog");
        EXPECT_EQ(post.fields, (std::map<std::string, std::string>{{"siteAccessKey", "s-2"}}));
        EXPECT_EQ(post.content, "{}\n");
    }
}
