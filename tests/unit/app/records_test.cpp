#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "app/records.h"
#include "test_support.h"

using nlohmann::json;
using testsupport::read_file;
using testsupport::TempDir;

namespace {

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const json kNested = json::parse(R"({"b":{"c":[1,"é"]},"a":1})");

}  // namespace

TEST(CurrentTime, DefaultPatternIsNineteenCharactersOfLocalTime)
{
    const std::time_t before = std::time(nullptr);
    const std::string text = format_current_time("%Y-%m-%d %H:%M:%S");
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(text.size(), 19u) << text;
    std::tm parsed{};
    ASSERT_NE(::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &parsed), nullptr);
    parsed.tm_isdst = -1;
    const std::time_t back = std::mktime(&parsed);
    // time() reads a coarse clock that may trail the system clock by a tick.
    EXPECT_GE(back, before - 1);
    EXPECT_LE(back, after + 1);
}

TEST(CurrentTime, OtherPatterns)
{
    EXPECT_EQ(format_current_time("%Y").size(), 4u);
    EXPECT_EQ(format_current_time("fixed"), "fixed");
    EXPECT_EQ(format_current_time(""), "");
    EXPECT_EQ(format_current_time(std::string(1000, 'x')), std::string(1000, 'x'));
}

TEST(WriteJsonFile, IndentedNoFinalNewline)
{
    TempDir dir;
    write_json_file(dir.file("m.json"), kNested, 2);
    EXPECT_EQ(read_file(dir.file("m.json")), "{\n  \"a\": 1,\n  \"b\": {\n    \"c\": [\n      1,\n      \"é\"\n    ]\n  }\n}");
}

TEST(WriteJsonFile, NegativeIndentIsOneLine)
{
    TempDir dir;
    write_json_file(dir.file("m.json"), kNested, -1);
    EXPECT_EQ(read_file(dir.file("m.json")), R"({"a":1,"b":{"c":[1,"é"]}})");
}

TEST(WriteJsonFile, ReplacesTheFileWholeAndLeavesNoTemporary)
{
    TempDir dir;
    write_json_file(dir.file("m.json"), json::object({{"long", std::string(5000, 'x')}}), 2);
    write_json_file(dir.file("m.json"), json::object({{"short", 1}}), -1);
    EXPECT_EQ(read_file(dir.file("m.json")), R"({"short":1})");
    EXPECT_EQ(testsupport::directory_entries(dir.path()).size(), 1u);
}

TEST(WriteJsonFile, ConcurrentWritersLeaveOneWholeFile)
{
    TempDir dir;
    const std::string path = dir.file("m.json");
    const json a = {{"writer", std::string(20000, 'a')}};
    const json b = {{"writer", std::string(30000, 'b')}};
    std::thread ta([&] {
        for (int i = 0; i < 30; ++i) write_json_file(path, a, 2);
    });
    std::thread tb([&] {
        for (int i = 0; i < 30; ++i) write_json_file(path, b, 2);
    });
    ta.join();
    tb.join();
    const json written = json::parse(read_file(path));
    EXPECT_TRUE(written == a || written == b);
    EXPECT_EQ(testsupport::directory_entries(dir.path()).size(), 1u);
}

TEST(WriteJsonFile, MissingDirectoryIsSilent)
{
    TempDir dir;
    write_json_file(dir.file("absent/m.json"), kNested, 2);
    write_json_file("", kNested, 2);
    EXPECT_FALSE(testsupport::file_exists(dir.file("absent/m.json")));
    EXPECT_EQ(testsupport::directory_entries(dir.path()).size(), 0u);
}

TEST(WriteJsonFile, InvalidUtf8IsReplaced)
{
    TempDir dir;
    write_json_file(dir.file("m.json"), json::object({{"name", std::string("ok\xc3(bad", 7)}}), -1);
    EXPECT_EQ(read_file(dir.file("m.json")), "{\"name\":\"ok\xEF\xBF\xBD(bad\"}");
}

