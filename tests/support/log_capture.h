#pragma once

#include <chrono>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "log/log.h"
#include "test_support.h"

namespace testsupport {

// Collects what kovo::log writes (any thread, escape codes included) while it
// lives; captures nest.
class LogCapture {
public:
    explicit LogCapture(bool echo = true)
        : previous_(kovo::log::set_sink([this, echo](kovo::log::Level, kovo::log::Colour colour, const std::string& r) {
              const std::string shown = kovo::log::coloured(colour, r) + '\n';
              std::lock_guard<std::mutex> lock(mutex_);
              if (echo) std::cerr << shown;
              text_ += shown;
          })) {}
    ~LogCapture() { kovo::log::set_sink(std::move(previous_)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Lines that contain needle.
    size_t count(const std::string& needle) const {
        std::istringstream in(text());
        size_t found = 0;
        for (std::string line; std::getline(in, line);)
            found += line.find(needle) != std::string::npos;
        return found;
    }
    // Every line so far, each ended with '\n'.
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    bool waitFor(const std::string& needle, std::chrono::milliseconds timeout, size_t times = 1) const {
        return wait_until([&] { return count(needle) >= times; }, timeout);
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
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
