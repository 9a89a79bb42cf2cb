#include "platform_test_helpers.h"

#include <iostream>

namespace platformtest {

std::vector<nlohmann::json> peer_events(testsupport::NodePeer& peer, const std::string& name) {
    std::vector<nlohmann::json> found;
    for (const auto& line : peer.process().stdout_lines()) {
        const auto event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object() && event.value("event", "") == name) found.push_back(event);
    }
    return found;
}

std::vector<nlohmann::json> wait_events(testsupport::NodePeer& peer, const std::string& name, size_t count,
                                        std::chrono::milliseconds timeout) {
    std::vector<nlohmann::json> found;
    testsupport::wait_until(
        [&] {
            found = peer_events(peer, name);
            return found.size() >= count;
        },
        timeout, 10ms);
    return found;
}

bool peer_command(testsupport::NodePeer& peer, const nlohmann::json& command) {
    const auto answers = [&] { return peer_events(peer, "command").size() + peer_events(peer, "command_error").size(); };
    const size_t before = answers();
    const size_t rejected = peer_events(peer, "command_error").size();
    peer.send_line(command.dump());
    if (!testsupport::wait_until([&] { return answers() > before; }, 5000ms, 10ms)) return false;
    return peer_events(peer, "command_error").size() == rejected;
}

CapturedOutput::CapturedOutput()
    : old_out_(std::cout.rdbuf()),
      old_err_(std::cerr.rdbuf()),
      out_(std::make_unique<LineBuffer>(old_err_, "[out] ")),
      err_(std::make_unique<LineBuffer>(old_err_, "[err] ")) {
    std::cout.rdbuf(out_.get());
    std::cerr.rdbuf(err_.get());
}

CapturedOutput::~CapturedOutput() {
    std::cout.rdbuf(old_out_);
    std::cerr.rdbuf(old_err_);
}

std::vector<std::string> CapturedOutput::stdout_lines() const { return out_->lines(); }

std::vector<std::string> CapturedOutput::stderr_lines() const { return err_->lines(); }

size_t CapturedOutput::count(const std::string& needle) const {
    size_t n = 0;
    for (const auto* buffer : {out_.get(), err_.get()})
        for (const auto& line : buffer->lines())
            if (line.find(needle) != std::string::npos) ++n;
    return n;
}

bool CapturedOutput::wait_for(const std::string& needle, std::chrono::milliseconds timeout,
                              size_t occurrences) const {
    return testsupport::wait_until([&] { return count(needle) >= occurrences; }, timeout, 5ms);
}

std::vector<std::string> CapturedOutput::LineBuffer::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

int CapturedOutput::LineBuffer::overflow(int c) {
    if (c != traits_type::eof()) {
        const char ch = static_cast<char>(c);
        append(&ch, 1);
    }
    return traits_type::not_eof(c);
}

std::streamsize CapturedOutput::LineBuffer::xsputn(const char* data, std::streamsize n) {
    append(data, static_cast<size_t>(n));
    return n;
}

void CapturedOutput::LineBuffer::append(const char* data, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.append(data, n);
    size_t pos;
    while ((pos = pending_.find('\n')) != std::string::npos) {
        const std::string line = pending_.substr(0, pos);
        pending_.erase(0, pos + 1);
        const std::string echoed = tag_ + line + "\n";
        echo_->sputn(echoed.data(), static_cast<std::streamsize>(echoed.size()));
        lines_.push_back(line);
    }
}

}  // namespace platformtest
