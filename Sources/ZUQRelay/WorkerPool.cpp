#include "WorkerPool.hpp"

#include <sys/resource.h>
#include <unistd.h>

namespace ZUQRelay {

WorkerPool::WorkerPool(std::size_t size, int niceness) {
    threads_.reserve(size);
    for (std::size_t index = 0; index < size; ++index) {
        threads_.emplace_back([this, niceness] { work(niceness); });
    }
}

WorkerPool::~WorkerPool() {
    drain();
}

void WorkerPool::enqueue(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        tasks_.push_back(std::move(task));
    }
    ready_.notify_one();
}

void WorkerPool::drain() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (auto& thread : threads_) {
        if (thread.joinable()) {
            thread.join();
        }
    }
}

void WorkerPool::work(int niceness) {
#ifdef __linux__
    // On Linux a thread's niceness is its own; elsewhere it would be the whole process's.
    if (niceness > 0) {
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
    }
#else
    (void)niceness;
#endif
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

} // namespace ZUQRelay
