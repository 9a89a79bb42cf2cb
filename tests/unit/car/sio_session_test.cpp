// One socket.io session driven by hand-written frames and an injected clock.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "car/sio/session.h"

using namespace kovo::car;

using namespace std::chrono_literals;
using sio::Message;
using sio::SessionEnd;
using Ends = std::vector<SessionEnd>;
using Strings = std::vector<std::string>;

namespace {

std::string bin(std::string bytes) { return std::string(1, '\x04') + bytes; }

// A session (handshake timeout 3 s, attachments up to 100 bytes) that records
// what it tells its sink.
struct Harness : sio::SessionSink {
    Strings sent, opened_ids, dropped;
    std::vector<sio::Event> events;
    std::vector<std::optional<Message>> errors;
    Ends ends;
    sio::Session session{*this, {3s, 100, {}}};
    const sio::Session::Clock::time_point t0 = sio::Session::Clock::time_point{} + 1h;

    void sendFrame(std::string frame) override { sent.push_back(std::move(frame)); }
    void opened(const std::string& id) override { opened_ids.push_back(id); }
    void eventReceived(sio::Event event) override { events.push_back(std::move(event)); }
    void serverError(const Message* data) override { errors.emplace_back(data ? std::optional(*data) : std::nullopt); }
    void ended(SessionEnd why) override { ends.push_back(why); }
    void frameDropped(const std::string& why) override { dropped.push_back(why); }

    void text(const std::string& frame) { session.onText(frame, t0); }
    // Started and given an open packet (interval 1000 ms, timeout 500 ms) at t0.
    void handshake() {
        session.start(t0);
        text(R"(0{"sid":"sid-1","upgrades":[],"pingInterval":1000,"pingTimeout":500})");
    }
    // ... and the namespace connect.
    void open() {
        handshake();
        text("40");
        ASSERT_EQ(opened_ids, Strings{"sid-1"});
    }
    // A text frame that must be delivered as one event.
    sio::Event deliver(const std::string& frame) {
        const size_t before = events.size();
        text(frame);
        EXPECT_EQ(events.size(), before + 1) << frame;
        return events.empty() ? sio::Event{} : events.back();
    }
};

}  // namespace

// Messages before the open packet and events before the namespace connect
// are dropped; activity, pings and pongs do not stand in for either, so the
// handshake times out 3 s after the start; a second 40 (root middleware on
// the server) is tolerated; the client never sends 40 for the default namespace.
TEST(SessionHandshake, OpensOnTheDefaultNamespaceConnectOnlyAndTimesOutWithoutIt) {
    for (const bool connect : {false, true}) {
        SCOPED_TRACE(connect);
        Harness h;
        h.session.start(h.t0);
        for (const char* frame : {"40", R"(42["ev"])", "3"})
            h.session.onText(frame, h.t0 + 1s);
        h.session.onActivity(h.t0 + 1s);
        h.session.onTimer(h.t0 + 1s);
        h.session.onText(R"(0{"sid":"sid-1","upgrades":[],"pingInterval":1000,"pingTimeout":500})", h.t0 + 2s);
        for (const char* frame : {"40/admin,", R"(42["ev"])", "3"})
            h.session.onText(frame, h.t0 + 2s);
        h.session.onTimer(h.t0 + 3s - 1ms);
        EXPECT_TRUE(h.opened_ids.empty() && h.events.empty() && h.ends.empty() && h.sent.empty());
        if (connect) {
            h.session.onText("40", h.t0 + 2s);
            h.session.onText("40", h.t0 + 2s);
            EXPECT_EQ(h.opened_ids, Strings{"sid-1"});
            EXPECT_TRUE(h.sent.empty());
        }
        h.session.onTimer(h.t0 + 3s);
        EXPECT_EQ(h.ends, connect ? Ends{} : Ends{SessionEnd::HANDSHAKE_TIMEOUT});
    }
}

// Anything from the server answers a ping: a pong, an event, a broken frame,
// part of a large frame still arriving ("").
TEST(SessionHeartbeat, ClientPingsEveryIntervalAndAMissingAnswerIsADropAfterThePingTimeout) {
    Harness h;
    h.open();
    h.session.onTimer(h.t0 + 999ms);
    EXPECT_TRUE(h.sent.empty());
    auto ping = h.t0 + 1000ms;
    for (const char* answer : {"3", R"(42["status"])", "9garbage", ""}) {
        SCOPED_TRACE(answer);
        h.session.onTimer(ping);
        *answer ? h.session.onText(answer, ping + 400ms) : h.session.onActivity(ping + 400ms);
        h.session.onTimer(ping + 500ms);
        EXPECT_TRUE(h.ends.empty());
        // The next ping is due one interval after the previous one.
        ping += 1000ms;
        EXPECT_EQ(h.session.nextDeadline(), ping);
    }
    h.session.onTimer(ping);
    EXPECT_EQ(h.sent, Strings(5, "2"));
    EXPECT_EQ(h.session.nextDeadline(), ping + 500ms);
    h.session.onTimer(ping + 499ms);
    EXPECT_TRUE(h.ends.empty());
    h.session.onTimer(ping + 500ms);
    EXPECT_EQ(h.ends, Ends{SessionEnd::PING_TIMEOUT});
}

