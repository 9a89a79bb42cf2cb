#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "app/mission/ports.h"

namespace kovo::app {

// One thread per task. Finished threads are reaped when the next task
// starts, so the list stays short; joinAll() waits for the rest, so no task
// outlives the objects it uses.
class ThreadTaskRunner : public TaskRunner {
public:
    ThreadTaskRunner() = default;
    ~ThreadTaskRunner() override;
    ThreadTaskRunner(const ThreadTaskRunner&) = delete;
    ThreadTaskRunner& operator=(const ThreadTaskRunner&) = delete;

    void run(std::function<void()> task) override;
    // Joins every task, including tasks started meanwhile by other tasks.
    void joinAll();
    // Like joinAll, but gives up at deadline: true when every task ended,
    // false when some still run (they stay with this runner).
    bool joinAllUntil(std::chrono::steady_clock::time_point deadline);

private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void reapFinished();  // mutex_ held

    std::mutex mutex_;
    std::condition_variable finished_;  // a task's done flag was set
    std::list<Entry> threads_;
};

}  // namespace kovo::app
