// What each device last reported in a heartbeat, kept in memory and written to the database
// in batches.
#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace ZUQRelay {

/// The last heartbeat of each device: its time and its inventory as JSON text. Heartbeats
/// are the relay's most frequent request and what they carry is replaced by the next one a
/// few seconds later, so they update memory only, and `takeChanges` hands the changes worth
/// writing to a periodic write: every new inventory, but a device's time only now and then.
/// Readers combine the database with what is here, which is never older. Thread-safe.
class Presence {
public:
    struct Report {
        double seen = 0;
        std::shared_ptr<const std::string> inventory; // shared with the map, never copied
    };
    struct Change {
        std::string device;
        double seen = 0;
        std::optional<std::string> inventory; // only when it changed
    };
    /// A device's time is written again once it is this much newer than the one written.
    static constexpr double seenResolution = 15;

    void record(const std::string& device, double seen, std::string inventory);
    /// The device's report since the relay started, if any.
    std::optional<Report> find(const std::string& device) const;
    /// The changes worth writing; with `everything`, all that differ from the database.
    std::vector<Change> takeChanges(bool everything);
    /// Takes back changes whose write failed.
    void restore(const std::vector<Change>& changes);

private:
    struct Entry {
        double seen = 0;
        // Shared, so that readers and the periodic write copy a pointer, not the text.
        std::shared_ptr<const std::string> inventory;
        bool inventoryChanged = false;
        double writtenSeen = 0;
    };
    // Devices are spread over shards, each with its own lock, so that heartbeats seldom
    // wait for one another or for the periodic write.
    struct Shard {
        mutable std::mutex mutex; // guards entries
        std::unordered_map<std::string, Entry> entries;
    };
    static constexpr std::size_t shardCount = 64;
    Shard& shard(const std::string& device);
    const Shard& shard(const std::string& device) const;

    std::array<Shard, shardCount> shards_;
};

} // namespace ZUQRelay
