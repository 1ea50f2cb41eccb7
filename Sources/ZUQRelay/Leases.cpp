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

#include <limits>

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
    struct Lapsed {
        std::string hash;
        std::string job;
        Side side;
    };
    std::vector<Lapsed> lapsed;
    {
        SQL::Rows rows = database.query(
            "SELECT token_hash, job_id, side FROM leases WHERE live = 1 AND expires_at <= ?", now);
        while (rows.next()) {
            lapsed.push_back({rows.text(0), rows.text(1), *Protocol::side(rows.text(2))});
        }
    }
    for (const auto& [hash, id, side] : lapsed) {
        database.run("UPDATE leases SET live = 0 WHERE token_hash = ?", hash);
        SQL::Rows row =
            database.query("SELECT state, upload_sha, artifact_sha FROM jobs WHERE id = ?", id);
        if (!row.next() || storedState(row.text(0)) != Protocol::workingState(side)) {
            continue;
        }
        Job job{id, storedState(row.text(0)), row.optionalText(1), row.optionalText(2)};
        endJob(transaction, job, JobState::failed,
               side == Side::builder ? "The builder Mac stopped responding"
                                     : "The receiver Mac stopped responding");
    }
    if (store_.shared()) {
        return; // other relays' leases are not in nextLeaseExpiry_: it is not used
    }
    SQL::Rows next = database.query("SELECT MIN(expires_at) FROM leases WHERE live = 1");
    nextLeaseExpiry_ =
        next.next() && !next.isNull(0) ? next.real(0) : std::numeric_limits<double>::infinity();
}

Service::Side Service::requireLease(SQL::Connection& database, const Caller& caller,
                                    const std::string& job, std::string_view lease,
                                    std::optional<Side> side) {
    SQL::Rows row = database.query("SELECT side FROM leases WHERE token_hash = ? AND job_id = ? "
                                   "AND device_id = ? AND live = 1 AND expires_at > ?",
                                   Platform::sha256Hex(lease), job, caller.deviceID, clock_.now());
    std::optional<Side> held =
        lease.empty() || !row.next() ? std::nullopt : Protocol::side(row.text(0));
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
        SQL::Connection& database = transaction.database;
        expireLeases(transaction);
        double now = clock_.now();
        JSON::Array jobs;
        for (const auto& [job, hash] : presented) {
            // Only live leases are renewed, but the caller hears about every job it holds or
            // held a lease on, so that it stops work the relay has ended.
            database.run("UPDATE leases SET expires_at = ? WHERE token_hash = ? AND job_id = ? "
                         "AND device_id = ? AND live = 1",
                         now + Limits::leaseSeconds, hash, job, caller.deviceID);
            SQL::Rows row =
                database.query("SELECT j.state FROM leases l JOIN jobs j ON j.id = l.job_id "
                               "WHERE l.token_hash = ? AND l.job_id = ? AND l.device_id = ?",
                               hash, job, caller.deviceID);
            if (row.next()) {
                jobs.push_back(JSON::object({{"id", job}, {"state", row.text(0)}}));
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
            return waitingJob(database, caller.deviceID, clock_.now()).has_value();
        })) {
        idle_.foundIdle(caller.deviceID, ticket);
        return noJob();
    }
    return store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        SQL::Connection& database = transaction.database;
        expireLeases(transaction);
        double now = clock_.now();
        auto waiting = waitingJob(database, caller.deviceID, now);
        if (!waiting) {
            idle_.foundIdle(caller.deviceID, ticket);
            return noJob();
        }
        auto [id, state] = *waiting;
        std::string lease = Platform::base64URLEncode(Platform::randomBytes(leaseBytes));
        database.run("INSERT INTO leases (token_hash, job_id, device_id, side, expires_at, "
                     "created_at) VALUES (?, ?, ?, ?, ?, ?)",
                     Platform::sha256Hex(lease), id, caller.deviceID,
                     Protocol::text(*Protocol::workingSide(state)), now + Limits::leaseSeconds,
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
        transaction.database.run("DELETE FROM invites WHERE expires_at <= ?", now);
        transaction.database.run("DELETE FROM leases WHERE live = 0 AND expires_at <= ?",
                                 now - lapsedLeaseSeconds);
    });
    if (double now = clock_.now(); now - lastForgotten_ >= forgetEverySeconds) {
        lastForgotten_ = now;
        forgetEndedJobs();
    }
}

void Service::restartLeases() {
    store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        transaction.database.run("UPDATE leases SET expires_at = ? WHERE live = 1",
                                 clock_.now() + Limits::leaseSeconds);
    });
    nextLeaseExpiry_ = clock_.now() + Limits::leaseSeconds;
}

namespace {

// The statement that writes `count` heartbeats, three parameters each: the device, its time
// and its inventory (NULL when unchanged). A time never goes back, and an inventory is kept
// only with a time at least as new as the stored one: relays sharing the store write the
// same Mac's heartbeats in any order.
std::string presenceUpdate(SQL::Dialect dialect, std::size_t count) {
    std::string rows;
    for (std::size_t index = 0; index < count; ++index) {
        rows += index == 0 ? "SELECT CAST(? AS TEXT) AS id, CAST(? AS DOUBLE PRECISION) AS seen, "
                             "CAST(? AS TEXT) AS inventory"
                           : " UNION ALL SELECT CAST(? AS TEXT), CAST(? AS DOUBLE PRECISION), "
                             "CAST(? AS TEXT)";
    }
    return "UPDATE devices SET last_seen = COALESCE(" +
           SQL::larger(dialect, "devices.last_seen", "reported.seen") +
           ", reported.seen), inventory = CASE WHEN reported.inventory IS NOT NULL AND "
           "(devices.last_seen IS NULL OR reported.seen >= devices.last_seen) THEN "
           "reported.inventory ELSE devices.inventory END FROM (" +
           rows + ") AS reported WHERE devices.id = reported.id";
}

} // namespace

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
                std::vector<SQL::Value> values;
                values.reserve(count * 3);
                for (std::size_t index = start; index < start + count; ++index) {
                    const Presence::Change& change = changes[index];
                    values.emplace_back(std::string_view(change.device));
                    values.emplace_back(change.seen);
                    values.emplace_back(change.inventory
                                            ? SQL::Value(std::string_view(*change.inventory))
                                            : SQL::Value(nullptr));
                }
                SQL::Connection& database = transaction.database;
                database.queryList(presenceUpdate(database.dialect(), count), values).next();
            });
        } catch (...) {
            presence_.restore(
                std::vector(changes.begin() + static_cast<std::ptrdiff_t>(start), changes.end()));
            throw;
        }
        start += count;
    }
}

std::optional<std::pair<std::string, Service::JobState>>
Service::waitingJob(SQL::Connection& database, const std::string& device, double now) {
    SQL::Rows row = database.query(
        "SELECT j.id, j.state FROM jobs j "
        "WHERE ((j.builder_id = ?1 AND j.state = ?3) OR (j.receiver_id = ?1 AND j.state = ?4)) "
        "AND NOT EXISTS (SELECT 1 FROM leases l WHERE l.job_id = j.id "
        "    AND l.side = CASE j.state WHEN ?3 THEN ?5 ELSE ?6 END "
        "    AND l.live = 1 AND l.expires_at > ?2) "
        "ORDER BY j.seq LIMIT 1",
        device, now, Protocol::text(JobState::building), Protocol::text(JobState::installing),
        Protocol::text(Side::builder), Protocol::text(Side::receiver));
    if (!row.next()) {
        return std::nullopt;
    }
    return std::pair(row.text(0), storedState(row.text(1)));
}

} // namespace ZUQRelay
