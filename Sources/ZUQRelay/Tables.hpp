// The relay's tables, each behind a type that owns its statements. The rules in Service read
// and write rows only through these; the statements are written once for SQLite and
// PostgreSQL alike. Each type works on one connection, inside the caller's transaction, and
// is made where it is used: it holds nothing but the connection.
#pragma once

#include "Presence.hpp"
#include "Protocol.hpp"
#include "SQL.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace ZUQRelay::Tables {

using JobState = Protocol::JobState;
using Side = Protocol::Side;

/// Groups, and the two byte counts each keeps of its events and its ended jobs.
class Groups {
public:
    explicit Groups(SQL::Connection& database) : database_(database) {}

    void add(const std::string& id, const std::string& name, double now);
    /// Empty for a group that is not there.
    std::string name(const std::string& id);
    std::uint64_t eventBytes(const std::string& id);
    /// Adds `bytes` to the event count, or takes them off when negative, never below 0.
    void addEventBytes(const std::string& id, std::int64_t bytes);
    /// Adds `bytes` to the count of ended jobs' bytes, or takes them off when negative, never
    /// below 0; returns the new count.
    std::uint64_t addEndedJobBytes(const std::string& id, std::int64_t bytes);

private:
    SQL::Connection& database_;
};

/// Devices (Macs), their credentials and what they last reported.
class Devices {
public:
    explicit Devices(SQL::Connection& database) : database_(database) {}

    struct Credential {
        std::string group;
        std::string tokenHash;
        bool revoked = false;
    };
    /// A device of a group's list, its inventory left in the table.
    struct Listed {
        std::string id;
        std::string name;
        bool revoked = false;
        std::optional<double> lastSeen;
        bool reported = false; // it has an inventory
    };
    /// The time and the inventory a device's last kept heartbeat brought.
    struct Report {
        std::optional<double> seen;
        std::optional<std::string> inventory;
    };

    void add(const std::string& id, const std::string& group, const std::string& name,
             const std::string& tokenHash, double now);
    std::optional<Credential> credential(const std::string& id);
    /// True for a device of `group` that is not revoked.
    bool isMember(const std::string& id, const std::string& group);
    /// Every device of the group ever enrolled, the first enrolled first.
    std::vector<Listed> ofGroup(const std::string& group);
    std::optional<std::string> inventory(const std::string& id);
    Report report(const std::string& id);
    /// Marks a device of `group` revoked; false when the group has no such device.
    bool revoke(const std::string& id, const std::string& group);
    /// Writes heartbeats in one statement. A time never goes back, and an inventory is kept
    /// only with a time at least as new as the stored one: relays sharing the store write
    /// the same Mac's heartbeats in any order. Each number of changes is a statement of its
    /// own, prepared once, so callers keep to a few.
    void writeReports(std::span<const Presence::Change> changes);

private:
    SQL::Connection& database_;
};

/// Single-use invites into a group, kept by the hash of their code.
class Invites {
public:
    explicit Invites(SQL::Connection& database) : database_(database) {}

    /// The group an invite leads into, with its number of devices.
    struct Target {
        std::string group;
        std::string name;
        std::int64_t devices = 0;
    };

    /// Invites of the group neither used nor expired at `now`.
    std::int64_t countOpen(const std::string& group, double now);
    void add(const std::string& codeHash, const std::string& group, const std::string& createdBy,
             double now, double expiresAt);
    /// Marks the invite used, in one statement, so that of two Macs racing with one code only
    /// one wins; false unless it was unused, unexpired and made by a Mac still a member.
    bool use(const std::string& codeHash, double now);
    std::optional<Target> target(const std::string& codeHash);
    /// Removes the unused invites a device made.
    void removeUnusedOf(const std::string& device);
    void removeExpired(double now);

private:
    SQL::Connection& database_;
};

/// What the rules need of a job's row.
struct Job {
    std::string id;
    JobState state;
    std::optional<std::string> uploadSHA;
    std::optional<std::string> artifactSHA;
};

/// A job's row as its record shows it.
struct JobRow {
    std::string id;
    std::string state;
    std::optional<std::string> error;
    std::string wanted; // the stored request, as JSON text
    std::string builder;
    std::string receiver;
    std::optional<std::string> artifactSHA;
    double createdAt = 0;
    double updatedAt = 0;
};

/// An ended job as deleting it needs it.
struct EndedJob {
    std::string id;
    std::string group;
    std::optional<std::string> uploadSHA;
    std::optional<std::string> artifactSHA;
    std::int64_t keptBytes = 0; // what it counts in its group's ended jobs' bytes
};

/// Jobs. The states are stored as their texts; a text the relay does not know is a fault.
class Jobs {
public:
    explicit Jobs(SQL::Connection& database) : database_(database) {}

