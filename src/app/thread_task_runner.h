#pragma once

#include <atomic>
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

private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void reapFinished();  // mutex_ held

    std::mutex mutex_;
    std::list<Entry> threads_;
};

}  // namespace kovo::app
