// The pieces of the px4ctrl link around the message scan: reassembly, the
// send buffer, the lazily built state document and the reconnect back-off.
// The pending command and the choice of frame are followed through the link
// itself (px4ctrl_link_test).
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "px4ctrl/message_assembler.h"
#include "px4ctrl/outgoing_frame.h"
#include "px4ctrl/reconnect_delays.h"
#include "px4ctrl/state_document.h"

using nlohmann::json;
using namespace px4ctrl;
using Result = MessageAssembler::Result;

TEST(MessageAssembler, AWholeMessageIsUsedInPlacePiecesAreJoinedAndAResetForgetsAPart) {
    MessageAssembler a(64);
    const std::string text = "{\"cmd\":1}";
    ASSERT_EQ(a.add(text.data(), text.size(), true), Result::Complete);
    EXPECT_EQ(a.message().data(), text.data());
    EXPECT_EQ(a.add("{\"cmd\"", 6, false), Result::Incomplete);
    EXPECT_EQ(a.add("", 0, false), Result::Incomplete);
    ASSERT_EQ(a.add(":1}", 3, true), Result::Complete);
    EXPECT_EQ(a.message(), text);
    // An empty last piece ends a message too.
    a.add("abc", 3, false);
    ASSERT_EQ(a.add(nullptr, 0, true), Result::Complete);
    EXPECT_EQ(a.message(), "abc");
    a.add("{\"stale\":", 9, false);
    a.reset();
    ASSERT_EQ(a.add("{}", 2, false), Result::Incomplete);
    ASSERT_EQ(a.add("", 0, true), Result::Complete);
    EXPECT_EQ(a.message(), "{}");
}

TEST(MessageAssembler, TheCapIsInclusiveAndAnOversizeMessageIsDroppedWhole) {
    MessageAssembler a(8);
    a.add("1234", 4, false);
    ASSERT_EQ(a.add("5678", 4, true), Result::Complete);
    EXPECT_EQ(a.message(), "12345678");
    EXPECT_EQ(a.add("123456789", 9, true), Result::Oversize);
    EXPECT_EQ(a.dropped_size(), 9u);
    // Pieces past the cap are only counted; the next message counts again.
    EXPECT_EQ(a.add("123456", 6, false), Result::Incomplete);
    EXPECT_EQ(a.add("789012", 6, false), Result::Incomplete);
    ASSERT_EQ(a.add("3", 1, true), Result::Oversize);
    EXPECT_EQ(a.dropped_size(), 13u);
    a.add("ok", 2, false);
    ASSERT_EQ(a.add("!", 1, true), Result::Complete);
    EXPECT_EQ(a.message(), "ok!");
}

// One frame carries the buffer size minus one; the link refuses a longer
// command and cuts only the login and the state request.
TEST(FrameBuffer, CarriesTheBufferSizeMinusOneAndNothingBelowTwo) {
    FrameBuffer f(16, 8);
    EXPECT_TRUE(f.fits("1234567"));
    EXPECT_FALSE(f.fits("12345678"));
    ASSERT_EQ(f.load("abcdefgh"), 7u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.payload()), 7), "abcdefg");
    for (int size : {1, 0, -5}) {
        FrameBuffer none(16, size);
        EXPECT_EQ(none.load("login"), 0u);
        EXPECT_FALSE(none.fits("x"));
    }
}

TEST(StateDocument, ReadsAsACopyOfTheLastStateTextAndAMissingOrNullStateAsAnEmptyObject) {
    StateDocument s;
    EXPECT_EQ(s.get(), json::object());  // before the first push
    std::string text = R"({"fs":3,"kovo":{"photos":[{"id":1}],"sub_state":"takeoff"}})";
    const json parsed = json::parse(text);
    s.set(std::string_view(text));
    text.assign(text.size(), ' ');  // the received text is gone before the first read
    EXPECT_EQ(s.get(), parsed);
    EXPECT_EQ(s.get(), parsed);
    s.set(std::nullopt);
    EXPECT_EQ(s.get(), json::object());
    s.set(std::string_view("null"));
    EXPECT_EQ(s.get(), json::object());
    s.set(std::string_view("[1,2]"));
    EXPECT_EQ(s.get(), json::array({1, 2}));
}

// Each entry gets up to 30 % jitter.
TEST(ReconnectDelays, FollowTheTableThenRepeatItsLastEntryAndWithoutOneTheDefault) {
    ReconnectDelays delays({100, 200, 300});
    for (unsigned base : {100u, 200u, 300u, 300u, 300u, 300u}) {
        const unsigned ms = delays.next_ms();
        EXPECT_GE(ms, base);
        EXPECT_LE(ms, base * 13 / 10);
    }
    ReconnectDelays default_delay({});
    for (int i = 0; i < 3; ++i) {
        const unsigned ms = default_delay.next_ms();
        EXPECT_GE(ms, 3000u);
        EXPECT_LE(ms, 3900u);
    }
}
