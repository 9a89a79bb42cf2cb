#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace testsupport {

// Collects the lines written to std::cout and std::cerr while it lives, and
// still shows them on standard error. Several threads log at once (a link's
// own thread, the echo of a child process): each thread's text is held until
// it ends a line, so that the pieces of one log statement stay together.
class LogCapture : public std::streambuf {
public:
    // echo: show the lines on standard error as well.
    explicit LogCapture(bool echo = true) : echo_(echo), out_(std::cout.rdbuf(this)), err_(std::cerr.rdbuf(this)) {}
    ~LogCapture() override {
        std::cout.rdbuf(out_);
        std::cerr.rdbuf(err_);
    }
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
    bool wait_for(const std::string& needle, std::chrono::milliseconds timeout, size_t times = 1) const {
        return wait_until([&] { return count(needle) >= times; }, timeout);
    }
    // While the returned lock lives, a thread that logs stops in its log call;
    // writers_waiting() tells when one does.
    std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(mutex_); }
    int writers_waiting() const { return waiting_; }

protected:
    int_type overflow(int_type ch) override {
        if (ch != traits_type::eof()) put(static_cast<char>(ch));
        return ch;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize i = 0; i < n; ++i)
            put(s[i]);
        return n;
    }

private:
    void put(char c) {
        ++waiting_;
        std::lock_guard<std::mutex> lock(mutex_);
        --waiting_;
        std::string& line = current_[std::this_thread::get_id()];
        if (c != '\n') {
            line += c;
            return;
        }
        if (echo_) {
            err_->sputn(line.data(), static_cast<std::streamsize>(line.size()));
            err_->sputc('\n');
        }
        lines_.push_back(std::move(line));
        line.clear();
    }

    bool echo_;
    std::streambuf* out_;
    std::streambuf* err_;
    mutable std::mutex mutex_;
    std::atomic<int> waiting_{0};
    std::map<std::thread::id, std::string> current_;
    std::vector<std::string> lines_;
};

// What f writes to std::cout and std::cerr (from any thread), not echoed.
template <typename F>
std::string output_of(F f) {
    LogCapture log(false);
    f();
    return log.text();
}

}  // namespace testsupport
