// Heartbeats, claims and the leases that bind a job to the Mac working on it.
//
// A lease is a random token, stored hashed, bound to one job, one device and one side
// (builder or receiver). It is live for a lease period from its claim or last renewal. Only a
// live lease of the side the job's state calls for holds the job; when such a lease lapses the
// job fails. Lapsed leases are kept a while so that a heartbeat still carrying one learns the
// job's fate.
#include "Members.hpp"
#include "Platform/Digest.hpp"
#include "Platform/Encoding.hpp"
#include "Platform/Random.hpp"
#include "Service.hpp"
#include "Tables.hpp"

namespace ZUQRelay {

namespace {

constexpr std::size_t leaseBytes = 32;
// How long a lapsed or ended lease is remembered for heartbeats that still carry it.
constexpr double lapsedLeaseSeconds = 3600;
// How often the sweep looks for jobs past their retention period.
constexpr double forgetEverySeconds = 60;

} // namespace

void Service::expireLeases(Store::Transaction& transaction) {
    SQL::Connection& database = transaction.database;
    double now = clock_.now();
    if (!mayHaveLapsed(now)) {
        return;
    }
    Tables::Leases leases(database);
    Tables::Jobs jobs(database);
    for (const auto& [hash, id, side] : leases.lapsed(now)) {
        leases.end(hash);
        std::optional<Job> job = jobs.find(id);
        if (!job || job->state != Protocol::workingState(side)) {
            continue;
        }
        endJob(transaction, *job, JobState::failed,
               side == Side::builder ? "The builder Mac stopped responding"
                                     : "The receiver Mac stopped responding");
    }
    if (store_.shared()) {
        return; // other relays' leases are not in nextLeaseExpiry_: it is not used
    }
    nextLeaseExpiry_ = leases.nextExpiry();
}

Service::Side Service::requireLease(SQL::Connection& database, const Caller& caller,
                                    const std::string& job, std::string_view lease,
                                    std::optional<Side> side) {
    std::optional<Side> held = lease.empty()
                                   ? std::nullopt
                                   : Tables::Leases(database).held(Platform::sha256Hex(lease), job,
                                                                   caller.deviceID, clock_.now());
    if (!held || (side && *held != *side)) {
        throw Refusal(Refusal::Reason::leaseLost, "Lease is not valid for this job");
    }
    return *held;
}

JSON Service::heartbeat(const Caller& caller, const JSON& body) {
    if (body.kind() != JSON::Kind::object) {
        throw Refusal(Refusal::Reason::invalid, "Request body must be a JSON object");
    }
    const JSON& inventory = Members::object(body, "inventory");
    const JSON::Array& leases = Members::array(body, "leases");
    if (leases.size() > Limits::leasesPerHeartbeat) {
        throw Refusal(Refusal::Reason::invalid, "Member \"leases\" has more than " +
                                                    std::to_string(Limits::leasesPerHeartbeat) +
                                                    " items");
    }
    std::vector<std::pair<std::string, std::string>> presented;
    for (const JSON& lease : leases) {
        if (lease.kind() != JSON::Kind::object || lease["id"].kind() != JSON::Kind::string ||
            lease["token"].kind() != JSON::Kind::string) {
            throw Refusal(Refusal::Reason::invalid,
                          "Member \"leases\" must hold objects with \"id\" and \"token\" "
                          "strings");
        }
        presented.emplace_back(Members::lowerCase(lease["id"].text()),
                               Platform::sha256Hex(lease["token"].text()));
    }
    // Cut to size, never refused: a refused heartbeat would fail every pass of the Mac's
    // agent, and it would never claim a job.
    presence_.record(caller.deviceID, clock_.now(), Members::boundedInventoryText(inventory));
    if (presented.empty()) {
        return JSON::object({{"jobs", JSON::array()}});
    }
    return store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        Tables::Leases stored(transaction.database);
        expireLeases(transaction);
        double now = clock_.now();
        JSON::Array jobs;
        for (const auto& [job, hash] : presented) {
            // Only live leases are renewed, but the caller hears about every job it holds or
            // held a lease on, so that it stops work the relay has ended.
            stored.renew(hash, job, caller.deviceID, now + Limits::leaseSeconds);
            if (auto state = stored.jobState(hash, job, caller.deviceID)) {
                jobs.push_back(JSON::object({{"id", job}, {"state", std::move(*state)}}));
            }
        }
        return JSON::object({{"jobs", JSON(std::move(jobs))}});
    });
}

