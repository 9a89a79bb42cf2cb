// One socket.io session driven by hand-written frames and an injected clock.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "car/sio/session.h"

using namespace std::chrono_literals;
using sio::Message;
using sio::SessionEnd;
using Clock = sio::Session::Clock;

namespace {

struct RecordingSink : sio::SessionSink {
    std::vector<std::string> sent;
    std::vector<std::string> opened_ids;
    std::vector<sio::Event> events;
    std::vector<std::optional<Message>> errors;
    std::vector<SessionEnd> ends;
    std::vector<std::string> dropped;

    void sendFrame(std::string frame) override { sent.push_back(std::move(frame)); }
    void opened(const std::string& id) override { opened_ids.push_back(id); }
    void eventReceived(sio::Event event) override { events.push_back(std::move(event)); }
    void serverError(const Message* data) override {
        errors.push_back(data != nullptr ? std::optional<Message>(*data) : std::nullopt);
    }
    void ended(SessionEnd why) override { ends.push_back(why); }
    void frameDropped(const std::string& why) override { dropped.push_back(why); }
};

std::string open_packet(int interval_ms, int timeout_ms) {
    return "0{\"sid\":\"sid-1\",\"upgrades\":[],\"pingInterval\":" + std::to_string(interval_ms) +
           ",\"pingTimeout\":" + std::to_string(timeout_ms) + "}";
}

std::string bin(std::string bytes) { return std::string(1, '\x04') + bytes; }

class SessionTest : public ::testing::Test {
protected:
    static sio::SessionLimits limits() {
        sio::SessionLimits l;
        l.handshake_timeout = 3s;
        l.max_attachment_bytes = 100;
        return l;
    }

    // Open packet (interval 1000 ms, timeout 500 ms) and namespace connect at t0.
    void openSession() {
        session.start(t0);
        session.onText(open_packet(1000, 500), t0);
        session.onText("40", t0);
        ASSERT_TRUE(session.isOpen());
    }

    // A text frame that must be delivered as one event.
    sio::Event deliver(const std::string& frame) {
        const size_t before = sink.events.size();
        session.onText(frame, t0);
        EXPECT_EQ(sink.events.size(), before + 1) << frame;
        return sink.events.empty() ? sio::Event{} : sink.events.back();
    }

