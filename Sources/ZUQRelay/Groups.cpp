// Groups, devices, credentials and invites.
#include "Members.hpp"
#include "Platform/Digest.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/Random.hpp"
#include "Service.hpp"

#include <limits>

namespace ZUQRelay {

namespace {

constexpr std::size_t tokenBytes = 32;
constexpr std::size_t inviteBytes = 24;

std::string newIdentifier() {
    return Members::lowerCase(Platform::newUUID());
}

std::string newSecret(std::size_t bytes) {
    return Platform::base64URLEncode(Platform::randomBytes(bytes));
}

// Adds a device to a group and returns the answer of group creation and joining; the token
// leaves the relay only here, and only its hash is kept.
JSON enrol(SQL::Connection& database, const std::string& group, const std::string& groupName,
           const std::string& deviceName, double now) {
    std::string device = newIdentifier();
    std::string token = newSecret(tokenBytes);
    database.run("INSERT INTO devices (id, group_id, name, token_hash, created_at) "
                 "VALUES (?, ?, ?, ?, ?)",
                 device, group, deviceName, Platform::sha256Hex(token), now);
    return JSON::object(
        {{"group_id", group}, {"group_name", groupName}, {"device_id", device}, {"token", token}});
}

} // namespace

Service::Service(Store& store, const Artifacts& artifacts, const Clock& clock, Policy policy)
    : store_(store), artifacts_(artifacts), clock_(clock), policy_(policy) {}

JSON Service::createGroup(const JSON& body) {
    const std::string& name = Members::string(body, "name", Limits::nameCharacters);
    const std::string& deviceName = Members::string(body, "device_name", Limits::nameCharacters);
    return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        double now = clock_.now();
        std::string group = newIdentifier();
        transaction.database.run("INSERT INTO groups (id, name, created_at) VALUES (?, ?, ?)",
                                 group, name, now);
        return enrol(transaction.database, group, name, deviceName, now);
    });
}

std::optional<std::pair<std::string, std::string>>
Service::presentedCredential(std::string_view authorization) {
    constexpr std::string_view scheme = "bearer ";
    if (authorization.size() <= scheme.size() ||
        Members::lowerCase(authorization.substr(0, scheme.size())) != scheme) {
        return std::nullopt;
    }
    std::string_view credential = authorization.substr(scheme.size());
    auto dot = credential.find('.');
    if (dot == std::string_view::npos || !Platform::isUUID(credential.substr(0, dot)) ||
        dot + 1 == credential.size() || credential.size() - dot > 256) {
        return std::nullopt;
    }
    return std::pair(Members::lowerCase(credential.substr(0, dot)),
                     Platform::sha256Hex(credential.substr(dot + 1)));
}

std::optional<Caller> Service::knownCaller(std::string_view authorization) const {
    auto presented = presentedCredential(authorization);
    if (!presented) {
        return std::nullopt;
    }
    // Another relay sharing the store may have revoked the device a moment ago.
    if (store_.shared()) {
        return std::nullopt;
    }
    std::shared_lock lock(credentialsMutex_);
    auto found = credentials_.find(presented->first);
    if (found == credentials_.end() || found->second.revoked ||
        !Platform::constantTimeEqual(presented->second, found->second.tokenHash)) {
        return std::nullopt;
    }
    return Caller{presented->first, found->second.group};
}

Caller Service::authenticate(std::string_view authorization) {
    const Refusal invalid(Refusal::Reason::unauthenticated, "Invalid device credential");
    auto credential = presentedCredential(authorization);
    if (!credential) {
        throw invalid;
    }
    const std::string& device = credential->first;
    const std::string& presented = credential->second;
    std::optional<Credential> known;
    if (!store_.shared()) {
        std::shared_lock lock(credentialsMutex_);
        if (auto found = credentials_.find(device); found != credentials_.end()) {
            known = found->second;
        }
    }
    if (!known) {
        known = store_.readLatest([&](SQL::Connection& database) -> std::optional<Credential> {
            SQL::Rows row = database.query(
                "SELECT group_id, token_hash, revoked FROM devices WHERE id = ?", device);
            if (!row.next()) {
                return std::nullopt;
            }
            return Credential{row.text(0), row.text(1), row.integer(2) != 0};
        });
        if (!known) {
            throw invalid;
        }
        if (!store_.shared()) {
            std::unique_lock lock(credentialsMutex_);
            // A revocation that committed after the read has put its own entry here, marked
            // revoked; emplace keeps that one.
            known = credentials_.emplace(device, *known).first->second;
        }
    }
    if (!Platform::constantTimeEqual(presented, known->tokenHash)) {
        throw invalid;
    }
    if (known->revoked) {
        throw Refusal(Refusal::Reason::revoked, "revoked device credential");
    }
    return Caller{device, known->group};
}