TEST(SessionEvents, OtherNamespacesEnginePacketsAndErrorsLeaveTheSessionOpen) {
    Harness h;
    h.open();
    for (const char* frame : {R"(42/admin,["ev"])", "41/admin,", "2probe", "6", "5", "43[]", R"(44"just a string")",
                              R"(44{"message":"object","code":7})", "44"}) {
        h.text(frame);
    }
    // Servers of revision 3 never ping; answering costs nothing.
    EXPECT_EQ(h.sent, Strings{"3probe"});
    ASSERT_EQ(h.errors.size(), 3u);
    EXPECT_EQ(*h.errors[0], "just a string");
    EXPECT_EQ((*h.errors[1])["code"], 7);
    EXPECT_FALSE(h.errors[2].has_value());
    EXPECT_TRUE(h.events.empty() && h.dropped.empty() && h.ends.empty());
}

// An unusable open packet ends the session; an error instead of the namespace
// connect is a rejection; after it, the namespace disconnect and Engine.IO's
// close end an open session. Stages: 0 started, 1 handshake done, 2 open.
TEST(SessionEvents, FramesThatEndTheSession) {
    for (const auto& [frame, stage, end] :
         {std::tuple{R"(0{"upgrades":[]})", 0, SessionEnd::BAD_HANDSHAKE},
          std::tuple{R"(44"Not authorized")", 1, SessionEnd::REJECTED},
          std::tuple{"41", 2, SessionEnd::SERVER_DISCONNECT}, std::tuple{"1", 2, SessionEnd::SERVER_CLOSE}}) {
        SCOPED_TRACE(frame);
        Harness h;
        stage == 2 ? h.open() : stage == 1 ? h.handshake() : h.session.start(h.t0);
        h.text(frame);
        EXPECT_EQ(h.ends, Ends{end});
        EXPECT_EQ(h.dropped.size(), stage == 0 ? 1u : 0u);
        EXPECT_FALSE(h.session.nextDeadline().has_value());
        // Nothing is processed after the end.
        h.text(R"(42["ev"])");
        EXPECT_TRUE(h.events.empty());
    }
}

TEST(SessionBinary, NestedPlaceholdersTakeTheirAttachmentsInOrder) {
    Harness h;
    h.open();
    h.text(R"(452-2["photo",{"a":[{"_placeholder":true,"num":1}],"b":{"_placeholder":true,"num":0}},"text"])");
    // Pings and pongs between the header and its attachments change nothing.
    h.text("3");
    h.text("6");
    h.session.onBinary(bin("first"), h.t0);
    EXPECT_TRUE(h.events.empty());
    h.session.onBinary(bin("second"), h.t0);
    ASSERT_EQ(h.events.size(), 1u);
    const auto blob = [](std::string s) { return Message::binary({s.begin(), s.end()}); };
    EXPECT_EQ(h.events[0].name, "photo");
    EXPECT_EQ(h.events[0].ack_id, 2u);
    EXPECT_EQ(Message(h.events[0].args),
              Message::array({{{"a", Message::array({blob("second")})}, {"b", blob("first")}}, "text"}));
    EXPECT_TRUE(h.dropped.empty());
}

// Attachments that cannot complete their event are dropped (0 or 1 log line)
// and never delay the next event.
TEST(SessionBinary, IncompleteOrForeignAttachmentsNeverReachAHandler) {
    const std::string two = R"(452-["photo",{"_placeholder":true,"num":0},{"_placeholder":true,"num":1}])";
    const struct {
        std::string header;
        Strings attachments;
        size_t drops;
    } cases[] = {
        {two, {bin(std::string(60, 'a')), bin(std::string(60, 'b'))}, 1},   // over the 100-byte bound
        {R"(451-["photo",{"_placeholder":true,"num":3}])", {bin("x")}, 1},  // placeholder without attachment
        {two, {bin("a")}, 1},                                               // the next text packet comes first
        {R"(461-4[{"_placeholder":true,"num":0}])", {bin("x")}, 0},         // we never ask for acks
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header + " " + std::to_string(c.attachments.size()));
        Harness h;
        h.open();
        h.text(c.header);
        for (const auto& frame : c.attachments)
            h.session.onBinary(frame, h.t0);
        EXPECT_TRUE(h.events.empty());
        EXPECT_EQ(h.deliver(R"(42["after"])").name, "after");
        EXPECT_EQ(h.dropped.size(), c.drops);
    }
}

// Broken frames of every kind: see the car link's test and fuzz_sio. These
// are the ones a rule of the decoder alone refuses.
TEST(SessionMalformed, EachBadFrameIsDroppedAndTheSessionGoesOn) {
    Harness h;
    h.open();
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const Strings bad = {"42[\"ev\"," + nested(sio::kDefaultMaxDepth) + "]", R"(42[1,2])", R"(451000000-["x"])",
                         R"(42123456789012345678901["x"])"};
    for (size_t i = 0; i < bad.size(); ++i) {
        h.text(bad[i]);
        EXPECT_EQ(h.dropped.size(), i + 1) << bad[i].substr(0, 40);
    }
    EXPECT_TRUE(h.events.empty() && h.ends.empty());
    EXPECT_EQ(h.deliver("42[\"still alive\"," + nested(sio::kDefaultMaxDepth - 1) + "]").name, "still alive");
}
