// The pace of the state requests, on a fake timeline: px4ctrl's pushes and
// other messages at given milliseconds, a request sent whenever the pacer says
// one is due.
#include "px4ctrl/request_pacer.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

using kovo::px4ctrl::RequestPacer;
using namespace std::chrono_literals;

namespace {

struct Case {
    const char* name;
    int interval_ms;
    int answer_ms;            // px4ctrl pushes this long after each request; -1: it does not answer
    std::vector<int> pushes;  // pushes px4ctrl sends on its own
    std::vector<int> others;  // messages that are not accepted pushes
    int until_ms;
    std::vector<int> requests;  // when the requests leave
};

// Logs in at 0, then runs every event and every due time in order.
std::vector<int> requests_sent(const Case& c) {
    const auto at = [](int ms) { return RequestPacer::TimePoint(std::chrono::milliseconds(ms)); };
    RequestPacer pacer{std::chrono::milliseconds(c.interval_ms)};
    pacer.start(at(0));
    std::vector<int> pushes = c.pushes;
    std::vector<int> others = c.others;
    std::vector<int> sent;
    while (true) {
        const int next_push = pushes.empty() ? INT32_MAX : *std::min_element(pushes.begin(), pushes.end());
        const int next_other = others.empty() ? INT32_MAX : *std::min_element(others.begin(), others.end());
        const auto due = pacer.nextDue();
        const int next_due =
            due == RequestPacer::TimePoint::max()
                ? INT32_MAX
                : static_cast<int>(
                      std::chrono::duration_cast<std::chrono::milliseconds>(due.time_since_epoch()).count());
        const int now = std::min({next_push, next_other, next_due});
        if (now > c.until_ms) return sent;
        if (now == next_push) {
            pushes.erase(std::find(pushes.begin(), pushes.end(), now));
            pacer.onPush(at(now));
        } else if (now == next_other) {
            others.erase(std::find(others.begin(), others.end(), now));
            pacer.onOtherMessage(at(now));
        } else {
            EXPECT_TRUE(pacer.due(at(now)));
            EXPECT_FALSE(pacer.due(at(now) - 1ms));
            pacer.onRequestSent(at(now));
            sent.push_back(now);
            if (c.answer_ms >= 0) pushes.push_back(now + c.answer_ms);
        }
    }
}

TEST(RequestPacer, RequestsFollowTheIntervalThePushesAndTheKeepAliveRules) {
    const Case cases[] = {
        {"px4ctrl answering at once: one request per interval", 20, 1, {}, {}, 100, {0, 20, 40, 60, 80, 100}},
        {"interval 0: the next request right after each push", 0, 1, {}, {}, 4, {0, 1, 2, 3, 4}},
        {"slow answers: the next request right after the push", 20, 30, {}, {}, 100, {0, 30, 60, 90}},
        {"pushes of its own, slower than the interval", 20, -1, {50, 100, 150}, {}, 160, {0, 50, 100, 150}},
        {"pushes of its own, faster than the interval", 20, -1, {5, 10, 15, 25, 30, 35, 45}, {}, 50, {0, 20, 40}},
        {"no pushes: the keep-alive every 500 ms", 20, -1, {}, {}, 1600, {0, 500, 1000, 1500}},
        {"another message 200 ms after the last request asks again", 20, -1, {}, {150, 250}, 800, {0, 250, 750}},
        {"an interval beyond the keep-alive holds the pushes back", 1000, 1, {}, {}, 2500, {0, 1000, 2000}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(requests_sent(c), c.requests) << c.name;
    }
}

TEST(RequestPacer, NothingIsDueWhileStoppedAndAStartAsksAtOnce) {
    RequestPacer pacer{20ms};
    const RequestPacer::TimePoint t0(10s);
    EXPECT_EQ(pacer.nextDue(), RequestPacer::TimePoint::max());
    pacer.start(t0);
    EXPECT_TRUE(pacer.due(t0));
    pacer.stop();
    pacer.onPush(t0 + 1s);
    pacer.onOtherMessage(t0 + 1s);
    EXPECT_FALSE(pacer.due(t0 + 1h));
}

}  // namespace
