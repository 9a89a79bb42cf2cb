#include "car_link_fixture.h"

#include <signal.h>

#include <iostream>

using namespace std::chrono_literals;
using nlohmann::json;

LogCapture::LogCapture()
    : out_(std::cerr.rdbuf()), err_(std::cerr.rdbuf()),
      old_out_(std::cout.rdbuf(&out_)), old_err_(std::cerr.rdbuf(&err_)) {}

LogCapture::~LogCapture() {
    std::cout.rdbuf(old_out_);
    std::cerr.rdbuf(old_err_);
}

std::string LogCapture::Buffer::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

int LogCapture::Buffer::overflow(int c) {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char ch = static_cast<char>(c);
    xsputn(&ch, 1);
    return c;
}

std::streamsize LogCapture::Buffer::xsputn(const char* s, std::streamsize n) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_[std::this_thread::get_id()].append(s, static_cast<size_t>(n));
    return n;
}

int LogCapture::Buffer::sync() {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = pending_.find(std::this_thread::get_id());
    // std::cerr flushes after every insertion: wait for the line's end.
    if (it == pending_.end() || it->second.empty() || it->second.back() != '\n') return 0;
    text_ += it->second;
    // Echoed for the test's own output, except huge payloads.
    if (it->second.size() < 4096) echo_->sputn(it->second.data(), static_cast<std::streamsize>(it->second.size()));
    pending_.erase(it);
    return 0;
}

size_t LogCapture::count(const std::string& needle) const {
    size_t n = 0;
    for (const std::string& text : {out(), err()}) {
        for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
            ++n;
    }
    return n;
}

bool LogCapture::waitFor(const std::string& needle, std::chrono::milliseconds timeout, size_t times) const {
    return testsupport::wait_until([&] { return count(needle) >= times; }, timeout, 5ms);
}

void CarLinkTest::TearDown() {
    // The callbacks reach the client through this pointer: stop its thread
    // before the pointer changes.
    if (client) client->stop();
    client.reset();
    if (car) {
        car->process().signal(SIGCONT);
        car->stop();
    }
}

void CarLinkTest::startCar(std::vector<std::string> args, int port) {
    if (port != 0) {
        args.push_back("--port");
        args.push_back(std::to_string(port));
    }
    car = std::make_unique<testsupport::NodePeer>("sim_car", "sim_car.js", args);
    ASSERT_TRUE(car->start()) << "the simulated car did not start";
    car_port = car->port();
}

void CarLinkTest::startClient(int reconnect_attempts, int reconnect_delay_ms, const std::string& uri) {
    config.socketio.uri = uri.empty() ? "http://127.0.0.1:" + std::to_string(car_port) : uri;
    config.socketio.reconnect_attempts = reconnect_attempts;
    config.socketio.reconnect_delay_ms = reconnect_delay_ms;
    client = std::make_unique<SioCarClient>(config);
    client->setMissionCallback([this](const json& mission) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            missions_.push_back(mission);
        }
        if (on_mission) on_mission(mission);
    });
    client->setRebootQueryCallback([this] {
        ++reboot_queries;
        if (on_reboot_query) on_reboot_query();
    });
    client->setOnConnected([this] { ++connected_calls; });
    client->setOnDisconnected([this] { ++disconnected_calls; });
    ASSERT_TRUE(client->start());
}

void CarLinkTest::connectBoth(std::vector<std::string> car_args, int reconnect_attempts) {
    ASSERT_NO_FATAL_FAILURE(startCar(std::move(car_args)));
    ASSERT_NO_FATAL_FAILURE(startClient(reconnect_attempts));
    ASSERT_TRUE(testsupport::wait_until([this] { return client->isConnected(); }, 5s));
    ASSERT_TRUE(waitCarEvents("connection", 1));
    // The handlers are registered right after the connected flag is set.
    ASSERT_TRUE(log.waitFor("[SIO] Listening events:", 5s));
}

void CarLinkTest::carCommand(const json& command) { car->send_line(command.dump()); }

std::vector<json> CarLinkTest::carEvents(const std::string& event) const {
    std::vector<json> found;
    for (const auto& line : car->process().stdout_lines()) {
        const json j = json::parse(line, nullptr, false);
        if (j.is_object() && j.value("event", "") == event) found.push_back(j);
    }
    return found;
}

bool CarLinkTest::waitCarEvents(const std::string& event, size_t n, std::chrono::milliseconds timeout) {
    return testsupport::wait_until([&] { return carEvents(event).size() >= n; }, timeout, 10ms);
}

std::vector<json> CarLinkTest::missions() const {
    std::lock_guard<std::mutex> lock(mutex);
    return missions_;
}

bool CarLinkTest::waitMissions(size_t n, std::chrono::milliseconds timeout) const {
    return testsupport::wait_until([&] { return missions().size() >= n; }, timeout, 5ms);
}

void CarLinkTest::killCar() {
    car->process().signal(SIGKILL);
    car->process().wait_exit(5s);
}
