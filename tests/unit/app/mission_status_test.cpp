#include <gtest/gtest.h>

#include "app/mission/mission_status.h"

using namespace kovo::app;

using nlohmann::json;
using Pair = std::pair<std::string, std::string>;

// The first string, depth first, and the number of strings.
TEST(WarehouseNum, FirstStringAndCount) {
    const std::pair<const char*, Pair> rows[] = {
        {R"("A03")", {"A03", "1"}},
        {R"(["A01","A02","A05"])", {"A01", "3"}},
        {R"([1,"C7",null])", {"C7", "1"}},
        {R"(["","X"])", {"", "2"}},
        {R"([["B1","B2"],"B3"])", {"B1", "3"}},
        {R"([[],[["a",{"x":"no"}]],"b"])", {"a", "2"}},
        // Nothing usable: two empty texts.
        {"[]", {"", ""}},
        {"[1,2.5,true]", {"", ""}},
        {R"({"a":"A01"})", {"", ""}},
        {"[[],[[]]]", {"", ""}},
    };
    for (const auto& [doc, pair] : rows)
        EXPECT_EQ(parse_warehouse_num(json::parse(doc)), pair) << doc;
    EXPECT_EQ(collect_warehouse_nums(json::parse(R"([["a",["b",{"x":"no"}]],[],"c",[[["d"]]]])")),
              (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(WarehouseNum, DeepNestingDoesNotExhaustTheStack) {
    json v = "deep";
    for (int i = 0; i < 100000; ++i)
        v = json::array({std::move(v)});
    EXPECT_EQ(parse_warehouse_num(v), Pair("deep", "1"));
}
