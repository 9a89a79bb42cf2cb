#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "app/mission/ports.h"
#include "platform/spool.h"

namespace kovo::app {

// The uploads the mission gave up on, kept in the spool's uploads queue and
// retried by one background worker, oldest first, each with its own pause
// (5 s doubling up to 5 min), until the platform takes it (2xx) or it is
// older than the spool's age bound: then one line names it and its mission.
// A camera picture is downloaded first. The worker sleeps until the next
// entry is due, a new one arrives or wake() is called: an empty spool costs
// nothing.
class UploadRetrier : public UploadSpill {
public:
    static constexpr int64_t kFirstPauseMs = 5000;
    static constexpr int64_t kMaxPauseMs = 300000;

    UploadRetrier(platform::Spool& spool, HttpPort& http, std::function<int64_t()> now_ms = platform::wall_clock_ms);

    void spool(const SpooledUpload& upload) override;
    // The worker's body: passes until stop(). Run it on a thread of its own.
    void run();
    // Ends run() after the transfer in progress.
    void stop();
    // The platform may be reachable again: every waiting entry is due now.
    void wake();
    // Tries every due entry once, in order; a platform that does not answer
    // ends the pass. The milliseconds until the next entry is due, or -1
    // when none waits.
    int64_t runPass();

private:
    struct Retry {
        int64_t due_ms = 0;
        int64_t pause_ms = kFirstPauseMs;
    };
    enum class Outcome { DELIVERED, REFUSED, UNREACHED };

    Outcome attempt(uint64_t seq, const SpooledUpload& upload);
    // Gives up the entries over the age bound, one line each.
    void giveUpExpired(int64_t now);
    bool stopping();

    platform::Spool& spool_;
    HttpPort& http_;
    const std::function<int64_t()> now_ms_;
    std::mutex mutex_;  // leaf: the fields below
    std::condition_variable cv_;
    bool running_ = true;
    bool woken_ = false;
    std::map<uint64_t, Retry> retries_;  // entries not due at once
};

}  // namespace kovo::app
