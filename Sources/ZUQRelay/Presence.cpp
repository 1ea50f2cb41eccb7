#include "Presence.hpp"

#include <functional>

namespace ZUQRelay {

Presence::Shard& Presence::shard(const std::string& device) {
    return shards_[std::hash<std::string>()(device) % shardCount];
}

const Presence::Shard& Presence::shard(const std::string& device) const {
    return shards_[std::hash<std::string>()(device) % shardCount];
}

void Presence::record(const std::string& device, double seen, std::string inventory) {
    Shard& part = shard(device);
    std::lock_guard lock(part.mutex);
    Entry& entry = part.entries[device];
    entry.seen = seen;
    if (!entry.inventory || *entry.inventory != inventory) {
        entry.inventory = std::make_shared<const std::string>(std::move(inventory));
        entry.inventoryChanged = true;
    }
}

std::optional<Presence::Report> Presence::find(const std::string& device) const {
    std::shared_ptr<const std::string> inventory;
    double seen = 0;
    {
        const Shard& part = shard(device);
        std::lock_guard lock(part.mutex);
        auto found = part.entries.find(device);
        if (found == part.entries.end()) {
            return std::nullopt;
        }
        seen = found->second.seen;
        inventory = found->second.inventory;
    }
    return Report{seen, std::move(inventory)};
}

std::vector<Presence::Change> Presence::takeChanges(bool everything) {
    struct Due {
        std::string device;
        double seen;
        std::shared_ptr<const std::string> inventory; // only when it changed
    };
    std::vector<Due> due;
    for (Shard& part : shards_) {
        std::lock_guard lock(part.mutex);
        for (auto& [device, entry] : part.entries) {
            bool seenDue = everything ? entry.seen != entry.writtenSeen
                                      : entry.seen - entry.writtenSeen >= seenResolution;
            if (!entry.inventoryChanged && !seenDue) {
                continue;
            }
            due.push_back({device, entry.seen, entry.inventoryChanged ? entry.inventory : nullptr});
            entry.inventoryChanged = false;
            entry.writtenSeen = entry.seen;
        }
    }
    // The texts are copied outside the locks.
    std::vector<Change> changes;
    changes.reserve(due.size());
    for (auto& item : due) {
        changes.push_back(
            {std::move(item.device), item.seen,
             item.inventory ? std::optional<std::string>(*item.inventory) : std::nullopt});
    }
    return changes;
}

void Presence::restore(const std::vector<Change>& changes) {
    for (const Change& change : changes) {
        Shard& part = shard(change.device);
        std::lock_guard lock(part.mutex);
        Entry& entry = part.entries[change.device];
        entry.writtenSeen = 0;
        entry.inventoryChanged = entry.inventoryChanged || change.inventory.has_value();
    }
}

} // namespace ZUQRelay
