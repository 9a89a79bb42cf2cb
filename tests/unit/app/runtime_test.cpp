#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "app/interruptible_clock.h"
#include "app/thread_task_runner.h"
#include "mission_fakes.h"

using namespace kovo::config;
using namespace kovo::app;

using namespace fakes;
using namespace std::chrono_literals;

TEST(InterruptibleClock, SleepsThenStopCutsEverySleepShort) {
    InterruptibleClock clock;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(clock.sleepFor(20ms));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 20ms);

    std::atomic<bool> result{true};
    std::thread sleeper([&] { result = clock.sleepFor(60s); });
    std::this_thread::sleep_for(20ms);
    const auto t1 = std::chrono::steady_clock::now();
    clock.stop();
    sleeper.join();
    EXPECT_FALSE(result);
    EXPECT_LT(std::chrono::steady_clock::now() - t1, 5s);
    EXPECT_FALSE(clock.sleepFor(60s)) << "after stop, at once";
}

TEST(ThreadTaskRunner, JoinAllWaitsForTasksAndTheTasksTheyStart) {
    std::atomic<int> done{0};
    ThreadTaskRunner runner;
    for (int i = 0; i < 20; ++i) {
        runner.run([&] {
            std::this_thread::sleep_for(1ms);
            runner.run([&] { ++done; });
            ++done;
        });
    }
    runner.joinAll();
    EXPECT_EQ(done.load(), 40);

    // A bounded join gives up on a task that still runs, and joins it later.
    std::atomic<bool> release{false};
    runner.run([&] {
        while (!release)
            std::this_thread::sleep_for(1ms);
    });
    EXPECT_FALSE(runner.joinAllUntil(std::chrono::steady_clock::now() + 20ms));
    release = true;
    EXPECT_TRUE(runner.joinAllUntil(std::chrono::steady_clock::now() + 60s));
    // A task that throws costs its own work, never the process.
    EXPECT_EQ(output_of([&] {
                  runner.run([] { throw std::runtime_error("disk full"); });
                  runner.joinAll();
              }),
              "[APP] Background work failed: disk full\n");
}
