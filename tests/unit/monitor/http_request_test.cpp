#include "monitor/web_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

using State = RequestExtent::State;

TEST(RequestLine, MethodIsTheFirstWord) {
    EXPECT_EQ(extractMethod("POST /api/config HTTP/1.1\r\n\r\n"), "POST");
    EXPECT_EQ(extractMethod("get / HTTP/1.1"), "get");
    EXPECT_EQ(extractMethod("HELLO"), "GET");
    EXPECT_EQ(extractMethod(""), "GET");
}

TEST(RequestLine, PathIsTheSecondWordWithItsQuery) {
    EXPECT_EQ(extractPath("GET /api/stats HTTP/1.1\r\nHost: x\r\n\r\n"), "/api/stats");
    EXPECT_EQ(extractPath("GET /api/stats?x=1 HTTP/1.1\r\n\r\n"), "/api/stats?x=1");
    EXPECT_EQ(extractPath("GET /no-version"), "/");
    EXPECT_EQ(extractPath("HELLO"), "/");
    EXPECT_EQ(extractPath("GET  HTTP/1.1"), "");
}

TEST(RequestBody, TextAfterTheFirstEmptyLine) {
    EXPECT_EQ(extractBody("POST /a HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}"), "{}");
    EXPECT_EQ(extractBody("POST /a HTTP/1.1\r\n\r\nline1\r\n\r\nline2"), "line1\r\n\r\nline2");
    EXPECT_EQ(extractBody("GET / HTTP/1.1\r\nHost: x\r\n"), "");
    EXPECT_EQ(extractBody(std::string("P / H\r\n\r\nab\0cd", 14)), "ab");
}

TEST(RequestExtentRule, WaitsForTheEmptyLine) {
    EXPECT_EQ(request_extent("GET / HTTP/1.1\r\nHost: x\r\n", 1000).state, State::Incomplete);
    EXPECT_EQ(request_extent("", 1000).state, State::Incomplete);
}

TEST(RequestExtentRule, WithoutContentLengthTheHeadersAreEnough) {
    const std::string req = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const RequestExtent e = request_extent(req, 1000);
    EXPECT_EQ(e.state, State::Complete);
    EXPECT_EQ(e.size, req.size());
}

TEST(RequestExtentRule, WaitsForTheDeclaredBody) {
    const std::string head = "POST /api/config HTTP/1.1\r\nHost: x\r\ncontent-LENGTH:\t 11 \r\nAccept: */*\r\n\r\n";
    EXPECT_EQ(request_extent(head, 1000).state, State::Incomplete);
    EXPECT_EQ(request_extent(head + "{\"a\":", 1000).state, State::Incomplete);
    const RequestExtent e = request_extent(head + "{\"a\":\"bcd\"}", 1000);
    EXPECT_EQ(e.state, State::Complete);
    EXPECT_EQ(e.size, head.size() + 11);
    // Bytes beyond the declared body are not part of the request.
    EXPECT_EQ(request_extent(head + "{\"a\":\"bcd\"}GET /", 1000).size, head.size() + 11);
}

TEST(RequestExtentRule, ContentLengthInTheRequestLineIsNoHeader) {
    const std::string req = "GET /Content-Length:99 HTTP/1.1\r\n\r\n";
    EXPECT_EQ(request_extent(req, 1000).state, State::Complete);
}

TEST(RequestExtentRule, LimitsTheWholeRequest) {
    const std::string head = "POST / HTTP/1.1\r\nContent-Length: ";
    EXPECT_EQ(request_extent(head + "100000\r\n\r\n", 65536).state, State::TooLarge);
    EXPECT_EQ(request_extent(head + "99999999999999999999999999\r\n\r\n", 65536).state, State::TooLarge);
    EXPECT_EQ(request_extent(std::string(2000, 'x'), 1000).state, State::TooLarge);
    std::string big_headers = "GET / HTTP/1.1\r\nX: " + std::string(1000, 'y') + "\r\n\r\n";
    EXPECT_EQ(request_extent(big_headers, 1000).state, State::TooLarge);

    const std::string at_cap = head + "10\r\n\r\n";
    const size_t cap = at_cap.size() + 10;
    EXPECT_EQ(request_extent(at_cap + "0123456789", cap).state, State::Complete);
    EXPECT_EQ(request_extent(head + "11\r\n\r\n", cap).state, State::TooLarge);
}

TEST(RequestExtentRule, RejectsAMalformedLength) {
    for (const char* value : {"abc", "-1", "", "1 2", "0x10"}) {
        const std::string req = std::string("POST / HTTP/1.1\r\nContent-Length: ") + value + "\r\n\r\n";
        EXPECT_EQ(request_extent(req, 1000).state, State::BadLength) << value;
    }
}

namespace {

// Both ends of a connected local stream socket, closed on destruction.
struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    std::string read_all() {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[1], buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }
};

}  // namespace

TEST(ResponseFraming, ByteForByteWithLengthInBytes) {
    SocketPair pair;
    sendResponse(pair.fds[0], 200, "OK", "text/html; charset=utf-8", "统计 ok");
    close(pair.fds[0]);
    pair.fds[0] = -1;
    EXPECT_EQ(pair.read_all(),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 9\r\n"
              "Connection: close\r\n\r\n统计 ok");
}

TEST(ResponseFraming, LargeBodyArrivesWhole) {
    SocketPair pair;
    const std::string body(300000, 'b');
    std::string received;
    std::thread reader([&] { received = pair.read_all(); });
    sendResponse(pair.fds[0], 200, "OK", "application/json; charset=utf-8", body);
    close(pair.fds[0]);
    pair.fds[0] = -1;
    reader.join();
    EXPECT_EQ(received.size() - received.find("\r\n\r\n") - 4, body.size());
}

TEST(ResponseFraming, AClientThatLeftCostsNothing) {
    SocketPair pair;
    close(pair.fds[1]);
    pair.fds[1] = -1;
    // Without MSG_NOSIGNAL this would end the process with SIGPIPE.
    sendResponse(pair.fds[0], 200, "OK", "text/html; charset=utf-8", "gone");
    SUCCEED();
}
