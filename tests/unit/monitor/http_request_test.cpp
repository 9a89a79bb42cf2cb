#include "monitor/web_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace kovo::monitor;

using State = RequestExtent::State;

TEST(RequestParsing, MethodPathAndBody) {
    struct Row {
        std::string request, method, path, body;
    };
    const std::vector<Row> rows = {
        {"POST /api/config HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "POST", "/api/config", "{}"},
        {"get /api/stats?x=1 HTTP/1.1\r\n\r\nline1\r\n\r\nline2", "get", "/api/stats?x=1", "line1\r\n\r\nline2"},
        {"GET  HTTP/1.1\r\nHost: x\r\n", "GET", "", ""},
        {"GET /no-version", "GET", "/", ""},
        {"HELLO", "GET", "/", ""},
        {std::string("P / H\r\n\r\nab\0cd", 14), "P", "/", "ab"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request);
        EXPECT_EQ(extract_method(row.request), row.method);
        EXPECT_EQ(extract_path(row.request), row.path);
        EXPECT_EQ(extract_body(row.request), row.body);
    }
}

TEST(RequestExtentRule, HeadersThenTheDeclaredBodyWithinTheCap) {
    const std::string get = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::string post = "POST /api/config HTTP/1.1\r\nHost: x\r\ncontent-LENGTH:\t 11 \r\nAccept: */*\r\n\r\n";
    const std::string length = "POST / HTTP/1.1\r\nContent-Length: ";
    const size_t cap = (length + "10\r\n\r\n").size() + 10;
    struct Row {
        std::string received;
        size_t max;
        State state;
        size_t size;
    };
    const std::vector<Row> rows = {
        {"GET / HTTP/1.1\r\nHost: x\r\n", 1000, State::INCOMPLETE, 0},
        {get, 1000, State::COMPLETE, get.size()},
        // Only header lines count, not the request line.
        {"GET /Content-Length:99 HTTP/1.1\r\n\r\n", 1000, State::COMPLETE, 35},
        {post, 1000, State::INCOMPLETE, 0},
        {post + "{\"a\":\"bcd\"}", 1000, State::COMPLETE, post.size() + 11},
        // Bytes beyond the declared body are not part of the request.
        {post + "{\"a\":\"bcd\"}GET /", 1000, State::COMPLETE, post.size() + 11},
        {length + "10\r\n\r\n0123456789", cap, State::COMPLETE, cap},
        {length + "11\r\n\r\n", cap, State::TOO_LARGE, 0},
        {length + "100000\r\n\r\n", 65536, State::TOO_LARGE, 0},
        {length + "99999999999999999999999999\r\n\r\n", 65536, State::TOO_LARGE, 0},
        {"GET / HTTP/1.1\r\nX: " + std::string(1000, 'y') + "\r\n\r\n", 1000, State::TOO_LARGE, 0},
        {length + "-1\r\n\r\n", 1000, State::BAD_LENGTH, 0},
        {length + "\r\n\r\n", 1000, State::BAD_LENGTH, 0},
        {length + "1 2\r\n\r\n", 1000, State::BAD_LENGTH, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.received.substr(0, 80));
        const RequestExtent extent = request_extent(row.received, row.max);
        EXPECT_EQ(extent.state, row.state);
        EXPECT_EQ(extent.size, row.size);
    }
}

// Far more than one send takes; the rest follows as the reader drains it.
// Then the reader leaves: without MSG_NOSIGNAL the next response would end
// the process with SIGPIPE.
TEST(ResponseFraming, LargeBodyArrivesWholeAndAClientThatLeftCostsNothing) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    const std::string body(300000, 'b');
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[1], buf, sizeof(buf))) > 0)
            received.append(buf, static_cast<size_t>(n));
        close(fds[1]);
    });
    send_response(fds[0], 200, "OK", "application/json; charset=utf-8", body);
    shutdown(fds[0], SHUT_WR);
    reader.join();
    EXPECT_EQ(received,
              "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 300000\r\n"
              "Connection: close\r\n\r\n" +
                  body);
    send_response(fds[0], 200, "OK", "text/html; charset=utf-8", "gone");
    close(fds[0]);
}
