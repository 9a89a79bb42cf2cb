#include "app/thread_task_runner.h"

#include <system_error>

#include "log/log.h"

namespace kovo::app {

ThreadTaskRunner::~ThreadTaskRunner() { joinAll(); }

void ThreadTaskRunner::reapFinished() {
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

void ThreadTaskRunner::run(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    reapFinished();
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread thread([this, task = std::move(task), done] {
            // A failing task costs its own work, never the daemon.
            kovo::log::guarded("[APP] Background work failed", task);
            std::lock_guard<std::mutex> lock(mutex_);
            done->store(true);
            finished_.notify_all();
        });
        threads_.push_back(Entry{std::move(thread), done});
    } catch (const std::system_error& e) {
        kovo::log::error() << "[APP] Cannot start background work: " << e.what();
    }
}

void ThreadTaskRunner::joinAll() {
    for (;;) {
        std::list<Entry> batch;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (threads_.empty()) {
                return;
            }
            batch.swap(threads_);
        }
        for (Entry& entry : batch) {
            entry.thread.join();
        }
    }
}

bool ThreadTaskRunner::joinAllUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A finished task has left the lock for good, so its join is short.
    return finished_.wait_until(lock, deadline, [this] {
        reapFinished();
        return threads_.empty();
    });
}

}  // namespace kovo::app
