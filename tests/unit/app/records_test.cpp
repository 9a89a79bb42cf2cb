#include <cerrno>
#include <set>
#include <thread>
#include <vector>

#include "app/mission/records.h"
#include "mission_fakes.h"

using nlohmann::json;
using testsupport::directory_entries;
using testsupport::read_file;
using testsupport::TempDir;

const json kNested = json::parse(R"({"b":{"c":[1,"é"]},"a":1})");

// A file indented or on one line, a log one compact line per record appended; bad UTF-8 replaced in both.
TEST(JsonRecords, BytesWritten) {
    TempDir dir;
    write_json_file(dir.file("m.json"), kNested, 2);
    EXPECT_EQ(read_file(dir.file("m.json")),
              "{\n  \"a\": 1,\n  \"b\": {\n    \"c\": [\n      1,\n      \"é\"\n    ]\n  }\n}");
    write_json_file(dir.file("m.json"), kNested, -1);
    EXPECT_EQ(read_file(dir.file("m.json")), R"({"a":1,"b":{"c":[1,"é"]}})");
    testsupport::write_file(dir.file("log.jsonl"), "{\"earlier\":true}\n");
    append_jsonl(dir.file("log.jsonl"), kNested);
    append_jsonl(dir.file("log.jsonl"), json::object({{"event", "b"}}));
    EXPECT_EQ(read_file(dir.file("log.jsonl")),
              "{\"earlier\":true}\n{\"a\":1,\"b\":{\"c\":[1,\"é\"]}}\n{\"event\":\"b\"}\n");
    write_json_file(dir.file("m.json"), json::object({{"name", std::string("ok\xc3(bad", 7)}}), -1);
    EXPECT_EQ(read_file(dir.file("m.json")), "{\"name\":\"ok\xEF\xBF\xBD(bad\"}");
    append_jsonl(dir.file("bad.jsonl"), json::object({{"photo", std::string("\xff\xfe.jpg", 6)}, {"n", 2}}));
    EXPECT_EQ(read_file(dir.file("bad.jsonl")), "{\"n\":2,\"photo\":\"\xEF\xBF\xBD\xEF\xBF\xBD.jpg\"}\n");
    // Unwritable paths tell why; /dev/full takes no line.
    EXPECT_EQ(write_json_file(dir.file("absent/m.json"), kNested, 2), ENOENT);
    EXPECT_EQ(append_jsonl(dir.file("absent/log.jsonl"), kNested), ENOENT);
    EXPECT_EQ(append_jsonl("/dev/full", kNested), ENOSPC);
    EXPECT_EQ(directory_entries(dir.path()), (std::set<std::string>{"bad.jsonl", "log.jsonl", "m.json"}));
}

TEST(AppendJsonl, ConcurrentLinesNeverInterleave) {
    TempDir dir;
    const std::string path = dir.file("log.jsonl");
    const auto record = [](int t, int i) {
        return json{{"t", t}, {"i", i}, {"fill", std::string(1000 + t * 100, static_cast<char>('a' + t))}};
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i)
                append_jsonl(path, record(t, i));
        });
    }
    for (auto& w : writers)
        w.join();
    // A record written in pieces would interleave with the others' and not parse.
    const std::vector<json> lines = fakes::read_jsonl(path);
    ASSERT_EQ(lines.size(), 2000u);
    for (const json& r : lines)
        ASSERT_EQ(r, record(r["t"], r["i"]));
}
