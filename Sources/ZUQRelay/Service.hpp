// The relay's rules: groups, devices and invites; jobs, leases and events; where builds may
// go. Everything here is independent of HTTP: requests arrive as JSON values and identifiers,
// answers leave as JSON values, refusals as Refusal with a reason and a sentence.
#pragma once

#include "Artifacts.hpp"
#include "Clock.hpp"
#include "IdleDevices.hpp"
#include "JSON.hpp"
#include "Platform/File.hpp"
#include "Presence.hpp"
#include "Protocol.hpp"
#include "Refusal.hpp"
#include "Store.hpp"
#include "Tables.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace ZUQRelay {

/// The fixed numbers of the rules.
namespace Limits {
inline constexpr double leaseSeconds = 60;
inline constexpr double onlineSeconds = 30;
inline constexpr double inviteSeconds = 900;
inline constexpr std::size_t jobsPerAnswer = 100;
inline constexpr std::size_t eventsPerAnswer = 1000;
inline constexpr std::size_t eventsPerJob = 10000;
inline constexpr std::size_t errorCharacters = 2000;
inline constexpr std::size_t messageCharacters = 4000;
inline constexpr std::size_t messageBytes = 8000;
inline constexpr std::size_t nameCharacters = 200;
inline constexpr std::size_t jobFieldCharacters = 1000;
inline constexpr std::size_t devicesPerGroup = 1000;
inline constexpr std::size_t openInvitesPerGroup = 1000;
inline constexpr std::size_t leasesPerHeartbeat = 100;
} // namespace Limits

/// What one group may keep on the relay, and for how long ended jobs are kept. The defaults
/// leave room for far more than a group's normal use; they stop one member from filling the
/// relay's disk.
struct Policy {
    /// Jobs not yet ended (building or installing).
    std::size_t openJobsPerGroup = 1000;
    /// Builds of unfinished jobs, in bytes.
    std::uint64_t storedBytesPerGroup = std::uint64_t(64) << 30;
    /// Texts of all the group's events, in bytes.
    std::uint64_t eventBytesPerGroup = std::uint64_t(256) << 20;
    /// Texts the group's ended jobs keep (submission, phone record, manifest, error), in
    /// bytes. Past it the oldest ended jobs are deleted before their retention period is over.
    std::uint64_t endedJobBytesPerGroup = std::uint64_t(256) << 20;
    /// Inventories in one answer of `group`, in bytes together: when they are more, each is
    /// cut to an equal share. Half the client's largest answer, so that the group's list
    /// always reaches its members.
    std::size_t groupInventoryBytes = std::size_t(32) << 20;
    /// Answers of `group` whose inventories come to more than `largeGroupAnswerBytes` built at
    /// once; another is refused as busy, since each takes memory in proportion.
    std::size_t largeGroupAnswersAtOnce = 2;
    std::size_t largeGroupAnswerBytes = std::size_t(1) << 20;
    /// How long an ended job is kept, with its events, before it is deleted.
    double retentionSeconds = 30 * 86400.0;
};

/// The device a request was authenticated as.
struct Caller {
    std::string deviceID;
    std::string groupID;
};

/// A job's build opened for download: the file stays readable even if the job ends and the
/// file is removed meanwhile.
struct Download {
    Platform::FileDescriptor file;
    std::uint64_t size = 0;
};

/// The relay's rules over one Store and one Artifacts directory. Thread-safe: every operation
/// is one transaction of the store. Identifiers in paths are matched without regard to letter
/// case; everything the relay creates is lower case.
class Service {
public:
    Service(Store& store, const Artifacts& artifacts, const Clock& clock, Policy policy = {});

    // Groups and devices.

    /// {"name", "device_name"} → {"group_id", "group_name", "device_id", "token"}: a new group
    /// with its first device. The bootstrap secret is checked by the caller.
    JSON createGroup(const JSON& body);
    /// The device of an "Authorization: Bearer <device>.<token>" header. Refuses as
    /// unauthenticated with "Invalid device credential", or "revoked device credential" for a
    /// revoked device.
    Caller authenticate(std::string_view authorization);
    /// The device of a credential already read from the store, valid and not revoked; nothing
    /// for any other, which `authenticate` then decides. Never touches the store.
    std::optional<Caller> knownCaller(std::string_view authorization) const;
    /// {"code", "expires_in_seconds"}: a single-use invite into the caller's group.
    JSON createInvite(const Caller& caller);
    /// {"code", "device_name"} → the same four members as createGroup, in the code's group.
    JSON join(const JSON& body);
    /// {"id", "name", "devices": [...]}, encoded: the inventories, kept encoded, are copied
    /// into it as they are, so that a large group's list is never held twice.
    std::string groupText(const Caller& caller);
    /// Revokes a device of the caller's group: its leases end, the invites it made are void
    /// and its unfinished jobs fail.
    JSON revoke(const Caller& caller, std::string_view deviceID);

    // Jobs.

    JSON submit(const Caller& caller, const JSON& body);
    /// {"jobs": [...]}: the group's newest jobs first.
    JSON jobs(const Caller& caller);
    JSON job(const Caller& caller, std::string_view id);
    JSON cancel(const Caller& caller, std::string_view id);
    /// {"events": [...]} with ids above `after`, in order.
    JSON events(const Caller& caller, std::string_view id, std::int64_t after);
    /// Records the inventory, renews the caller's leases and reports their jobs' states.
    JSON heartbeat(const Caller& caller, const JSON& body);
    /// {"job", "lease"}: the caller's oldest job waiting for it, leased to it, or nulls.
    JSON claim(const Caller& caller);
    /// The answer of `claim` when it is known without the store: nothing waits for the caller
    /// and no lease can have lapsed since a claim of its own last looked. Otherwise nothing.
    std::optional<JSON> claimAtOnce(const Caller& caller) const;