namespace {

JSON noJob() {
    return JSON::object({{"job", nullptr}, {"lease", nullptr}});
}

} // namespace

bool Service::mayHaveLapsed(double now) const {
    // Leases taken through another relay sharing the store are not in nextLeaseExpiry_.
    return store_.shared() || now >= nextLeaseExpiry_;
}

std::optional<JSON> Service::claimAtOnce(const Caller& caller) const {
    // Past the next expiry a lapsed lease may fail a job, which the store must record first.
    if (!store_.shared() && !mayHaveLapsed(clock_.now()) && idle_.idle(caller.deviceID)) {
        return noJob();
    }
    return std::nullopt;
}

JSON Service::claim(const Caller& caller) {
    // Most claims find nothing: they look first without taking the write lock. A lapsed lease
    // may make a job look waiting that is about to fail; the write finds out.
    if (!store_.shared() && mayHaveLapsed(clock_.now())) {
        store_.write(Durability::relaxed,
                     [&](Store::Transaction& transaction) { expireLeases(transaction); });
    }
    // Taken before the read: work given to the caller after this voids it.
    IdleDevices::Ticket ticket = idle_.ticket(caller.deviceID);
    if (!store_.readLatest([&](SQL::Connection& database) {
            return Tables::Jobs(database).waiting(caller.deviceID, clock_.now()).has_value();
        })) {
        idle_.foundIdle(caller.deviceID, ticket);
        return noJob();
    }
    return store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        SQL::Connection& database = transaction.database;
        expireLeases(transaction);
        double now = clock_.now();
        auto waiting = Tables::Jobs(database).waiting(caller.deviceID, now);
        if (!waiting) {
            idle_.foundIdle(caller.deviceID, ticket);
            return noJob();
        }
        auto [id, state] = *waiting;
        std::string lease = Platform::base64URLEncode(Platform::randomBytes(leaseBytes));
        Tables::Leases(database).add(Platform::sha256Hex(lease), id, caller.deviceID,
                                     *Protocol::workingSide(state), now + Limits::leaseSeconds,
                                     now);
        transaction.makeDurable();
        nextLeaseExpiry_ = std::min(nextLeaseExpiry_.load(), now + Limits::leaseSeconds);
        return JSON::object({{"job", jobRecord(database, id)}, {"lease", lease}});
    });
}

void Service::sweep(bool stopping) {
    writePresence(stopping);
    store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        expireLeases(transaction);
        double now = clock_.now();
        Tables::Invites(transaction.database).removeExpired(now);
        Tables::Leases(transaction.database).removeEnded(now - lapsedLeaseSeconds);
    });
    if (double now = clock_.now(); now - lastForgotten_ >= forgetEverySeconds) {
        lastForgotten_ = now;
        forgetEndedJobs();
    }
}

void Service::restartLeases() {
    store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        Tables::Leases(transaction.database).restart(clock_.now() + Limits::leaseSeconds);
    });
    nextLeaseExpiry_ = clock_.now() + Limits::leaseSeconds;
}

void Service::writePresence(bool everything) {
    // One statement for up to 256 heartbeats, so that a write of thousands never holds the
    // store for long. Slices take a few sizes only, each a statement prepared once.
    std::vector<Presence::Change> changes = presence_.takeChanges(everything);
    std::size_t start = 0;
    while (start < changes.size()) {
        std::size_t count = 256;
        while (count > changes.size() - start) {
            count /= 4;
        }
        try {
            store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
                Tables::Devices(transaction.database)
                    .writeReports(std::span(changes).subspan(start, count));
            });
        } catch (...) {
            presence_.restore(
                std::vector(changes.begin() + static_cast<std::ptrdiff_t>(start), changes.end()));
            throw;
        }
        start += count;
    }
}

} // namespace ZUQRelay
