#include <gtest/gtest.h>

#include "app/mission_status.h"

using nlohmann::json;

TEST(PlatformStatusText, ThreeMembersHaveFixedTexts)
{
    EXPECT_EQ(http_status_code(KOVOMissionStatus::START_SENT), "400");
    EXPECT_EQ(http_status_code(KOVOMissionStatus::START_FAILED), "415");
    EXPECT_EQ(http_status_code(KOVOMissionStatus::RETURNING), "416");
}

TEST(PlatformStatusText, OthersAreTheirValue)
{
    EXPECT_EQ(http_status_code(KOVOMissionStatus::TAKEOFF), "406");
    EXPECT_EQ(http_status_code(KOVOMissionStatus::EXECUTING), "408");
    EXPECT_EQ(http_status_code(KOVOMissionStatus::LANDING), "410");
    EXPECT_EQ(http_status_code(KOVOMissionStatus::TASK_ENDED), "411");
    EXPECT_EQ(http_status_code(KOVOMissionStatus::FINISHED), "414");
}

TEST(StatusCodes, AreTheEnumValues)
{
    EXPECT_EQ(kovo_status_code(KOVOMissionStatus::START_SENT), 1);
    EXPECT_EQ(kovo_status_code(KOVOMissionStatus::START_FAILED), 5);
    EXPECT_EQ(kovo_status_code(KOVOMissionStatus::RETURNING), 12);
    EXPECT_EQ(kovo_status_code(KOVOMissionStatus::FINISHED), 414);
    EXPECT_EQ(socketio_status_code(SocketIOMissionStatus::NO_MISSION), 0);
    EXPECT_EQ(socketio_status_code(SocketIOMissionStatus::WAITING), 1);
    EXPECT_EQ(socketio_status_code(SocketIOMissionStatus::FLYING), 4);
    EXPECT_EQ(socketio_status_code(SocketIOMissionStatus::COMPLETED), 6);
    EXPECT_EQ(socketio_status_code(SocketIOMissionStatus::RETURNING), 12);
}

using Pair = std::pair<std::string, std::string>;

TEST(WarehouseNum, LoneStringCountsOne)
{
    EXPECT_EQ(parseWarehouseNum("A03"), Pair("A03", "1"));
    EXPECT_EQ(parseWarehouseNum(""), Pair("", "1"));
}

TEST(WarehouseNum, ArrayGivesFirstStringAndCount)
{
    EXPECT_EQ(parseWarehouseNum(json::array({"A01", "A02", "A05"})), Pair("A01", "3"));
    EXPECT_EQ(parseWarehouseNum(json::array({1, "C7", nullptr})), Pair("C7", "1"));
    EXPECT_EQ(parseWarehouseNum(json::array({"", "X"})), Pair("", "2"));
    EXPECT_EQ(parseWarehouseNum(json::array({"A", "A"})), Pair("A", "2"));
}

TEST(WarehouseNum, NestedArraysAreWalkedDepthFirst)
{
    EXPECT_EQ(parseWarehouseNum(json::parse(R"([["B1","B2"],"B3"])")), Pair("B1", "3"));
    EXPECT_EQ(collect_warehouse_nums(json::parse(R"([["a",["b",{"x":"no"}]],[],"c",[[["d"]]]])")),
              (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(WarehouseNum, NothingUsableGivesTwoEmptyTexts)
{
    for (const json& v : {json::array(), json::array({1, 2.5, true}), json(7), json::object({{"a", "A01"}}),
                          json(nullptr), json(false), json::parse(R"([[],[[]]])")}) {
        EXPECT_EQ(parseWarehouseNum(v), Pair("", "")) << v.dump();
    }
}

TEST(WarehouseNum, DeepNestingDoesNotExhaustTheStack)
{
    json v = "deep";
    for (int i = 0; i < 100000; ++i) v = json::array({std::move(v)});
    EXPECT_EQ(parseWarehouseNum(v), Pair("deep", "1"));
}
