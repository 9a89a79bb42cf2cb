// The pieces of the px4ctrl link around the message scan: reassembly, the
// send buffer and the choice of frame, the pending command, the lazily built
// state document and the reconnect back-off.

#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <libwebsockets.h>
#include <nlohmann/json.hpp>

#include "px4ctrl/message_assembler.h"
#include "px4ctrl/outgoing_frame.h"
#include "px4ctrl/pending_command.h"
#include "px4ctrl/reconnect_delays.h"
#include "px4ctrl/state_document.h"

using nlohmann::json;
using namespace px4ctrl;
using Result = MessageAssembler::Result;

TEST(MessageAssembler, AWholeMessageIsUsedInPlace) {
    MessageAssembler a(16);
    const std::string text = "{\"cmd\":1}";
    ASSERT_EQ(a.add(text.data(), text.size(), true), Result::Complete);
    EXPECT_EQ(a.message(), text);
    EXPECT_EQ(a.message().data(), text.data());
}

TEST(MessageAssembler, PiecesAreJoined) {
    MessageAssembler a(64);
    EXPECT_EQ(a.add("{\"cmd\"", 6, false), Result::Incomplete);
    EXPECT_EQ(a.add(":1,", 3, false), Result::Incomplete);
    EXPECT_EQ(a.add("", 0, false), Result::Incomplete);
    ASSERT_EQ(a.add("\"ret\":0}", 8, true), Result::Complete);
    EXPECT_EQ(a.message(), "{\"cmd\":1,\"ret\":0}");
    // The next message starts afresh.
    ASSERT_EQ(a.add("ab", 2, false), Result::Incomplete);
    ASSERT_EQ(a.add("c", 1, true), Result::Complete);
    EXPECT_EQ(a.message(), "abc");
}

TEST(MessageAssembler, AnEmptyLastPieceEndsTheMessage) {
    MessageAssembler a(64);
    a.add("abc", 3, false);
    ASSERT_EQ(a.add(nullptr, 0, true), Result::Complete);
    EXPECT_EQ(a.message(), "abc");
}

TEST(MessageAssembler, TheCapIsInclusive) {
    MessageAssembler a(8);
    const std::string eight(8, 'x');
    EXPECT_EQ(a.add(eight.data(), 8, true), Result::Complete);
    a.add(eight.data(), 4, false);
    ASSERT_EQ(a.add(eight.data(), 4, true), Result::Complete);
    EXPECT_EQ(a.message(), eight);
    EXPECT_EQ(a.add("123456789", 9, true), Result::Oversize);
    EXPECT_EQ(a.dropped_size(), 9u);
}

TEST(MessageAssembler, AnOversizeMessageIsDroppedWholeAndTheNextOneCounts) {
    MessageAssembler a(10);
    EXPECT_EQ(a.add("123456", 6, false), Result::Incomplete);
    EXPECT_EQ(a.add("789012", 6, false), Result::Incomplete);
    EXPECT_EQ(a.add("345", 3, false), Result::Incomplete);
    ASSERT_EQ(a.add("6", 1, true), Result::Oversize);
    EXPECT_EQ(a.dropped_size(), 16u);
    ASSERT_EQ(a.add("ok", 2, false), Result::Incomplete);
    ASSERT_EQ(a.add("!", 1, true), Result::Complete);
    EXPECT_EQ(a.message(), "ok!");
}

TEST(MessageAssembler, ResetForgetsAPartialMessage) {
    MessageAssembler a(64);
    a.add("{\"stale\":", 9, false);
    a.reset();
    ASSERT_EQ(a.add("{}", 2, true), Result::Complete);
    EXPECT_EQ(a.message(), "{}");
}

TEST(FrameBuffer, CarriesTheBufferSizeMinusOne) {
    FrameBuffer f(16, 8);
    EXPECT_EQ(f.capacity(), 7u);
    EXPECT_TRUE(f.fits("1234567"));
    EXPECT_FALSE(f.fits("12345678"));
    ASSERT_EQ(f.load("1234567"), 7u);
    EXPECT_EQ(std::memcmp(f.payload(), "1234567", 7), 0);
    // A longer text is cut by what does not fit.
    ASSERT_EQ(f.load("abcdefgh"), 7u);
    EXPECT_EQ(std::memcmp(f.payload(), "abcdefg", 7), 0);
}

TEST(FrameBuffer, ASizeBelowTwoCarriesNothing) {
    EXPECT_EQ(FrameBuffer(16, 1).capacity(), 0u);
    EXPECT_EQ(FrameBuffer(16, 0).capacity(), 0u);
    FrameBuffer f(16, -5);
    EXPECT_EQ(f.load("login"), 0u);
    EXPECT_TRUE(f.fits(""));
}