JSON Service::createInvite(const Caller& caller) {
    return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        double now = clock_.now();
        SQL::Connection& database = transaction.database;
        SQL::Rows open =
            database.query("SELECT COUNT(*) FROM invites WHERE group_id = ? AND used_at IS NULL "
                           "AND expires_at > ?",
                           caller.groupID, now);
        if (open.next() &&
            open.integer(0) >= static_cast<std::int64_t>(Limits::openInvitesPerGroup)) {
            throw Refusal(Refusal::Reason::tooMany,
                          "This group has too many open invites. Wait for some to expire.");
        }
        std::string code = newSecret(inviteBytes);
        database.run("INSERT INTO invites (code_hash, group_id, created_by, created_at, "
                     "expires_at) VALUES (?, ?, ?, ?, ?)",
                     Platform::sha256Hex(code), caller.groupID, caller.deviceID, now,
                     now + Limits::inviteSeconds);
        return JSON::object(
            {{"code", code}, {"expires_in_seconds", static_cast<int>(Limits::inviteSeconds)}});
    });
}

JSON Service::join(const JSON& body) {
    const Refusal invalid(Refusal::Reason::invalid, "Invite is invalid or expired");
    // A missing or mistyped code is as unknown as a wrong one.
    std::string code = body["code"].text();
    const std::string& deviceName = Members::string(body, "device_name", Limits::nameCharacters);
    if (code.empty()) {
        throw invalid;
    }
    return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        double now = clock_.now();
        SQL::Connection& database = transaction.database;
        std::string hash = Platform::sha256Hex(code);
        // Consuming is one statement, so two Macs racing with the same code cannot both win.
        // An invite is good only while the Mac that made it is still a member.
        if (database.run("UPDATE invites SET used_at = ? WHERE code_hash = ? AND used_at IS NULL "
                         "AND expires_at > ? AND created_by IN "
                         "(SELECT id FROM devices WHERE revoked = 0)",
                         now, hash, now) != 1) {
            throw invalid;
        }
        SQL::Rows group = database.query(
            "SELECT g.id, g.name, (SELECT COUNT(*) FROM devices d WHERE d.group_id = g.id) "
            "FROM invites i JOIN groups g ON g.id = i.group_id WHERE i.code_hash = ?",
            hash);
        if (!group.next()) {
            throw invalid;
        }
        if (group.integer(2) >= static_cast<std::int64_t>(Limits::devicesPerGroup)) {
            throw Refusal(Refusal::Reason::conflict, "This group already has " +
                                                         std::to_string(Limits::devicesPerGroup) +
                                                         " Macs");
        }
        return enrol(database, group.text(0), group.text(1), deviceName, now);
    });
}

