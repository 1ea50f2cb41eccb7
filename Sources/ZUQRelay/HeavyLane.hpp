// Where the requests that cost most to read are carried out: a few at a time, by threads that
// give way to the rest of the relay, taking turns among those who sent them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ZUQRelay {

/// Makes the calling thread a little nicer than the relay's others, so that on a busy machine
/// its work moves more slowly rather than heartbeats and claims waiting for it.
void giveWayToRequests() noexcept;

/// Runs tasks queued under a key (the group that sent them, or the address of a sender not yet
/// known) on a few threads of its own, a little nicer than the relay's other threads, taking the
/// keys in turn: a group that sends many expensive requests waits behind its own, while another
/// group's next one is taken after at most one of each other key's. A key with `waitingPerKey`
/// tasks waiting has the next refused. Thread-safe; the destructor runs what is still queued and
/// joins the threads.
class HeavyLane {
public:
    struct Settings {
        std::size_t threads = 1;
        std::size_t waitingPerKey = 4;
    };

    class Task {
    public:
        virtual ~Task() = default;
        virtual void run() noexcept = 0;
    };

    explicit HeavyLane(const Settings& settings);
    HeavyLane(const HeavyLane&) = delete;
    HeavyLane& operator=(const HeavyLane&) = delete;
    ~HeavyLane();

    /// Queues `task` under `key` and takes it; false, leaving `task` to the caller, when the
    /// key already has its share waiting.
    bool push(const std::string& key, std::unique_ptr<Task>& task);

private:
    void serve();

    const Settings settings_;
    std::mutex mutex_; // guards the fields below
    std::condition_variable queued_;
    std::map<std::string, std::deque<std::unique_ptr<Task>>, std::less<>> waiting_;
    std::deque<std::string> turns_; // the keys with tasks waiting, next first
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace ZUQRelay