TEST(NextFrame, CommandFirstThenStateRequestsWhileLoggedIn) {
    EXPECT_EQ(next_frame(true, true, false), FrameKind::Command);
    EXPECT_EQ(next_frame(true, false, false), FrameKind::StateRequest);
    // A pause belongs to a refused login only.
    EXPECT_EQ(next_frame(true, false, true), FrameKind::StateRequest);
}

TEST(NextFrame, LoginWhileNotLoggedInUnlessPaused) {
    EXPECT_EQ(next_frame(false, false, false), FrameKind::Login);
    EXPECT_EQ(next_frame(false, true, false), FrameKind::Login);
    EXPECT_EQ(next_frame(false, false, true), FrameKind::None);
}

TEST(PendingCommand, ANewerCommandReplacesTheOlder) {
    PendingCommand p;
    p.open();
    EXPECT_TRUE(p.queue("kovo 1"));
    EXPECT_TRUE(p.queue("kovo 2"));
    EXPECT_TRUE(p.waiting());
    EXPECT_EQ(p.take(), "kovo 2");
    EXPECT_FALSE(p.waiting());
    EXPECT_FALSE(p.take().has_value());
}

TEST(PendingCommand, LosingTheConnectionDiscardsIt) {
    PendingCommand p;
    EXPECT_FALSE(p.queue("kovo 1"));
    p.open();
    ASSERT_TRUE(p.queue("kovo 1"));
    EXPECT_EQ(p.close(), "kovo 1");
    EXPECT_FALSE(p.waiting());
    EXPECT_FALSE(p.queue("kovo 2"));
    // The next connection starts empty.
    p.open();
    EXPECT_FALSE(p.take().has_value());
    EXPECT_FALSE(p.close().has_value());
}

TEST(StateDocument, EmptyObjectUntilTheFirstPush) {
    StateDocument s;
    EXPECT_EQ(s.get(), json::object());
}

TEST(StateDocument, ReadsAsTheParsedText) {
    StateDocument s;
    const std::string text = R"({"fs":3,"kovo":{"photos":[{"id":1}],"sub_state":"takeoff"}})";
    s.set(std::string_view(text));
    EXPECT_EQ(s.get(), json::parse(text));
    EXPECT_EQ(s.get(), json::parse(text));
    s.set(std::string_view(R"({"fs":4})"));
    EXPECT_EQ(s.get()["fs"], 4);
}

TEST(StateDocument, MissingOrNullStateReadsAsEmptyObject) {
    StateDocument s;
    s.set(std::string_view(R"({"fs":3})"));
    s.set(std::nullopt);
    EXPECT_EQ(s.get(), json::object());
    s.set(std::string_view("null"));
    EXPECT_EQ(s.get(), json::object());
    // Any other value is kept as it came.
    s.set(std::string_view("[1,2]"));
    EXPECT_EQ(s.get(), json::array({1, 2}));
}

TEST(StateDocument, KeepsNoReferenceToTheReceivedText) {
    StateDocument s;
    std::string text = R"({"fs":2})";
    s.set(std::string_view(text));
    text.assign(text.size(), ' ');
    EXPECT_EQ(s.get()["fs"], 2);
}

class ReconnectDelaysTest : public ::testing::Test {
protected:
    void SetUp() override {
        lws_set_log_level(LLL_ERR, nullptr);
        lws_context_creation_info info;
        std::memset(&info, 0, sizeof info);
        info.port = CONTEXT_PORT_NO_LISTEN;
        context_ = lws_create_context(&info);
        ASSERT_NE(context_, nullptr);
    }
    void TearDown() override {
        if (context_) lws_context_destroy(context_);
    }
    lws_context* context_ = nullptr;
};

// The library adds up to 30 % jitter to each entry.
TEST_F(ReconnectDelaysTest, FollowTheTableThenRepeatItsLastEntry) {
    ReconnectDelays delays({100, 200, 300});
    const unsigned expected[] = {100, 200, 300, 300, 300, 300};
    for (unsigned base : expected) {
        const unsigned ms = delays.next_ms(context_);
        EXPECT_GE(ms, base);
        EXPECT_LE(ms, base * 13 / 10);
    }
    EXPECT_EQ(delays.taken(), 6);
}

TEST_F(ReconnectDelaysTest, AnEmptyTableGivesTheLibraryDefault) {
    ReconnectDelays delays({});
    for (int i = 0; i < 3; ++i) {
        const unsigned ms = delays.next_ms(context_);
        EXPECT_GE(ms, 3000u);
        EXPECT_LE(ms, 3900u);
    }
}
