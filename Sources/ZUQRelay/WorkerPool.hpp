// A fixed set of threads running queued tasks in order of arrival.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace ZUQRelay {

/// Runs tasks on `size` threads. Thread-safe. A task must not throw.
class WorkerPool {
public:
    /// With a `niceness` above 0 the threads run at that lower scheduling priority, so that
    /// when the processor is short they give way to the process's other threads.
    explicit WorkerPool(std::size_t size, int niceness = 0);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    /// Runs what is queued, then joins the threads.
    ~WorkerPool();

    void enqueue(std::function<void()> task);
    /// Runs every task already queued and then stops the threads; later tasks are dropped.
    void drain();

private:
    void work(int niceness);

    std::mutex mutex_; // guards tasks_ and stopping_
    std::condition_variable ready_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace ZUQRelay
