// Who may move a build now: a fixed number of transfer slots, shared fairly between Macs and
// groups, with a short wait for a slot before a transfer is turned away.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace ZUQRelay {

/// Transfer slots. A transfer takes a slot while it runs; at most `slots` run at once, at
/// most `perDevice` of one Mac and `perGroup` of one group, so that no member can hold every
/// slot. A transfer that finds no slot it may take waits in a queue of at most `queue`
/// transfers, first come first served among those that may go, for at most `wait`; then, or
/// when the queue is full, it is refused. Waiting holds no thread. Thread-safe.
class Admission {
public:
    struct Settings {
        std::size_t slots = 32;
        std::size_t perDevice = 2;
        std::size_t perGroup = 8;
        std::size_t queue = 64;
        std::chrono::milliseconds wait{std::chrono::seconds(30)};
    };

    /// A slot held; given back when destroyed, which lets the next waiter in.
    class Ticket {
    public:
        Ticket(Ticket&& other) noexcept;
        Ticket& operator=(Ticket&&) = delete;
        Ticket(const Ticket&) = delete;
        ~Ticket();

    private:
        friend class Admission;
        Ticket(Admission& admission, std::string device, std::string group);
        Admission* admission_;
        std::string device_;
        std::string group_;
    };

    explicit Admission(const Settings& settings);
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

    /// A slot for a transfer of `device` in `group`, waiting on `executor` (the caller's,
    /// which the wait resumes on) when none is free. Nothing when the wait ran out, the queue
    /// was full or the relay is stopping.
    boost::asio::awaitable<std::optional<Ticket>> admit(boost::asio::any_io_executor executor,
                                                        std::string device, std::string group);

    /// Turns every waiter away and every later request too.
    void stop();

private:
    struct Waiter {
        std::string device;
        std::string group;
        std::shared_ptr<boost::asio::steady_timer> timer;
        bool granted = false;
    };
    bool mayTake(const std::string& device, const std::string& group) const;
    void take(const std::string& device, const std::string& group);
    void release(const std::string& device, const std::string& group);

    Settings settings_;
    std::mutex mutex_; // guards the fields below
    bool stopping_ = false;
    std::size_t running_ = 0;
    std::unordered_map<std::string, std::size_t> perDevice_;
    std::unordered_map<std::string, std::size_t> perGroup_;
    std::list<std::shared_ptr<Waiter>> waiters_;
};

} // namespace ZUQRelay
