// Groups, devices, credentials and invites.
#include "Members.hpp"
#include "Platform/Digest.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/Random.hpp"
#include "Service.hpp"
#include "Tables.hpp"

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
    Tables::Devices(database).add(device, group, deviceName, Platform::sha256Hex(token), now);
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
        Tables::Groups(transaction.database).add(group, name, now);
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
        known = store_.readLatest([&](SQL::Connection& database) {
            return Tables::Devices(database).credential(device);
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
        Tables::Invites invites(transaction.database);
        if (invites.countOpen(caller.groupID, now) >=
            static_cast<std::int64_t>(Limits::openInvitesPerGroup)) {
            throw Refusal(Refusal::Reason::tooMany,
                          "This group has too many open invites. Wait for some to expire.");
        }
        std::string code = newSecret(inviteBytes);
        invites.add(Platform::sha256Hex(code), caller.groupID, caller.deviceID, now,
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
        Tables::Invites invites(transaction.database);
        std::string hash = Platform::sha256Hex(code);
        // An invite is good only while the Mac that made it is still a member.
        if (!invites.use(hash, now)) {
            throw invalid;
        }
        auto group = invites.target(hash);
        if (!group) {
            throw invalid;
        }
        if (group->devices >= static_cast<std::int64_t>(Limits::devicesPerGroup)) {
            throw Refusal(Refusal::Reason::conflict, "This group already has " +
                                                         std::to_string(Limits::devicesPerGroup) +
                                                         " Macs");
        }
        return enrol(transaction.database, group->group, group->name, deviceName, now);
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
        Tables::Devices devices(database);
        std::vector<Device> rows;
        for (Tables::Devices::Listed& listed : devices.ofGroup(caller.groupID)) {
            Device device{std::move(listed.id), std::move(listed.name), listed.revoked,
                          listed.lastSeen, nullptr};
            // Another relay sharing the store may have written a newer report since this
            // one's last heartbeat from the Mac.
            if (auto report = presence_.find(device.id);
                report && report->seen >= device.lastSeen) {
                device.lastSeen = report->seen;
                device.inventory = std::move(report->inventory);
            } else if (listed.reported) {
                if (auto stored = devices.inventory(device.id)) {
                    device.inventory = std::make_shared<const std::string>(std::move(*stored));
                }
            }
            rows.push_back(std::move(device));
        }
        return std::pair(Tables::Groups(database).name(caller.groupID), std::move(rows));
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
        Tables::Devices devices(database);
        if (!Platform::isUUID(device) || !devices.revoke(device, caller.groupID)) {
            throw Refusal(Refusal::Reason::notFound, "Mac not found");
        }
        Tables::Leases(database).endOf(device);
        Tables::Invites(database).removeUnusedOf(device);
        Credential revoked = devices.credential(device).value_or(Credential{});
        revoked.revoked = true;
        // Set whether or not the device is cached: a first request that read the device from
        // the store before this commit must not cache it as valid afterwards.
        transaction.afterCommit([this, device, revoked] {
            std::unique_lock lock(credentialsMutex_);
            credentials_.insert_or_assign(device, revoked);
        });
        for (const Job& job : Tables::Jobs(database).openOf(caller.groupID, device)) {
            endJob(transaction, job, JobState::failed, std::string("Mac was revoked"));
        }
        return JSON::object({{"ok", true}, {"id", device}});
    });
}

} // namespace ZUQRelay
