// The pieces of the px4ctrl link around the message scan: reassembly, the
// pending command, the lazily built state document, the reconnect back-off,
// and the WebSocket framing and upgrade.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "px4ctrl/message_assembler.h"
#include "px4ctrl/pending_command.h"
#include "px4ctrl/reconnect_delays.h"
#include "px4ctrl/state_document.h"
#include "px4ctrl/websocket_codec.h"

using namespace kovo::px4ctrl;

using nlohmann::json;
using Result = MessageAssembler::Result;

// A whole message is used in place; pieces are joined up to the cap
// (inclusive); beyond it the message is dropped whole and only counted.
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

// Only the newest command waits, and only while a connection is open: losing
// it discards the command.
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

TEST(StateDocument, ReadsAsACopyOfTheLastStateTextAndAMissingOrNullStateAsAnEmptyObject) {
    StateDocument s;
    EXPECT_EQ(s.get(), json::object());  // before the first push
    std::string text = R"({"fs":3,"kovo":{"photos":[{"id":1}]}})";
    const json parsed = json::parse(text);
    s.set(std::string_view(text));
    text.assign(text.size(), ' ');  // the received text is gone before the first read
    EXPECT_EQ(s.get(), parsed);
    for (const auto& state : {std::optional<std::string_view>(), std::optional<std::string_view>("null")}) {
        s.set(state);
        EXPECT_EQ(s.get(), json::object());
    }
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

// Everything the reader found in a stream cut into pieces of chunk bytes:
// messages, and control frames as "ping:<payload>", "pong:", "close:<payload>".
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
    // A message, a ping, a message in two fragments around a pong, a 16-bit
    // length, an empty message, a close.
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
        {std::string("\xc1\x00", 2), "reserved bits set in a frame"},
        {std::string("\x83\x00", 2), "unknown opcode 3"},
        {std::string("\x89\x7e\x00\x7e", 4), "control frame fragmented or too long"},
        {std::string("\x09\x00", 2), "control frame fragmented or too long"},
        {std::string("\x80\x00", 2), "continuation frame without a message"},
        {std::string("\x01\x00\x81\x00", 4), "new message inside a fragmented one"},
        {std::string("\x81\x7f\x80\x00\x00\x00\x00\x00\x00\x00", 10), "frame length out of range"},
    };
    for (const auto& [stream, why] : cases)
        EXPECT_EQ(read_stream(stream, stream.size()), std::vector<std::string>{std::string("error: ") + why}) << why;
}

TEST(Upgrade, TheAnswerMustSwitchToTheOfferedProtocolWithTheKeysAcceptValue) {
    const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    const std::string good =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\nConnection: keep-alive, Upgrade\r\n"
        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";
    const std::pair<std::string, const char*> cases[] = {
        {good + "Sec-WebSocket-Protocol: http\r\n\r\n\x81", ""},
        {good + "\r\n", ""},
        {good + "Sec-WebSocket-Protocol: chat\r\n\r\n", "HS: PROTOCOL malformed"},
        {"HTTP/1.1 503 Service Unavailable\r\n\r\n", "HS: ws upgrade response not 101"},
        {"HTTP/1.1 101 OK\r\nConnection: Upgrade\r\n\r\n", "HS: UPGRADE missing"},
        {"HTTP/1.1 101 OK\r\nUpgrade: websocket\r\n\r\n", "HS: CONNECTION missing"},
        {"HTTP/1.1 101 OK\r\nUpgrade: websocket\r\nConnection: upgrade\r\nSec-WebSocket-Accept: x\r\n\r\n",
         "HS: Accept hash wrong"},
    };
    for (const auto& [answer, error] : cases) {
        const UpgradeAnswer a = check_upgrade_answer(answer, key, "http");
        EXPECT_EQ(a.error, error) << answer;
        EXPECT_EQ(a.head_size, answer.find("\r\n\r\n") + 4) << answer;
    }
    EXPECT_EQ(check_upgrade_answer(good, key, "http").head_size, 0u);
    EXPECT_EQ(check_upgrade_answer(std::string(9000, 'x'), key, "http").error, "HS: upgrade response too long");
}
