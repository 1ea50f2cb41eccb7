// Which devices are known to have nothing waiting for them, so that their claims are answered
// without the store.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace ZUQRelay {

/// A device is idle once a claim of its own read the store and found nothing waiting, and
/// stops being idle as soon as anything may have given it work (a job submitted for it to
/// build, a build finished for it to install). A claim takes a ticket before it reads the
/// store and reports what it found with that ticket; a change that comes in between voids the
/// ticket, so a job committed while the claim was reading is never hidden. Callers report a
/// change only after it is committed. Thread-safe.
class IdleDevices {
public:
    using Ticket = std::uint64_t;

    /// Taken before the store is read for `device`'s waiting jobs.
    Ticket ticket(const std::string& device);
    /// The read that began after `ticket` found nothing waiting for `device`.
    void foundIdle(const std::string& device, Ticket ticket);
    /// A committed change may have given `device` work.
    void mayHaveWork(const std::string& device);
    /// Whether `device` is known to have nothing waiting.
    bool idle(const std::string& device) const;

private:
    struct Entry {
        std::uint64_t changes = 0; // how often the device may have been given work
        bool idle = false;
    };
    struct Shard {
        mutable std::mutex mutex; // guards entries
        std::unordered_map<std::string, Entry> entries;
    };
    static constexpr std::size_t shardCount = 16;
    Shard& shard(const std::string& device) const;

    mutable std::array<Shard, shardCount> shards_;
};

} // namespace ZUQRelay
