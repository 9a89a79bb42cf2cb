#include "px4ctrl/request_pacer.h"

#include <algorithm>

namespace kovo::px4ctrl {

void RequestPacer::start(TimePoint now) {
    active_ = true;
    wanted_ = now;
    last_sent_ = now - interval_;
    last_heard_ = now;
}

void RequestPacer::stop() {
    active_ = false;
    wanted_ = TimePoint::max();
}

void RequestPacer::onPush(TimePoint now) {
    if (!active_) return;
    last_heard_ = now;
    wanted_ = std::min(wanted_, std::max(now, last_sent_ + interval_));
}

void RequestPacer::onOtherMessage(TimePoint now) {
    if (!active_ || now - last_heard_ < kAfterOtherMessage) return;
    last_heard_ = now;
    wanted_ = std::min(wanted_, now);
}

void RequestPacer::onRequestSent(TimePoint now) {
    last_sent_ = now;
    last_heard_ = std::max(last_heard_, now);
    wanted_ = TimePoint::max();
}

RequestPacer::TimePoint RequestPacer::nextDue() const {
    if (!active_) return TimePoint::max();
    // The keep-alive restarts a stalled exchange; after a push the paced
    // request is already wanted.
    return wanted_ != TimePoint::max() ? wanted_ : last_heard_ + kKeepAlive;
}

}  // namespace kovo::px4ctrl