    // Work on a leased job. `lease` is the "X-ZUQ-Lease" header (empty when missing).

    /// Refuses unless `lease` lets the caller upload job `id`'s build of `length` bytes now,
    /// within the group's quota of stored builds.
    void checkUpload(const Caller& caller, std::string_view id, std::string_view lease,
                     std::uint64_t length);
    /// Moves a finished upload into place as the job's build, replacing an earlier one. The
    /// file and its name are on the disk before the job records it; a refused upload leaves
    /// no file behind.
    JSON storeUpload(const Caller& caller, std::string_view id, std::string_view lease,
                     Upload& upload, const std::string& sha);
    Download openDownload(const Caller& caller, std::string_view id, std::string_view lease);
    JSON finishBuild(const Caller& caller, std::string_view id, std::string_view lease,
                     const JSON& body);
    JSON finish(const Caller& caller, std::string_view id, std::string_view lease);
    JSON fail(const Caller& caller, std::string_view id, std::string_view lease, const JSON& body);
    JSON addEvent(const Caller& caller, std::string_view id, std::string_view lease,
                  const JSON& body);

    // Upkeep.

    /// Fails the jobs whose leases lapsed, forgets expired invites and old leases, writes
    /// the heartbeats worth keeping (with `stopping`, all of them) and, about once a minute,
    /// deletes the jobs that ended more than the retention period ago. Called about once a
    /// second and once more when the relay stops; every operation that depends on leases also
    /// catches up first, so nothing waits for this.
    void sweep(bool stopping = false);
    /// Deletes the jobs that ended more than the retention period ago, with their events,
    /// leases and any build file left, in short transactions. Returns how many jobs went.
    std::size_t forgetEndedJobs();
    /// At start-up: gives every live lease a fresh lease period, so time while the relay was
    /// down does not count against the Macs.
    void restartLeases();
    /// At start-up: removes builds no job needs any more.
    std::size_t cleanArtifacts();

private:
    using Side = Protocol::Side;
    using JobState = Protocol::JobState;
    using Job = Tables::Job;
    /// A leased job that the caller may work on, and the side its lease is of.
    struct Leased {
        Job job;
        Side side;
    };
    /// What a call on a leased job needs of the job's state.
    enum class Needs {
        sideAtWork, // the state in which the lease's side works
        notEnded,   // any state but an ended one
    };

    Job findJob(SQL::Connection& database, const Caller& caller, std::string_view id);
    /// Refuses unless `lease` is a live lease of the caller on `job` (of `side`, when given);
    /// returns the lease's side.
    Side requireLease(SQL::Connection& database, const Caller& caller, const std::string& job,
                      std::string_view lease, std::optional<Side> side);
    /// What every call on a leased job does first: lapsed leases end, then the job must be one
    /// of the caller's group (not found), `lease` a live lease of the caller on it, of `side`
    /// when given ("Lease is not valid for this job"), and the job's state what `needs` asks
    /// ("Job is <state>").
    Leased leasedJob(Store::Transaction& transaction, const Caller& caller, std::string_view id,
                     std::string_view lease, std::optional<Side> side, Needs needs);
    /// Records the end of `job` and counts it against its group's quota of ended jobs' bytes,
    /// which may delete older ended jobs of the group. Never refuses for the quota.
    void endJob(Store::Transaction& transaction, const Job& job, JobState state,
                const std::optional<std::string>& error);
    /// Adds job `id`, which has just ended, to its group's count of ended jobs' bytes, then
    /// deletes the group's other ended jobs, those that ended first first, with their events,
    /// leases and builds, until the count is within the quota again or no other is left.
    void keepEndedJobsWithinQuota(Store::Transaction& transaction, const std::string& id);
    /// Refuses as too many when job `id`, just added, holds more bytes than its group's
    /// ended jobs may keep together, so that it could not be kept once it ends.
    void checkEndedJobBytes(SQL::Connection& database, const std::string& id);
    void expireLeases(Store::Transaction& transaction);
    /// False when no lease can have lapsed at `now` since leases were last looked at.
    bool mayHaveLapsed(double now) const;
    JSON jobRecord(SQL::Connection& database, const std::string& id);
    /// Refuses as too large when the stored builds of `job`'s group, other than `job`'s own,
    /// and `more` bytes would pass the group's quota.
    void checkStoredBytes(SQL::Connection& database, const std::string& job, std::uint64_t more);

    void writePresence(bool everything);

    Store& store_;
    const Artifacts& artifacts_;
    const Clock& clock_;
    const Policy policy_;
    Presence presence_;
    IdleDevices idle_;
    std::atomic<std::size_t> largeGroupAnswers_{0}; // being built now

    // Device credentials, read once from the store: they change only by revocation, which
    // updates this too.
    using Credential = Tables::Devices::Credential;
    /// The device and token hash an authorization header presents, if it is well formed.
    static std::optional<std::pair<std::string, std::string>>
    presentedCredential(std::string_view authorization);
    mutable std::shared_mutex credentialsMutex_; // guards credentials_
    std::unordered_map<std::string, Credential> credentials_;

    // No live lease expires before this time, so until then no lease can have lapsed and the
    // search for lapsed leases is skipped.
    std::atomic<double> nextLeaseExpiry_{0};
    // When ended jobs were last looked for (only the maintenance thread touches it).
    double lastForgotten_ = 0;
};

} // namespace ZUQRelay