    RecordingSink sink;
    sio::Session session{sink, limits()};
    const Clock::time_point t0 = Clock::time_point{} + 1h;
};

using SessionHandshake = SessionTest;
using SessionHeartbeat = SessionTest;
using SessionEvents = SessionTest;
using SessionBinary = SessionTest;
using SessionMalformed = SessionTest;

TEST_F(SessionHandshake, OpensAfterOpenPacketAndNamespaceConnect) {
    session.start(t0);
    session.onText(open_packet(25000, 20000), t0);
    EXPECT_FALSE(session.isOpen());
    EXPECT_TRUE(sink.opened_ids.empty());
    session.onText("40", t0 + 1ms);
    EXPECT_TRUE(session.isOpen());
    ASSERT_EQ(sink.opened_ids.size(), 1u);
    EXPECT_EQ(sink.opened_ids[0], "sid-1");
    EXPECT_EQ(session.sessionId(), "sid-1");
    // The client never sends 40 for the default namespace.
    EXPECT_TRUE(sink.sent.empty());
}

TEST_F(SessionHandshake, SecondNamespaceConnectIsTolerated) {
    openSession();
    session.onText("40", t0);
    EXPECT_EQ(sink.opened_ids.size(), 1u);
    EXPECT_TRUE(sink.dropped.empty());
    EXPECT_TRUE(session.isOpen());
}

TEST_F(SessionHandshake, ConnectOfAnotherNamespaceDoesNotOpen) {
    session.start(t0);
    session.onText(open_packet(1000, 500), t0);
    session.onText("40/admin,", t0);
    EXPECT_FALSE(session.isOpen());
}

TEST_F(SessionHandshake, ErrorInsteadOfConnectIsARejection) {
    session.start(t0);
    session.onText(open_packet(1000, 500), t0);
    session.onText(R"(44"Not authorized")", t0);
    ASSERT_EQ(sink.errors.size(), 1u);
    EXPECT_EQ(*sink.errors[0], "Not authorized");
    EXPECT_EQ(sink.ends, std::vector<SessionEnd>{SessionEnd::Rejected});
    EXPECT_TRUE(session.hasEnded());
    EXPECT_FALSE(session.nextDeadline().has_value());
    // Nothing is processed after the end.
    session.onText("40", t0);
    EXPECT_TRUE(sink.opened_ids.empty());
}

TEST_F(SessionHandshake, TimesOutWithoutOpenPacket) {
    session.start(t0);
    EXPECT_EQ(session.nextDeadline(), t0 + 3s);
    session.onTimer(t0 + 3s - 1ms);
    EXPECT_TRUE(sink.ends.empty());
    session.onTimer(t0 + 3s);
    EXPECT_EQ(sink.ends, std::vector<SessionEnd>{SessionEnd::HandshakeTimeout});
}

TEST_F(SessionHandshake, TimesOutWithoutNamespaceConnectDespitePongs) {
    session.start(t0);
    session.onText(open_packet(1000, 500), t0);
    for (auto t = t0 + 1s; t < t0 + 3s; t += 1s) {
        session.onTimer(t);
        session.onText("3", t + 1ms);
    }
    EXPECT_TRUE(sink.ends.empty());
    session.onTimer(t0 + 3s);
    EXPECT_EQ(sink.ends, std::vector<SessionEnd>{SessionEnd::HandshakeTimeout});
}

TEST_F(SessionHandshake, UnusableOpenPacketEndsTheSession) {
    session.start(t0);
    session.onText(R"(0{"upgrades":[]})", t0);
    EXPECT_EQ(sink.ends, std::vector<SessionEnd>{SessionEnd::BadHandshake});
    EXPECT_EQ(sink.dropped.size(), 1u);
}

TEST_F(SessionHandshake, MessagesBeforeTheOpenPacketAreDropped) {
    session.start(t0);
    session.onText("40", t0);
    session.onText(R"(42["ev"])", t0);
    EXPECT_EQ(sink.dropped.size(), 2u);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_FALSE(session.hasEnded());
}

TEST_F(SessionHandshake, SecondOpenPacketIsDropped) {
    openSession();
    session.onText(open_packet(5, 5), t0);
    EXPECT_EQ(sink.dropped.size(), 1u);
    EXPECT_TRUE(session.isOpen());
    EXPECT_EQ(session.nextDeadline(), t0 + 1000ms);
}

TEST_F(SessionHeartbeat, ClientPingsEveryPingInterval) {
    openSession();
    EXPECT_EQ(session.nextDeadline(), t0 + 1000ms);
    session.onTimer(t0 + 999ms);
    EXPECT_TRUE(sink.sent.empty());
    auto t = t0;
    for (int i = 1; i <= 10; ++i) {
        t = t0 + std::chrono::milliseconds(1000 * i);
        session.onTimer(t);
        ASSERT_EQ(sink.sent.size(), static_cast<size_t>(i));
        EXPECT_EQ(sink.sent.back(), "2");
        session.onText("3", t + 2ms);
    }
    EXPECT_TRUE(sink.ends.empty());
    EXPECT_EQ(session.nextDeadline(), t + 1000ms);
}

TEST_F(SessionHeartbeat, MissingPongIsADropAfterThePingTimeout) {
    openSession();
    session.onTimer(t0 + 1000ms);
    ASSERT_EQ(sink.sent, std::vector<std::string>{"2"});
    EXPECT_EQ(session.nextDeadline(), t0 + 1500ms);
    session.onTimer(t0 + 1499ms);
    EXPECT_TRUE(sink.ends.empty());
    session.onTimer(t0 + 1500ms);
    EXPECT_EQ(sink.ends, std::vector<SessionEnd>{SessionEnd::PingTimeout});
}

TEST_F(SessionHeartbeat, AnyFrameFromTheServerCountsAsAnswer) {
    openSession();
    session.onTimer(t0 + 1000ms);
    session.onText(R"(42["status"])", t0 + 1400ms);
    session.onTimer(t0 + 1500ms);
    EXPECT_TRUE(sink.ends.empty());
    // The next ping is due one interval after the previous one.
    EXPECT_EQ(session.nextDeadline(), t0 + 2000ms);
}

TEST_F(SessionHeartbeat, BrokenFramesAlsoShowTheServerIsAlive) {
    openSession();
    session.onTimer(t0 + 1000ms);
    session.onText("9garbage", t0 + 1400ms);
    session.onTimer(t0 + 1500ms);
    EXPECT_TRUE(sink.ends.empty());
}

TEST_F(SessionHeartbeat, PartOfALargeFrameStillArrivingCountsAsAnswer) {
    openSession();
    session.onTimer(t0 + 1000ms);
    session.onActivity(t0 + 1400ms);
    session.onTimer(t0 + 1500ms);
    EXPECT_TRUE(sink.ends.empty());
    EXPECT_TRUE(sink.dropped.empty());
}

TEST_F(SessionHeartbeat, ActivityBeforeTheOpenPacketDoesNotStartTheClock) {
    session.start(t0);
    session.onActivity(t0 + 1s);
    EXPECT_EQ(session.nextDeadline(), t0 + 3s);
}

TEST_F(SessionHeartbeat, SilentServerIsDetectedWithinIntervalPlusTimeout) {
    openSession();
    // The last frame from the server, then silence.
    session.onTimer(t0 + 1000ms);
    const auto last_frame = t0 + 1003ms;
    session.onText("3", last_frame);
    auto t = last_frame;
    while (sink.ends.empty()) {
        const auto next = session.nextDeadline();
        ASSERT_TRUE(next.has_value());
        t = *next;
        session.onTimer(t);
    }
    EXPECT_EQ(sink.ends, std::vector<SessionEnd>{SessionEnd::PingTimeout});
    EXPECT_LE(t - last_frame, 1000ms + 500ms);
}

TEST_F(SessionEvents, DeliversEventsWithAnyNumberOfArguments) {
    openSession();
    const auto none = deliver(R"(42["ev"])");
    EXPECT_EQ(none.name, "ev");
    EXPECT_TRUE(none.args.empty());
    const auto several = deliver(R"(42["ev",1,"a",{"k":true}])");
    ASSERT_EQ(several.args.size(), 3u);
    EXPECT_EQ(several.args[2]["k"], true);
    EXPECT_FALSE(several.ack_id.has_value());
}

TEST_F(SessionEvents, AckRequestIsPassedWithTheEvent) {
    openSession();
    EXPECT_EQ(deliver(R"(420["ev"])").ack_id, 0u);
    EXPECT_EQ(deliver(R"(4217["ev",1])").ack_id, 17u);
}

TEST_F(SessionEvents, Utf8AndEscapesArriveDecoded) {
    openSession();
    const auto e = deliver("42[\"ev\",\"h\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x9a\x81\",\"\\u00e9\\u4e2d\\ud83d\\ude81\"]");
    ASSERT_EQ(e.args.size(), 2u);
    EXPECT_EQ(e.args[0], "h\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x9a\x81");
    EXPECT_EQ(e.args[1], "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x9a\x81");
}

TEST_F(SessionEvents, OtherNamespacesAreIgnored) {
    openSession();
    session.onText(R"(42/admin,["ev"])", t0);
    session.onText("41/admin,", t0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_TRUE(sink.ends.empty());
    EXPECT_TRUE(sink.dropped.empty());
}

TEST_F(SessionEvents, EventBeforeNamespaceConnectIsDropped) {
    session.start(t0);
    session.onText(open_packet(1000, 500), t0);
    session.onText(R"(42["ev"])", t0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(sink.dropped.size(), 1u);
}

TEST_F(SessionEvents, ServerDisconnectEndsTheSession) {
    openSession();
    session.onText("41", t0);
    EXPECT_EQ(sink.ends, std::vector<SessionEnd>{SessionEnd::ServerDisconnect});
    EXPECT_FALSE(session.isOpen());
}

TEST_F(SessionEvents, EngineCloseEndsTheSession) {
    openSession();
    session.onText("1", t0);
    EXPECT_EQ(sink.ends, std::vector<SessionEnd>{SessionEnd::ServerClose});
}

TEST_F(SessionEvents, ErrorsAfterOpenKeepTheSession) {
    openSession();
    session.onText(R"(44"just a string")", t0);
    session.onText(R"(44{"message":"object","code":7})", t0);
    session.onText("44", t0);
    ASSERT_EQ(sink.errors.size(), 3u);
    EXPECT_EQ(*sink.errors[0], "just a string");
    EXPECT_EQ((*sink.errors[1])["code"], 7);
    EXPECT_FALSE(sink.errors[2].has_value());
    EXPECT_TRUE(session.isOpen());
    EXPECT_TRUE(sink.ends.empty());
}

TEST_F(SessionEvents, ServerPingIsAnsweredAndOtherEnginePacketsIgnored) {
    openSession();
    session.onText("2probe", t0);
    session.onText("6", t0);
    session.onText("5", t0);
    session.onText("43[]", t0);
    EXPECT_EQ(sink.sent, std::vector<std::string>{"3probe"});
    EXPECT_TRUE(sink.dropped.empty());
    EXPECT_TRUE(sink.events.empty());
}

TEST_F(SessionBinary, EventWaitsForItsAttachment) {
    openSession();
    session.onText(R"(451-["photo",{"_placeholder":true,"num":0}])", t0);
    EXPECT_TRUE(sink.events.empty());
    session.onBinary(bin("\x01\x02\x03"), t0);
    ASSERT_EQ(sink.events.size(), 1u);
    const auto& e = sink.events[0];
    EXPECT_EQ(e.name, "photo");
    ASSERT_EQ(e.args.size(), 1u);
    EXPECT_EQ(sio::kind_of(e.args[0]), sio::Kind::Binary);
    EXPECT_EQ(e.args[0].get_binary(), (std::vector<std::uint8_t>{1, 2, 3}));
}

TEST_F(SessionBinary, NestedPlaceholdersTakeTheirAttachmentsInOrder) {
    openSession();
    session.onText(
        R"(452-2["photo",{"a":[{"_placeholder":true,"num":1}],"b":{"_placeholder":true,"num":0}},"text"])", t0);
    session.onBinary(bin("first"), t0);
    EXPECT_TRUE(sink.events.empty());
    session.onBinary(bin("second"), t0);
    ASSERT_EQ(sink.events.size(), 1u);
    const auto& e = sink.events[0];
    EXPECT_EQ(e.ack_id, 2u);
    const auto& b = e.args[0]["b"].get_binary();
    const auto& a = e.args[0]["a"][0].get_binary();
    EXPECT_EQ(std::string(b.begin(), b.end()), "first");
    EXPECT_EQ(std::string(a.begin(), a.end()), "second");
    EXPECT_EQ(e.args[1], "text");
}

TEST_F(SessionBinary, TextPacketWhileAttachmentsAreMissingDropsThePartialEvent) {
    openSession();
    session.onText(R"(452-["photo",{"_placeholder":true,"num":0},{"_placeholder":true,"num":1}])", t0);
    session.onBinary(bin("a"), t0);
    session.onText(R"(42["next"])", t0);
    ASSERT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.events[0].name, "next");
    EXPECT_EQ(sink.dropped.size(), 1u);
    // A late attachment has nothing to join.
    session.onBinary(bin("b"), t0);
    EXPECT_EQ(sink.events.size(), 1u);
    EXPECT_EQ(sink.dropped.size(), 2u);
}

TEST_F(SessionBinary, PingsAndPongsDoNotDisturbPendingAttachments) {
    openSession();
    session.onText(R"(451-["photo",{"_placeholder":true,"num":0}])", t0);
    session.onText("3", t0);
    session.onText("6", t0);
    session.onBinary(bin("x"), t0);
    EXPECT_EQ(sink.events.size(), 1u);
    EXPECT_TRUE(sink.dropped.empty());
}

TEST_F(SessionBinary, AttachmentWithoutMessageTypeDropsThePartialEvent) {
    openSession();
    session.onText(R"(451-["photo",{"_placeholder":true,"num":0}])", t0);
    session.onBinary("\x01\x02", t0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(sink.dropped.size(), 1u);
    EXPECT_EQ(deliver(R"(42["after"])").name, "after");
}

TEST_F(SessionBinary, OversizedAttachmentsAreDropped) {
    openSession();
    session.onText(R"(452-["photo",{"_placeholder":true,"num":0},{"_placeholder":true,"num":1}])", t0);
    session.onBinary(bin(std::string(60, 'a')), t0);
    session.onBinary(bin(std::string(60, 'b')), t0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(sink.dropped.size(), 1u);
    // The link goes on.
    EXPECT_EQ(deliver(R"(42["after"])").name, "after");
}

TEST_F(SessionBinary, PlaceholderWithoutAttachmentIsDropped) {
    openSession();
    session.onText(R"(451-["photo",{"_placeholder":true,"num":3}])", t0);
    session.onBinary(bin("x"), t0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_EQ(sink.dropped.size(), 1u);
}

TEST_F(SessionBinary, BinaryAcksAreConsumedQuietly) {
    openSession();
    session.onText(R"(461-4[{"_placeholder":true,"num":0}])", t0);
    session.onBinary(bin("x"), t0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_TRUE(sink.dropped.empty());
}

TEST_F(SessionBinary, AttachmentsOfAnotherNamespaceAreConsumedToo) {
    openSession();
    session.onText(R"(451-/admin,["photo",{"_placeholder":true,"num":0}])", t0);
    session.onBinary(bin("x"), t0);
    EXPECT_TRUE(sink.events.empty());
    EXPECT_TRUE(sink.dropped.empty());
}

TEST_F(SessionMalformed, EachBadFrameIsDroppedAndTheSessionGoesOn) {
    openSession();
    const std::vector<std::string> bad = {
        "",
        "9",
        "4",
        "49",
        R"(42["ev")",
        R"(42{"ev":1})",
        R"(42[1,2])",
        "42[]",
        R"(451["x"])",
        R"(45999999-["x"])",
        "42[\"ev\"," + std::string(100000, '[') + std::string(100000, ']') + "]",
        "42[\"ev\",\"\xff\"]",
    };
    for (const auto& frame : bad) session.onText(frame, t0);
    EXPECT_EQ(sink.dropped.size(), bad.size());
    EXPECT_TRUE(sink.events.empty());
    EXPECT_TRUE(sink.ends.empty());
    EXPECT_EQ(deliver(R"(42["still alive",1])").name, "still alive");
}

TEST_F(SessionMalformed, StrayBinaryFrameIsDropped) {
    openSession();
    session.onBinary(bin("x"), t0);
    EXPECT_EQ(sink.dropped.size(), 1u);
    EXPECT_TRUE(session.isOpen());
}

}  // namespace
