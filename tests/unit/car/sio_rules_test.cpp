// The socket.io client's pure rules: wire codec, server address, reconnection timing, value conversion.
#include <gtest/gtest.h>

#include <stdexcept>

#include "car/sio/packet.h"
#include "car/sio/reconnect.h"
#include "car/sio/uri.h"
#include "car/sio_msg_json.h"

using namespace kovo::car;
using namespace kovo::car::sio;

using namespace std::chrono_literals;
using nlohmann::json;

TEST(OpenPacket, BoundsAbsurdPingFiguresAndRejectsPacketsWithoutTheNeededMembers) {
    const auto h = sio::decode_handshake(R"({"sid":"s","pingInterval":0,"pingTimeout":1e300})");
    // A busy loop or an overflowing clock otherwise.
    EXPECT_EQ(h.ping_interval, 100ms);
    EXPECT_EQ(h.ping_timeout, 24h);
    EXPECT_EQ(sio::decode_handshake(R"({"sid":"s","pingInterval":-5,"pingTimeout":2500.7})").ping_timeout, 2500ms);
    for (const char* bad : {R"({"sid":"","pingInterval":1,"pingTimeout":1})", R"({"sid":"s","pingTimeout":1})",
                            R"({"sid":"s","pingInterval":"25000","pingTimeout":1})"}) {
        EXPECT_THROW(sio::decode_handshake(bad), ProtocolError) << bad;
    }
}

// Each packet type in its wire forms, "<type>[<n>-][<nsp>,][<id>][<json>]".
TEST(PacketCodec, EveryTypeWithNamespaceAckIdAndAttachmentsAndTheEventsWeSend) {
    // data nullptr: no JSON.
    const struct {
        const char* text;
        PacketType type;
        const char* nsp;
        std::optional<std::uint64_t> id;
        std::size_t attachments;
        const char* data;
    } cases[] = {
        {"0", PacketType::CONNECT, "/", std::nullopt, 0, nullptr},
        {R"(2/admin,456["project:delete",123])", PacketType::EVENT, "/admin", 456, 0, R"(["project:delete",123])"},
        {R"(4/admin,"Not authorized")", PacketType::ERROR, "/admin", std::nullopt, 0, R"("Not authorized")"},
        {R"(512-/admin,9["x"])", PacketType::BINARY_EVENT, "/admin", 9, 12, R"(["x"])"},
        {R"(61-/admin,456[{"_placeholder":true,"num":0}])", PacketType::BINARY_ACK, "/admin", 456, 1,
         R"([{"_placeholder":true,"num":0}])"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto p = sio::decode_packet(c.text);
        EXPECT_EQ(p.type, c.type);
        EXPECT_EQ(p.nsp, c.nsp);
        EXPECT_EQ(p.id, c.id);
        EXPECT_EQ(p.attachments, c.attachments);
        EXPECT_EQ(p.data, c.data ? std::optional<Message>(Message::parse(c.data)) : std::nullopt);
    }
    // Events carry one string argument, invalid UTF-8 replaced; acks are empty.
    EXPECT_EQ(sio::encode_event("ev", "{\"a\":1} \xff"), "42[\"ev\",\"{\\\"a\\\":1} \xef\xbf\xbd\"]");
    EXPECT_EQ(sio::encode_ack(456), "43456[]");
}

TEST(ServerUri, HostAndPortWithPathAndQueryIgnoredAndRefusesWhatItCannotConnectTo) {
    const auto address = [](const char* uri) {
        const auto a = sio::parse_server_uri(uri);
        return a.host + " " + std::to_string(a.port);
    };
    EXPECT_EQ(address("HTTP://h:1/"), "h 1");
    EXPECT_EQ(address("http://10.0.0.2:3000/socket.io/?x=1"), "10.0.0.2 3000");
    EXPECT_EQ(address("ws://[fe80::1]"), "fe80::1 80");
    for (const char* bad : {"127.0.0.1:8080", "https://h:443", "http://:80", "http://h:0", "http://h:65536",
                            "http://h:80x", "http://[::1", "http://user@h"}) {
        EXPECT_THROW(sio::parse_server_uri(bad), std::invalid_argument) << bad;
    }
}

TEST(ReconnectDelay, GrowsByHalfEachAttemptUpTo25SecondsAndRestartsAfterAnOpen) {
    const struct {
        std::chrono::milliseconds base;
        unsigned n;
        std::chrono::milliseconds wait;
    } cases[] = {
        {200ms, 4, 1012ms}, {1000ms, 7, 17085ms}, {1000ms, 100000, 25000ms}, {60000ms, 0, 25000ms}, {-100ms, 0, 0ms},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sio::reconnect_delay(c.base, c.n), c.wait) << c.base.count() << " ms, attempt " << c.n;
    EXPECT_FALSE(sio::ReconnectBudget(0, 1000ms).next().has_value());
    sio::ReconnectBudget budget(3, 1000ms);
    for (const auto wait : {1000ms, 1500ms, 2250ms})
        EXPECT_EQ(budget.next(), wait);
    EXPECT_FALSE(budget.next().has_value());
    budget.reset();
    EXPECT_EQ(budget.next(), 1000ms);
}

// Only the text tells 2.0 from 2; beyond 64 signed bits is a double, never a wrapped integer.
TEST(ValueKinds, NumberedLikeTheDaemonLogsThemWithIntegersAndDoublesApart) {
    const std::pair<const char*, int> cases[] = {
        {"2", 0}, {"-9223372036854775808", 0}, {"2.0", 1}, {"9223372036854775808", 1}, {"{}", 5}, {"null", 7}};
    for (const auto& [text, kind] : cases)
        EXPECT_EQ(static_cast<int>(sio::kind_of(sio::parse_message(text))), kind) << text;
}

TEST(SioMsgToJson, ArgumentConvertsByKindAndAStringIsParsedWhenItHoldsJsonText) {
    // Nesting one level beyond the bound.
    const int levels = sio::kDefaultMaxDepth + 1;
    const std::string deep = std::string(levels, '[') + std::string(levels, ']');
    const std::pair<Message, json> cases[] = {
        {Message(std::int64_t{-7}), -7},
        {Message::object(), nullptr},
        {Message("12"), 12},
        // Strings that are not (strict, bounded) JSON text stay strings.
        {Message("{\"a\":1} x"), "{\"a\":1} x"},
        {Message(deep), deep},
    };
    for (const auto& [in, expected] : cases) {
        const json out = sio_msg_to_json(&in);
        EXPECT_EQ(out, expected) << in;
        EXPECT_EQ(out.type(), expected.type()) << in;
    }
    EXPECT_TRUE(sio_msg_to_json(nullptr).is_null());
}
