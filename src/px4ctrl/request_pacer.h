#pragma once

#include <chrono>

namespace kovo::px4ctrl {

// When the next state request leaves. px4ctrl answers each request with one
// push, so the requests set the rate of the whole exchange: after a push the
// next request waits until the interval has passed since the previous one (0:
// at once). Without pushes a request still leaves 500 ms after the last
// request or push, and after a message that was not an accepted push one
// leaves when 200 ms have passed since then.
// No clock inside: the caller passes the time of each event.
class RequestPacer {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    static constexpr std::chrono::milliseconds kKeepAlive{500};
    static constexpr std::chrono::milliseconds kAfterOtherMessage{200};

    explicit RequestPacer(std::chrono::milliseconds interval) : interval_(interval) {}

    // Logged in: the first request is due at once.
    void start(TimePoint now);
    // Logged out or disconnected: nothing is due until the next start.
    void stop();
    void onPush(TimePoint now);
    void onOtherMessage(TimePoint now);
    void onRequestSent(TimePoint now);

    bool due(TimePoint now) const { return now >= nextDue(); }
    // TimePoint::max() while stopped.
    TimePoint nextDue() const;

private:
    std::chrono::milliseconds interval_;
    bool active_ = false;
    TimePoint wanted_ = TimePoint::max();  // a request asked for by a push or a message
    TimePoint last_sent_{};
    TimePoint last_heard_{};  // the last push or request: the keep-alive counts from here
};

}  // namespace kovo::px4ctrl
