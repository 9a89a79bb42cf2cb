#pragma once

#include <algorithm>
#include <chrono>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"
#include "test_support.h"

namespace testsupport {

// Collects the records the daemon's code logs (kovo::log, any thread) while it
// lives, split into lines, and still shows them on standard error. A coloured
// record is kept as a terminal would show it, escape codes included. Captures
// nest: the inner one gives the sink back to the outer one.
class LogCapture {
public:
    // echo: show the lines on standard error as well.
    explicit LogCapture(bool echo = true)
        : echo_(echo),
          previous_(kovo::log::set_sink(
              [this](kovo::log::Level, kovo::log::Colour colour, const std::string& text) { put(colour, text); })) {}
    ~LogCapture() { kovo::log::set_sink(std::move(previous_)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines that contain needle.
    size_t count(const std::string& needle) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(needle) != std::string::npos;
        }));
    }
    // Every line so far, each ended with '\n'.
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string out;
        for (const std::string& line : lines_)
            out += line + '\n';
        return out;
    }
    bool waitFor(const std::string& needle, std::chrono::milliseconds timeout, size_t times = 1) const {
        return wait_until([&] { return count(needle) >= times; }, timeout);
    }

private:
    void put(kovo::log::Colour colour, const std::string& record) {
        const std::string text = kovo::log::coloured(colour, record);
        std::lock_guard<std::mutex> lock(mutex_);
        if (echo_) std::cerr << text << '\n';
        for (size_t begin = 0;;) {
            const size_t end = text.find('\n', begin);
            lines_.push_back(text.substr(begin, end - begin));
            if (end == std::string::npos) break;
            begin = end + 1;
        }
    }

    bool echo_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    kovo::log::Sink previous_;
};

// What f logs (from any thread), not echoed.
template <typename F>
std::string output_of(F f) {
    LogCapture log(false);
    f();
    return log.text();
}

}  // namespace testsupport
