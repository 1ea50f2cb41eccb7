#include "IdleDevices.hpp"

#include <functional>

namespace ZUQRelay {

IdleDevices::Shard& IdleDevices::shard(const std::string& device) const {
    return shards_[std::hash<std::string>()(device) % shardCount];
}

IdleDevices::Ticket IdleDevices::ticket(const std::string& device) {
    Shard& part = shard(device);
    std::lock_guard lock(part.mutex);
    return part.entries[device].changes;
}

void IdleDevices::foundIdle(const std::string& device, Ticket ticket) {
    Shard& part = shard(device);
    std::lock_guard lock(part.mutex);
    if (auto found = part.entries.find(device);
        found != part.entries.end() && found->second.changes == ticket) {
        found->second.idle = true;
    }
}

void IdleDevices::mayHaveWork(const std::string& device) {
    Shard& part = shard(device);
    std::lock_guard lock(part.mutex);
    // A device without an entry holds no ticket and is not idle: nothing to void.
    if (auto found = part.entries.find(device); found != part.entries.end()) {
        ++found->second.changes;
        found->second.idle = false;
    }
}

bool IdleDevices::idle(const std::string& device) const {
    Shard& part = shard(device);
    std::lock_guard lock(part.mutex);
    auto found = part.entries.find(device);
    return found != part.entries.end() && found->second.idle;
}

} // namespace ZUQRelay
