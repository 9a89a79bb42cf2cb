#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "app/thread_task_runner.h"
#include "mission_fakes.h"

using namespace fakes;
using namespace std::chrono_literals;

// A bounded join gives up on a task still running (started by another task), and joins it later.
TEST(ThreadTaskRunner, JoinsTheTasksTheTasksStartAndSurvivesOneThatThrows) {
    std::atomic<bool> release{false};
    ThreadTaskRunner runner;
    runner.run([&] {
        runner.run([&] {
            while (!release)
                std::this_thread::sleep_for(1ms);
        });
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
