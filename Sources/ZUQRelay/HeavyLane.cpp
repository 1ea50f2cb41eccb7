#include "HeavyLane.hpp"

#include <algorithm>
#include <cerrno>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace ZUQRelay {

void giveWayToRequests() noexcept {
#if defined(__linux__)
    // On Linux a thread has a niceness of its own (-1 is a valid niceness, so only errno tells
    // a failure).
    constexpr int nicer = 5;
    auto self = static_cast<id_t>(::gettid());
    errno = 0;
    int niceness = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0) {
        ::setpriority(PRIO_PROCESS, self, std::min(niceness + nicer, 19));
    }
#elif defined(__APPLE__)
    ::pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#endif
}

HeavyLane::HeavyLane(const Settings& settings) : settings_(settings) {
    for (std::size_t index = 0; index < std::max<std::size_t>(settings_.threads, 1); ++index) {
        threads_.emplace_back([this] {
            giveWayToRequests();
            serve();
        });
    }
}

HeavyLane::~HeavyLane() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    queued_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

bool HeavyLane::push(const std::string& key, std::unique_ptr<Task>& task) {
    {
        std::lock_guard lock(mutex_);
        auto [found, added] = waiting_.try_emplace(key);
        if (found->second.size() >= settings_.waitingPerKey) {
            return false;
        }
        if (added) {
            turns_.push_back(key);
        }
        found->second.push_back(std::move(task));
    }
    queued_.notify_one();
    return true;
}

void HeavyLane::serve() {
    for (;;) {
        std::unique_ptr<Task> task;
        {
            std::unique_lock lock(mutex_);
            queued_.wait(lock, [this] { return stopping_ || !turns_.empty(); });
            if (turns_.empty()) {
                return;
            }
            // The key whose turn it is gives one task and, with more waiting, goes to the back.
            auto found = waiting_.find(turns_.front());
            task = std::move(found->second.front());
            found->second.pop_front();
            if (found->second.empty()) {
                waiting_.erase(found);
                turns_.pop_front();
            } else {
                turns_.push_back(std::move(turns_.front()));
                turns_.pop_front();
            }
        }
        task->run();
    }
}

} // namespace ZUQRelay
