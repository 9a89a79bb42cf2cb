// The pieces of the px4ctrl link around the message scan.
#include <algorithm>
#include <climits>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "px4ctrl/message_assembler.h"
#include "px4ctrl/pending_command.h"
#include "px4ctrl/reconnect_delays.h"
#include "px4ctrl/request_pacer.h"
#include "px4ctrl/websocket_codec.h"

using namespace kovo::px4ctrl;

using Result = MessageAssembler::Result;

// Pieces are joined up to the cap (inclusive); beyond it a message is dropped whole.
TEST(MessageAssembler, JoinsPiecesUpToTheCapAndDropsAnOversizeMessageWhole) {
    MessageAssembler a(8);
    const std::string text = "{\"a\":1}";
    ASSERT_EQ(a.add(text.data(), text.size(), true), Result::COMPLETE);
    EXPECT_EQ(a.message().data(), text.data());
    EXPECT_EQ(a.add("1234", 4, false), Result::INCOMPLETE);
    ASSERT_EQ(a.add("5678", 4, true), Result::COMPLETE);
    EXPECT_EQ(a.message(), "12345678");
    EXPECT_EQ(a.add("123456", 6, false), Result::INCOMPLETE);
    EXPECT_EQ(a.add("789", 3, false), Result::INCOMPLETE);
    ASSERT_EQ(a.add(nullptr, 0, true), Result::OVERSIZE);
    EXPECT_EQ(a.droppedSize(), 9u);
    // A reset forgets a part; the next message counts afresh.
    a.add("{\"st", 4, false);
    a.reset();
    a.add("ok", 2, false);
    ASSERT_EQ(a.add("!", 1, true), Result::COMPLETE);
    EXPECT_EQ(a.message(), "ok!");
}

// Only the newest command waits, and only while a connection is open.
TEST(PendingCommand, ANewerCommandReplacesTheWaitingOneAndAClosedLinkTakesNone) {
    PendingCommand pending;
    EXPECT_FALSE(pending.queue("kovo 1"));
    pending.open();
    EXPECT_TRUE(pending.queue("kovo 1") && pending.queue("kovo 2"));
    EXPECT_EQ(pending.take(), "kovo 2");
    EXPECT_FALSE(pending.waiting());
    pending.queue("kovo 3");
    EXPECT_EQ(pending.close(), "kovo 3");
    EXPECT_FALSE(pending.queue("kovo 4") || pending.take());
}

// Each entry gets up to 30 % jitter; without a table, 3 s.
TEST(ReconnectDelays, FollowTheTableThenRepeatItsLastEntryAndWithoutOneTheDefault) {
    ReconnectDelays delays({100, 200, 300});
    for (unsigned base : {100u, 200u, 300u, 300u}) {
        const unsigned ms = delays.nextMs();
        EXPECT_TRUE(ms >= base && ms <= base * 13 / 10) << base << ": " << ms;
    }
    const unsigned ms = ReconnectDelays({}).nextMs();
    EXPECT_TRUE(ms >= 3000 && ms <= 3900) << ms;
}

// The state requests' pace on a timeline stepped by the millisecond.
struct PaceCase {
    const char* name;
    int interval_ms;
    int answer_ms;            // px4ctrl pushes this long after each request; -1: it does not answer
    std::vector<int> pushes;  // pushes px4ctrl sends on its own
    std::vector<int> others;  // messages that are not accepted pushes
    int until_ms;
    std::vector<int> requests;  // when the requests leave
    int stop_ms = INT_MAX;      // the link closes
};

// Logs in at 0; at each millisecond the messages arrive before the pacer is asked.
std::vector<int> requests_sent(const PaceCase& c) {
    const auto at = [](int ms) { return RequestPacer::TimePoint(std::chrono::milliseconds(ms)); };
    RequestPacer pacer{std::chrono::milliseconds(c.interval_ms)};
    pacer.start(at(0));
    std::multiset<int> pushes(c.pushes.begin(), c.pushes.end());
    std::vector<int> sent;
    for (int now = 0; now <= c.until_ms; ++now) {
        if (now == c.stop_ms) pacer.stop();
        for (; pushes.count(now) > 0; pushes.erase(pushes.find(now)))
            pacer.onPush(at(now));
        if (std::count(c.others.begin(), c.others.end(), now) > 0) pacer.onOtherMessage(at(now));
        if (!pacer.due(at(now))) continue;
        pacer.onRequestSent(at(now));
        sent.push_back(now);
        if (c.answer_ms >= 0) pushes.insert(now + c.answer_ms);
    }
    return sent;
}

TEST(RequestPacer, RequestsFollowTheIntervalThePushesAndTheKeepAliveRules) {
    const PaceCase cases[] = {
        {"px4ctrl answering at once: one request per interval", 20, 1, {}, {}, 100, {0, 20, 40, 60, 80, 100}},
        {"slow answers: the next request right after the push", 20, 30, {}, {}, 100, {0, 30, 60, 90}},
        {"pushes of its own, faster than the interval", 20, -1, {5, 10, 15, 25, 30, 35, 45}, {}, 50, {0, 20, 40}},
        {"no pushes: the keep-alive every 500 ms", 20, -1, {}, {}, 1600, {0, 500, 1000, 1500}},
        {"another message 200 ms after the last request asks again", 20, -1, {}, {150, 250}, 800, {0, 250, 750}},
        {"stopped: nothing is due, whatever arrives", 20, 1, {50}, {300}, 1000, {0, 20}, 30},
    };
    for (const PaceCase& c : cases) {
        EXPECT_EQ(requests_sent(c), c.requests) << c.name;
    }
}

