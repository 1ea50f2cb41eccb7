// What the relay keeps of ended jobs: each for the retention period at most.
#include "Service.hpp"

#include <vector>

namespace ZUQRelay {

namespace {

// Ended jobs, at most one round of them, past the retention period.
constexpr std::string_view longEnded = "WHERE state IN (?, ?, ?) AND updated_at <= ? LIMIT 64";

// An ended job as deleting it needs it.
struct EndedJob {
    std::string id;
    std::string group;
    std::optional<std::string> uploadSHA;
    std::optional<std::string> artifactSHA;
};

template <class... Arguments>
std::vector<EndedJob> endedJobs(Database& database, std::string_view where,
                                const Arguments&... arguments) {
    std::vector<EndedJob> ended;
    Query rows = database.query(
        "SELECT id, group_id, upload_sha, artifact_sha FROM jobs " + std::string(where),
        arguments...);
    while (rows.next()) {
        ended.push_back({rows.text(0), rows.text(1), rows.optionalText(2), rows.optionalText(3)});
    }
    return ended;
}

// Deletes the first `limit` events of `job` and takes them off its group's count of event
// bytes. Returns how many went.
std::int64_t deleteEvents(Database& database, const EndedJob& job, std::int64_t limit) {
    std::int64_t count = 0;
    std::int64_t bytes = 0;
    {
        Query events =
            database.query("SELECT COUNT(*), COALESCE(SUM(LENGTH(CAST(message AS BLOB))), 0) FROM "
                           "(SELECT message FROM events WHERE job_id = ? ORDER BY id LIMIT ?)",
                           job.id, limit);
        if (events.next()) {
            count = events.integer(0);
            bytes = events.integer(1);
        }
    }
    database.run("DELETE FROM events WHERE id IN "
                 "(SELECT id FROM events WHERE job_id = ? ORDER BY id LIMIT ?)",
                 job.id, limit);
    database.run("UPDATE groups SET event_bytes = MAX(0, event_bytes - ?) WHERE id = ?", bytes,
                 job.group);
    return count;
}

// Deletes `job`, whose events are gone, with its leases. Returns how many leases went.
std::int64_t deleteJob(Store::Transaction& transaction, const Artifacts& artifacts,
                       const EndedJob& job) {
    Database& database = transaction.database;
    std::int64_t leases = database.run("DELETE FROM leases WHERE job_id = ?", job.id);
    database.run("DELETE FROM jobs WHERE id = ?", job.id);
    // Its build went when it ended; this catches one a crash left behind.
    for (const auto& sha : {job.uploadSHA, job.artifactSHA}) {
        if (sha) {
            transaction.afterCommit(
                [&artifacts, id = job.id, file = *sha] { artifacts.remove(id, file); });
        }
    }
    return leases;
}

} // namespace

std::size_t Service::forgetEndedJobs() {
    double before = clock_.now() - policy_.retentionSeconds;
    std::size_t forgotten = 0;
    for (;;) {
        // Each round deletes at most this many rows, so that no round holds the store long.
        constexpr std::int64_t rowsPerRound = 2000;
        auto [jobs, more] = store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
            Database& database = transaction.database;
            std::vector<EndedJob> ended = endedJobs(
                database, longEnded, Protocol::text(JobState::succeeded),
                Protocol::text(JobState::failed), Protocol::text(JobState::cancelled), before);
            std::int64_t budget = rowsPerRound;
            std::size_t deleted = 0;
            for (const auto& job : ended) {
                budget -= deleteEvents(database, job, budget);
                if (budget <= 0) {
                    // The job's remaining events, if any, and the job go in the next round.
                    break;
                }
                budget -= deleteJob(transaction, artifacts_, job);
                ++deleted;
            }
            bool full = ended.size() == 64 || budget <= 0;
            return std::pair(deleted, full);
        });
        forgotten += jobs;
        if (!more) {
            return forgotten;
        }
    }
}

} // namespace ZUQRelay