TEST(AppendJsonl, TwoAppendsAreTwoLines)
{
    TempDir dir;
    append_jsonl(dir.file("log.jsonl"), kNested);
    append_jsonl(dir.file("log.jsonl"), json::object({{"event", "b"}}));
    EXPECT_EQ(read_file(dir.file("log.jsonl")), "{\"a\":1,\"b\":{\"c\":[1,\"é\"]}}\n{\"event\":\"b\"}\n");
}

TEST(AppendJsonl, KeepsWhatWasThere)
{
    TempDir dir;
    testsupport::write_file(dir.file("log.jsonl"), "{\"earlier\":true}\n");
    append_jsonl(dir.file("log.jsonl"), json::object({{"n", 1}}));
    EXPECT_EQ(read_file(dir.file("log.jsonl")), "{\"earlier\":true}\n{\"n\":1}\n");
}

TEST(AppendJsonl, MissingDirectoryIsSilent)
{
    TempDir dir;
    append_jsonl(dir.file("absent/log.jsonl"), kNested);
    EXPECT_EQ(testsupport::directory_entries(dir.path()).size(), 0u);
}

TEST(AppendJsonl, InvalidUtf8KeepsTheRecord)
{
    TempDir dir;
    append_jsonl(dir.file("log.jsonl"), json::object({{"photo", std::string("\xff\xfe.jpg", 6)}, {"n", 2}}));
    const auto lines = lines_of(read_file(dir.file("log.jsonl")));
    ASSERT_EQ(lines.size(), 1u);
    const json record = json::parse(lines[0]);
    EXPECT_EQ(record["photo"], "\xEF\xBF\xBD\xEF\xBF\xBD.jpg");
    EXPECT_EQ(record["n"], 2);
}

TEST(AppendJsonl, ConcurrentLinesNeverInterleave)
{
    TempDir dir;
    const std::string path = dir.file("log.jsonl");
    constexpr int kThreads = 4;
    constexpr int kRecords = 500;
    const auto record = [](int t, int i) {
        return json{{"t", t}, {"i", i}, {"fill", std::string(1000 + t * 100, static_cast<char>('a' + t))}};
    };
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&path, &record, t] {
            for (int i = 0; i < kRecords; ++i) append_jsonl(path, record(t, i));
        });
    }
    for (auto& w : writers) w.join();

    std::multiset<std::string> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kRecords; ++i) expected.insert(record(t, i).dump());
    }
    const auto lines = lines_of(read_file(path));
    EXPECT_EQ(lines.size(), expected.size());
    // Compared as a whole: a failure would otherwise print megabytes.
    EXPECT_TRUE(std::multiset<std::string>(lines.begin(), lines.end()) == expected);
}

TEST(GenUuid, ClockDashCounter)
{
    const std::string a = gen_uuid();
    const std::string b = gen_uuid();
    const auto dash_a = a.find('-');
    const auto dash_b = b.find('-');
    ASSERT_NE(dash_a, std::string::npos);
    ASSERT_NE(dash_b, std::string::npos);
    EXPECT_EQ(std::stol(b.substr(dash_b + 1)), std::stol(a.substr(dash_a + 1)) + 1);
    EXPECT_LE(std::stoll(a.substr(0, dash_a)), std::stoll(b.substr(0, dash_b)));
    EXPECT_EQ(a.find_first_not_of("0123456789-"), std::string::npos);
}

TEST(GenUuid, ConcurrentCallsNeverShareACounter)
{
    constexpr int kThreads = 4;
    constexpr int kCalls = 2000;
    std::vector<std::vector<std::string>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < kCalls; ++i) ids[t].push_back(gen_uuid());
        });
    }
    for (auto& th : threads) th.join();
    std::set<long> counters;
    for (const auto& list : ids) {
        for (const std::string& id : list) counters.insert(std::stol(id.substr(id.find('-') + 1)));
    }
    ASSERT_EQ(counters.size(), static_cast<size_t>(kThreads * kCalls));
    EXPECT_EQ(*counters.rbegin() - *counters.begin(), kThreads * kCalls - 1);
}
