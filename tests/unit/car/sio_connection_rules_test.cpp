// Handshake address, query encoding and reconnection timing.
#include <gtest/gtest.h>

#include <stdexcept>

#include "car/sio/reconnect.h"
#include "car/sio/uri.h"

using namespace std::chrono_literals;

TEST(ServerUri, HostAndPort) {
    const auto a = sio::parse_server_uri("http://127.0.0.1:8080");
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 8080);
    EXPECT_EQ(sio::parse_server_uri("http://car.local").port, 80);
    EXPECT_EQ(sio::parse_server_uri("ws://car.local:9").host, "car.local");
    EXPECT_EQ(sio::parse_server_uri("HTTP://h:1/").port, 1);
}

TEST(ServerUri, PathAndQueryAreIgnored) {
    const auto a = sio::parse_server_uri("http://10.0.0.2:3000/socket.io/?x=1");
    EXPECT_EQ(a.host, "10.0.0.2");
    EXPECT_EQ(a.port, 3000);
    EXPECT_EQ(sio::parse_server_uri("http://h?x=1").host, "h");
}

TEST(ServerUri, Ipv6Literal) {
    const auto a = sio::parse_server_uri("http://[::1]:8080");
    EXPECT_EQ(a.host, "::1");
    EXPECT_EQ(a.port, 8080);
    EXPECT_EQ(sio::parse_server_uri("ws://[fe80::1]").port, 80);
}

TEST(ServerUri, RefusesWhatItCannotConnectTo) {
    for (const char* bad : {"", "127.0.0.1:8080", "https://h:443", "wss://h", "ftp://h", "http://", "http://:80",
                            "http://h:", "http://h:0", "http://h:65536", "http://h:80x", "http://h:123456",
                            "http://[::1", "http://[::1]x", "http://user@h"}) {
        EXPECT_THROW(sio::parse_server_uri(bad), std::invalid_argument) << bad;
    }
}

TEST(QueryEncoding, KeepsOnlyLettersAndDigits) {
    EXPECT_EQ(sio::url_encode("AZaz09"), "AZaz09");
    EXPECT_EQ(sio::url_encode("4821-9037"), "4821%2D9037");
    EXPECT_EQ(sio::url_encode("a b+c&d=e/f?"), "a%20b%2Bc%26d%3De%2Ff%3F");
    EXPECT_EQ(sio::url_encode("~._"), "%7E%2E%5F");
    EXPECT_EQ(sio::url_encode(""), "");
}

TEST(QueryEncoding, EncodesUtf8BytesInUpperCaseHex) {
    EXPECT_EQ(sio::url_encode("\xc3\xa9\xe4\xb8\xad"), "%C3%A9%E4%B8%AD");
    EXPECT_EQ(sio::url_encode(std::string("\x00\xff", 2)), "%00%FF");
}

TEST(HandshakePath, RevisionThreeWebSocketWithTheQuery) {
    EXPECT_EQ(sio::handshake_path({{"accessKey", "4821-9037"}, {"clientType", "app"}}),
              "/socket.io/?EIO=3&transport=websocket&accessKey=4821%2D9037&clientType=app");
    EXPECT_EQ(sio::handshake_path({}), "/socket.io/?EIO=3&transport=websocket");
    EXPECT_EQ(sio::handshake_path({{"k y", "v&w"}}), "/socket.io/?EIO=3&transport=websocket&k%20y=v%26w");
}

TEST(ReconnectDelay, GrowsByHalfEachAttempt) {
    EXPECT_EQ(sio::reconnect_delay(1000ms, 0), 1000ms);
    EXPECT_EQ(sio::reconnect_delay(1000ms, 1), 1500ms);
    EXPECT_EQ(sio::reconnect_delay(1000ms, 2), 2250ms);
    EXPECT_EQ(sio::reconnect_delay(1000ms, 3), 3375ms);
    EXPECT_EQ(sio::reconnect_delay(200ms, 4), 1012ms);
}

TEST(ReconnectDelay, IsCappedAt25Seconds) {
    EXPECT_EQ(sio::reconnect_delay(1000ms, 7), 17085ms);
    EXPECT_EQ(sio::reconnect_delay(1000ms, 8), 25000ms);
    EXPECT_EQ(sio::reconnect_delay(1000ms, 100000), 25000ms);
    EXPECT_EQ(sio::reconnect_delay(60000ms, 0), 25000ms);
}

TEST(ReconnectDelay, ZeroOrNegativeBaseMeansNoWait) {
    EXPECT_EQ(sio::reconnect_delay(0ms, 5), 0ms);
    EXPECT_EQ(sio::reconnect_delay(-100ms, 0), 0ms);
}

TEST(ReconnectBudget, ZeroAttemptsNeverReconnects) {
    sio::ReconnectBudget budget(0, 1000ms);
    EXPECT_FALSE(budget.next().has_value());
    sio::ReconnectBudget negative(-3, 1000ms);
    EXPECT_FALSE(negative.next().has_value());
}

TEST(ReconnectBudget, CountsAttemptsAndRestartsAfterAnOpen) {
    sio::ReconnectBudget budget(3, 1000ms);
    EXPECT_EQ(budget.next(), 1000ms);
    EXPECT_EQ(budget.next(), 1500ms);
    EXPECT_EQ(budget.next(), 2250ms);
    EXPECT_FALSE(budget.next().has_value());
    budget.reset();
    EXPECT_EQ(budget.next(), 1000ms);
}
