#include "Throughput.hpp"

namespace ZUQRelay {

Throughput::Throughput(std::uint64_t rate, Clock::duration window, Clock::time_point start)
    : needed_(rate * static_cast<std::uint64_t>(
                         std::chrono::duration_cast<std::chrono::seconds>(window).count())),
      window_(window) {
    samples_.emplace_back(start, 0);
}

void Throughput::add(std::uint64_t bytes, Clock::time_point now) {
    total_ += bytes;
    // Samples stay a second apart: a newer one replaces the last while that is younger.
    if (samples_.size() >= 2 &&
        now - samples_[samples_.size() - 2].first < std::chrono::seconds(1)) {
        samples_.back() = {now, total_};
    } else {
        samples_.emplace_back(now, total_);
    }
    // A sample after which a whole window's bytes have moved can no longer start a window
    // that moved too little.
    while (samples_.size() >= 2 && total_ - samples_.front().second >= needed_) {
        samples_.pop_front();
    }
}

Throughput::Clock::time_point Throughput::deadline() const {
    if (needed_ == 0) {
        return Clock::time_point::max();
    }
    // The oldest sample is the earliest after which fewer than the needed bytes moved: once a
    // window has passed since it, the last window moved too little.
    return samples_.front().first + window_;
}

} // namespace ZUQRelay