    /// Ended jobs are read in rounds of at most this many.
    static constexpr std::int64_t endedPerRound = 64;

    std::optional<JobRow> row(const std::string& id);
    /// The group's newest jobs first, at most `limit`.
    std::vector<JobRow> newest(const std::string& group, std::size_t limit);
    std::optional<Job> find(const std::string& id);
    /// Nothing also for a job of another group.
    std::optional<Job> find(const std::string& id, const std::string& group);
    /// Jobs of the group not yet ended.
    std::int64_t countOpen(const std::string& group);
    /// The group's jobs not yet ended that `device` builds or receives.
    std::vector<Job> openOf(const std::string& group, const std::string& device);
    /// The device's oldest job in the state of its side's work, not held by a live lease of
    /// that side at `now`: id and state.
    std::optional<std::pair<std::string, JobState>> waiting(const std::string& device, double now);
    std::optional<std::string> receiver(const std::string& id);

    void add(const std::string& id, const std::string& group, const std::string& wanted,
             const std::string& builder, const std::string& receiver, double now);
    void end(const std::string& id, JobState state, const std::optional<std::string>& error,
             double now);
    void storeUpload(const std::string& id, const std::string& sha, std::uint64_t size, double now);
    /// Into installing, the upload becoming the build, with the builder's manifest.
    void finishBuild(const std::string& id, const std::string& manifest, double now);
    void remove(const std::string& id);

    /// Bytes of the builds of unfinished jobs of `id`'s group other than `id` itself.
    std::uint64_t storedBytesBeside(const std::string& id);
    /// True while unfinished job `id` holds the upload `sha`.
    bool holdsUpload(const std::string& id, const std::string& sha);
    /// Job and checksum of every upload an unfinished job holds.
    std::vector<std::pair<std::string, std::string>> uploads();

    /// The bytes of the texts of a job's row, what the job counts in its group's quota of
    /// ended jobs' bytes, with the job's group.
    std::optional<std::pair<std::string, std::int64_t>> keptBytes(const std::string& id);
    /// Ended jobs that ended at or before `time`, a round of them.
    std::vector<EndedJob> endedBefore(double time);
    /// The group's ended jobs other than `except`, those that ended first first, a round.
    std::vector<EndedJob> firstEnded(const std::string& group, const std::string& except);

private:
    SQL::Connection& database_;
};

/// Leases: a token, kept hashed, that binds a job to one device and one side.
class Leases {
public:
    explicit Leases(SQL::Connection& database) : database_(database) {}

    struct Lapsed {
        std::string tokenHash;
        std::string job;
        Side side;
    };

    void add(const std::string& tokenHash, const std::string& job, const std::string& device,
             Side side, double expiresAt, double now);
    /// Live leases whose time is over at `now`.
    std::vector<Lapsed> lapsed(double now);
    /// The earliest end of a live lease, or infinity.
    double nextExpiry();
    /// The side of a live lease at `now` of `device` on `job`.
    std::optional<Side> held(const std::string& tokenHash, const std::string& job,
                             const std::string& device, double now);
    /// Renews a live lease of `device` on `job` until `expiresAt`.
    void renew(const std::string& tokenHash, const std::string& job, const std::string& device,
               double expiresAt);
    /// The state of the job of a lease of `device` on `job`, live or not.
    std::optional<std::string> jobState(const std::string& tokenHash, const std::string& job,
                                        const std::string& device);
    void end(const std::string& tokenHash);
    void endOf(const std::string& device);
    /// Every live lease ends at `expiresAt`.
    void restart(double expiresAt);
    /// Forgets the ended leases whose time was over at `before`.
    void removeEnded(double before);
    /// Removes a job's leases; returns how many went.
    std::int64_t removeOf(const std::string& job);

private:
    SQL::Connection& database_;
};

/// Events: the progress messages of a job, numbered in the order they came.
class Events {
public:
    explicit Events(SQL::Connection& database) : database_(database) {}

    struct Event {
        std::int64_t id = 0;
        std::string message;
        double createdAt = 0;
    };

    /// The job's events numbered above `above`, in order, at most `limit`.
    std::vector<Event> after(const std::string& job, std::int64_t above, std::size_t limit);
    /// The job's number of events, counted up to `limit`.
    std::int64_t countUpTo(const std::string& job, std::size_t limit);
    /// Returns the new event's number.
    std::int64_t add(const std::string& job, const std::string& message, double now);
    /// Removes the first `limit` events of a job; returns how many went and their bytes.
    std::pair<std::int64_t, std::int64_t> removeFirst(const std::string& job, std::int64_t limit);

private:
    SQL::Connection& database_;
};

} // namespace ZUQRelay::Tables
