#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "car/sio_car_client.h"
#include "config/app_config.h"
#include "test_support.h"

// Everything written to std::cout and std::cerr while it lives, kept apart
// per stream. Several threads write (the car link's, the peer's echo): each
// thread's text is kept aside until it flushes a finished line, so that the
// pieces of one log statement stay together.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string out() const { return out_.text(); }
    std::string err() const { return err_.text(); }
    std::string all() const { return out() + err(); }
    // Occurrences of needle in both streams.
    size_t count(const std::string& needle) const;
    bool waitFor(const std::string& needle, std::chrono::milliseconds timeout, size_t times = 1) const;

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(std::streambuf* echo) : echo_(echo) {}
        std::string text() const;

    protected:
        int overflow(int c) override;
        std::streamsize xsputn(const char* s, std::streamsize n) override;
        int sync() override;

    private:
        mutable std::mutex mutex_;
        std::string text_;
        std::map<std::thread::id, std::string> pending_;
        std::streambuf* echo_;
    };

    Buffer out_;
    Buffer err_;
    std::streambuf* old_out_;
    std::streambuf* old_err_;
};

// A SioCarClient against tools/sim_car.js on loopback, with every callback
// recorded.
class CarLinkTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts the simulated car with extra options (and --port when given).
    void startCar(std::vector<std::string> args = {}, int port = 0);
    // Builds and starts the client on the car's port (or uri when given).
    void startClient(int reconnect_attempts = 0, int reconnect_delay_ms = 200, const std::string& uri = "");
    // Both, and waits until the link is open on both sides.
    void connectBoth(std::vector<std::string> car_args = {}, int reconnect_attempts = 0);

    void carCommand(const nlohmann::json& command);
    // The car's JSON lines with this "event".
    std::vector<nlohmann::json> carEvents(const std::string& event) const;
    // Waits until the car printed at least n lines with this "event".
    bool waitCarEvents(const std::string& event, size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The payloads the mission callback received so far.
    std::vector<nlohmann::json> missions() const;
    bool waitMissions(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    void killCar();

    LogCapture log;
    AppConfig config;
    std::unique_ptr<testsupport::NodePeer> car;
    std::unique_ptr<SioCarClient> client;
    int car_port = 0;

    mutable std::mutex mutex;
    std::vector<nlohmann::json> missions_;
    std::atomic<int> reboot_queries{0};
    std::atomic<int> connected_calls{0};
    std::atomic<int> disconnected_calls{0};
    // Extra work of the callbacks, set before the client starts.
    std::function<void()> on_reboot_query;
    std::function<void(const nlohmann::json&)> on_mission;
};