TEST(WebSocketCodec, ClientFramesAreMaskedAndCarryTheLengthInItsShortestForm) {
    const std::pair<size_t, std::vector<unsigned char>> cases[] = {{125, {0xfd}},
                                                                   {126, {0xfe, 0x00, 0x7e}},
                                                                   {65535, {0xfe, 0xff, 0xff}},
                                                                   {65536, {0xff, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00}}};
    for (const auto& [len, length_bytes] : cases) {
        std::vector<unsigned char> buffer(kMaxClientHeader + len);
        unsigned char* payload = buffer.data() + kMaxClientHeader;
        for (size_t i = 0; i < len; ++i)
            payload[i] = static_cast<unsigned char>(i);
        const unsigned char* begin = frame_in_place(payload, len, Opcode::TEXT, 0x04030201);
        ASSERT_EQ(static_cast<size_t>(payload - begin), 1 + length_bytes.size() + 4) << len;
        EXPECT_EQ(begin[0], 0x81);
        EXPECT_EQ(std::vector<unsigned char>(begin + 1, begin + 1 + length_bytes.size()), length_bytes);
        for (size_t i = 0; i < len; ++i)
            ASSERT_EQ(payload[i] ^ (payload - 4)[i % 4], static_cast<unsigned char>(i)) << len << " at " << i;
    }
}

// What the reader finds in a stream cut into chunks; control frames as "ping:<payload>".
std::vector<std::string> read_stream(const std::string& stream, size_t chunk) {
    FrameReader reader;
    std::vector<std::string> found;
    std::string message;
    for (size_t at = 0; at < stream.size(); at += chunk) {
        const std::string part = stream.substr(at, chunk);
        size_t used = 0;
        while (true) {
            FrameReader::Piece piece;
            used += reader.parse(part.data() + used, part.size() - used, &piece);
            if (piece.kind == FrameReader::Kind::NONE) break;
            if (piece.kind == FrameReader::Kind::ERROR) return {"error: " + reader.error()};
            if (piece.kind == FrameReader::Kind::DATA) {
                message.append(piece.bytes);
                if (piece.last) found.push_back(std::exchange(message, ""));
            } else {
                const char* name = piece.kind == FrameReader::Kind::PING   ? "ping:"
                                   : piece.kind == FrameReader::Kind::PONG ? "pong:"
                                                                           : "close:";
                found.push_back(name + std::string(piece.bytes));
            }
        }
    }
    return found;
}

TEST(FrameReader, FindsTheSameMessagesAndControlFramesHoweverTheStreamIsCut) {
    const std::string big(300, 'x');
    // A message, a ping, two fragments around a pong, a 16-bit length, an empty message, a close.
    std::string stream;
    for (const std::string& frame :
         {std::string("\x81\x05hello"), std::string("\x89\x01p"), std::string("\x01\x02") + "ab",
          std::string("\x8a\x00", 2), std::string("\x80\x02") + "cd", "\x82\x7e\x01\x2c" + big,
          std::string("\x81\x00", 2), std::string("\x88\x02\x03\xe8")})
        stream += frame;
    const std::vector<std::string> expected = {"hello", "ping:p", "pong:", "abcd", big, "", "close:\x03\xe8"};
    for (size_t chunk : {stream.size(), size_t{1}, size_t{3}, size_t{7}})
        EXPECT_EQ(read_stream(stream, chunk), expected) << "pieces of " << chunk;
}

TEST(FrameReader, RefusesWhatAServerMustNotSend) {
    const std::pair<std::string, const char*> cases[] = {
        {std::string("\x81\x81mask", 6), "masked frame from the server"},
        {std::string("\x83\x00", 2), "unknown opcode 3"},
        {std::string("\x89\x7e\x00\x7e", 4), "control frame fragmented or too long"},
        {std::string("\x80\x00", 2), "continuation frame without a message"},
        {std::string("\x81\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10), "frame length out of range"},
    };
    for (const auto& [stream, why] : cases)
        EXPECT_EQ(read_stream(stream, stream.size()), std::vector<std::string>{std::string("error: ") + why}) << why;
}

TEST(Upgrade, TheAnswerMustSwitchToTheOfferedProtocolWithTheKeysAcceptValue) {
    const auto check = [](const std::string& answer) {
        const UpgradeAnswer a = check_upgrade_answer(answer, "dGhlIHNhbXBsZSBub25jZQ==", "http");
        return a.error + " " + std::to_string(a.head_size);
    };
    const std::string good =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\nSec-WebSocket-Protocol: http\r\n";
    EXPECT_EQ(check(good + "\r\n\x81"), " " + std::to_string(good.size() + 2));
    EXPECT_EQ(check(good), " 0");
    EXPECT_EQ(check("HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: upgrade\r\nSec-WebSocket-Accept: x\r\n\r\n"),
              "HS: Accept hash wrong 85");
    EXPECT_EQ(check(std::string(9000, 'x')).rfind("HS: upgrade response too long", 0), 0u);
}
