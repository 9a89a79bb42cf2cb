#include "app/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <ctime>

namespace kovo::app {

namespace {

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void block_stop_signals() {
    const sigset_t set = stop_signal_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int wait_for_stop_signal(std::chrono::milliseconds timeout) {
    const sigset_t set = stop_signal_set();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds.count());
    ts.tv_nsec = static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count());
    for (;;) {
        const int signal = sigtimedwait(&set, nullptr, &ts);
        if (signal > 0) return signal;
        // EINTR: another signal (say SIGCHLD) cut the wait short; timing it
        // again from the start only makes the wait longer.
        if (errno != EINTR) return 0;
    }
}

const char* stop_signal_name(int signal) { return signal == SIGTERM ? "SIGTERM" : "SIGINT"; }

}  // namespace kovo::app