std::string Service::groupText(const Caller& caller) {
    struct Device {
        std::string id;
        std::string name;
        bool revoked;
        std::optional<double> lastSeen;
        std::shared_ptr<const std::string> inventory;
    };
    // Only the rows are read under the store's lock, an inventory only for a Mac that has not
    // reported to this relay since the store last heard of it (the others' are shared with
    // the presence map, not copied); inventories are decoded after.
    auto [name, read] = store_.read([&](SQL::Connection& database) {
        SQL::Rows group = database.query("SELECT name FROM groups WHERE id = ?", caller.groupID);
        std::string groupName = group.next() ? group.text(0) : std::string();
        std::vector<Device> rows;
        SQL::Rows row = database.query("SELECT id, name, revoked, last_seen, inventory IS NOT NULL "
                                       "FROM devices WHERE group_id = ? ORDER BY created_at, id",
                                       caller.groupID);
        while (row.next()) {
            Device device{row.text(0), row.text(1), row.integer(2) != 0,
                          row.isNull(3) ? std::nullopt : std::optional(row.real(3)), nullptr};
            // Another relay sharing the store may have written a newer report since this
            // one's last heartbeat from the Mac.
            if (auto report = presence_.find(device.id);
                report && report->seen >= device.lastSeen) {
                device.lastSeen = report->seen;
                device.inventory = std::move(report->inventory);
            } else if (row.integer(4) != 0) {
                SQL::Rows stored =
                    database.query("SELECT inventory FROM devices WHERE id = ?", device.id);
                if (stored.next()) {
                    device.inventory = std::make_shared<const std::string>(stored.text(0));
                }
            }
            rows.push_back(std::move(device));
        }
        return std::pair(std::move(groupName), std::move(rows));
    });
    double now = clock_.now();
    std::size_t reported = 0, reporters = 0;
    for (const Device& device : read) {
        if (device.inventory) {
            reported += device.inventory->size();
            ++reporters;
        }
    }
    // Building the answer takes memory in proportion to the inventories: only a few large
    // ones are built at once.
    struct Slot {
        std::atomic<std::size_t>* taken = nullptr;
        ~Slot() {
            if (taken) {
                --*taken;
            }
        }
    } slot;
    if (reported > policy_.largeGroupAnswerBytes) {
        if (++largeGroupAnswers_ > policy_.largeGroupAnswersAtOnce) {
            --largeGroupAnswers_;
            throw Refusal(Refusal::Reason::busy,
                          "The relay is busy with other requests. Try again shortly.");
        }
        slot.taken = &largeGroupAnswers_;
    }
    // Past the answer's budget every inventory larger than an equal share is cut to it, so
    // that the answer stays within what every member's client reads.
    std::size_t share = reported > policy_.groupInventoryBytes
                            ? policy_.groupInventoryBytes / reporters
                            : std::numeric_limits<std::size_t>::max();
    // Written as text, members in the order of an encoded object, each inventory copied as
    // the relay encoded it when it kept it: only one cut inventory is ever decoded at a time.
    auto text = [](std::string_view value) { return JSON(value).data(); };
    std::string answer;
    answer.reserve(std::min(reported, policy_.groupInventoryBytes) + read.size() * 256 + 256);
    answer += R"({"devices":[)";
    for (const Device& device : read) {
        if (&device != &read.front()) {
            answer += ',';
        }
        bool seen = device.lastSeen.has_value();
        answer += R"({"id":)" + text(device.id) + R"(,"inventory":)";
        if (!device.inventory) {
            answer += "null";
        } else if (device.inventory->size() <= share) {
            answer += *device.inventory;
        } else {
            answer += Members::boundedInventoryText(JSON::decode(*device.inventory), share);
        }
        answer += R"(,"last_seen":)";
        answer += seen ? JSON(Members::timestamp(*device.lastSeen)).data() : "null";
        answer += R"(,"name":)" + text(device.name);
        answer += R"(,"online":)";
        answer += seen && now - *device.lastSeen < Limits::onlineSeconds ? "true" : "false";
        answer += R"(,"revoked":)";
        answer += device.revoked ? "true" : "false";
        answer += '}';
    }
    answer += R"(],"id":)" + text(caller.groupID) + R"(,"name":)" + text(name) + '}';
    return answer;
}

JSON Service::revoke(const Caller& caller, std::string_view deviceID) {
    std::string device = Members::lowerCase(deviceID);
    return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        SQL::Connection& database = transaction.database;
        if (!Platform::isUUID(device) ||
            database.run("UPDATE devices SET revoked = 1 WHERE id = ? AND group_id = ?", device,
                         caller.groupID) != 1) {
            throw Refusal(Refusal::Reason::notFound, "Mac not found");
        }
        database.run("UPDATE leases SET live = 0 WHERE device_id = ?", device);
        database.run("DELETE FROM invites WHERE created_by = ? AND used_at IS NULL", device);
        Credential revoked{caller.groupID, std::string(), true};
        if (SQL::Rows row = database.query("SELECT token_hash FROM devices WHERE id = ?", device);
            row.next()) {
            revoked.tokenHash = row.text(0);
        }
        // Set whether or not the device is cached: a first request that read the device from
        // the store before this commit must not cache it as valid afterwards.
        transaction.afterCommit([this, device, revoked] {
            std::unique_lock lock(credentialsMutex_);
            credentials_.insert_or_assign(device, revoked);
        });
        std::vector<Job> unfinished;
        SQL::Rows jobs = database.query(
            "SELECT id, state, upload_sha, artifact_sha FROM jobs WHERE group_id = ? "
            "AND (builder_id = ? OR receiver_id = ?) AND state IN (?, ?)",
            caller.groupID, device, device, Protocol::text(JobState::building),
            Protocol::text(JobState::installing));
        while (jobs.next()) {
            unfinished.push_back({jobs.text(0), storedState(jobs.text(1)), jobs.optionalText(2),
                                  jobs.optionalText(3)});
        }
        for (const auto& job : unfinished) {
            endJob(transaction, job, JobState::failed, std::string("Mac was revoked"));
        }
        return JSON::object({{"ok", true}, {"id", device}});
    });
}

} // namespace ZUQRelay
