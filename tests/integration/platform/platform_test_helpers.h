#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_support.h"

// Helpers of the platform link's peer tests: the events and commands of the
// simulated peers, and the client's log lines.
namespace platformtest {

using namespace std::chrono_literals;

// The JSON lines of the peer's standard output whose "event" is name, in order.
std::vector<nlohmann::json> peer_events(testsupport::NodePeer& peer, const std::string& name);
// Waits until the peer has printed at least count such events and returns
// them all (fewer on timeout).
std::vector<nlohmann::json> wait_events(testsupport::NodePeer& peer, const std::string& name, size_t count,
                                        std::chrono::milliseconds timeout = 5000ms);
// Sends a control command and waits for its acknowledgement; false when the
// peer rejected it or did not answer.
bool peer_command(testsupport::NodePeer& peer, const nlohmann::json& command);

// Collects what is written to std::cout and std::cerr, line by line, while it
// lives (and still passes it on to the real standard error). Writers may be
// on any thread.
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    std::vector<std::string> stdout_lines() const;
    std::vector<std::string> stderr_lines() const;
    // Lines of either stream that contain needle.
    size_t count(const std::string& needle) const;
    bool wait_for(const std::string& needle, std::chrono::milliseconds timeout, size_t occurrences = 1) const;

private:
    class LineBuffer : public std::streambuf {
    public:
        LineBuffer(std::streambuf* echo, const char* tag) : echo_(echo), tag_(tag) {}
        std::vector<std::string> lines() const;

    protected:
        int overflow(int c) override;
        std::streamsize xsputn(const char* data, std::streamsize n) override;

    private:
        void append(const char* data, size_t n);
        std::streambuf* echo_;
        const char* tag_;
        mutable std::mutex mutex_;
        std::string pending_;
        std::vector<std::string> lines_;
    };

    std::streambuf* old_out_;
    std::streambuf* old_err_;
    std::unique_ptr<LineBuffer> out_;
    std::unique_ptr<LineBuffer> err_;
};

}  // namespace platformtest
