// The rule that cuts transfers too slow to be worth a slot.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <utility>

namespace ZUQRelay {

/// Watches one transfer: it must move at least `rate` bytes a second averaged over any
/// `window` of its life (the first window counted from its start). `deadline` tells when it is
/// to be cut if nothing more moves, so a transfer is cut by a timer, never by polling. A plain
/// value; not thread-safe.
class Throughput {
public:
    using Clock = std::chrono::steady_clock;

    Throughput(std::uint64_t rate, Clock::duration window, Clock::time_point start);

    /// Counts `bytes` moved at `now`.
    void add(std::uint64_t bytes, Clock::time_point now);
    /// When the average over the last window falls below the rate if no further byte moves;
    /// never for a rate of 0.
    Clock::time_point deadline() const;
    std::uint64_t total() const { return total_; }

private:
    std::uint64_t needed_; // bytes a window must move
    Clock::duration window_;
    std::uint64_t total_ = 0;
    // (time, bytes moved by then), about a second apart, oldest first; the oldest is the
    // earliest since which fewer than a window's bytes have moved.
    std::deque<std::pair<Clock::time_point, std::uint64_t>> samples_;
};

} // namespace ZUQRelay
