// What the relay keeps of ended jobs: each for the retention period at most, and a group's
// together within the group's quota of bytes, the jobs that ended first going first.
//
// The quota counts the texts a job's row holds. Each group's count is kept in
// groups.ended_job_bytes, raised in the transaction that ends a job and lowered in the one
// that deletes it. Summing the rows instead would read every ended job's submission and
// manifest, up to 144 KiB each on overflow pages, whenever a job ends. An ended job's row
// never changes, so what was added is exactly what its deletion takes away.
#include "Service.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace ZUQRelay {

namespace {

// The bytes of the texts of a job's row. The schema migration that added the count spells out
// the same sum.
std::string rowTextBytes(SQL::Dialect dialect) {
    std::string sum;
    for (std::string_view column :
         {"id", "group_id", "state", "spec", "builder_id", "receiver_id"}) {
        sum += SQL::byteLength(dialect, column) + " + ";
    }
    for (std::string_view column : {"error", "upload_sha", "artifact_sha", "manifest"}) {
        sum += "COALESCE(" + SQL::byteLength(dialect, column) + ", 0)";
        sum += column == "manifest" ? "" : " + ";
    }
    return sum;
}

// "SELECT <columns><rowTextBytes> FROM jobs <rest>"; `columns`, when any, end in ", ".
std::string selectKeptBytes(SQL::Dialect dialect, std::string_view columns, std::string_view rest) {
    std::string text = "SELECT ";
    text += columns;
    text += rowTextBytes(dialect);
    text += " FROM jobs ";
    text += rest;
    return text;
}

// Ended jobs, at most one round of them, past the retention period.
constexpr std::string_view longEnded = "WHERE state IN (?, ?, ?) AND updated_at <= ? LIMIT 64";
// A group's ended jobs but one, those that ended first first.
constexpr std::string_view firstEnded = "WHERE group_id = ? AND state IN (?, ?, ?) AND id != ? "
                                        "ORDER BY updated_at, seq LIMIT 64";

// An ended job as deleting it needs it.
struct EndedJob {
    std::string id;
    std::string group;
    std::optional<std::string> uploadSHA;
    std::optional<std::string> artifactSHA;
    std::int64_t keptBytes = 0;
};

template <class... Arguments>
std::vector<EndedJob> endedJobs(SQL::Connection& database, std::string_view where,
                                const Arguments&... arguments) {
    std::vector<EndedJob> ended;
    SQL::Rows rows = database.query(
        selectKeptBytes(database.dialect(), "id, group_id, upload_sha, artifact_sha, ", where),
        arguments...);
    while (rows.next()) {
        ended.push_back({rows.text(0), rows.text(1), rows.optionalText(2), rows.optionalText(3),
                         rows.integer(4)});
    }
    return ended;
}

// Deletes the first `limit` events of `job` and takes them off its group's count of event
// bytes. Returns how many went.
std::int64_t deleteEvents(SQL::Connection& database, const EndedJob& job, std::int64_t limit) {
    std::int64_t count = 0;
    std::int64_t bytes = 0;
    {
        SQL::Rows events = database.query(
            "SELECT COUNT(*), COALESCE(SUM(" + SQL::byteLength(database.dialect(), "message") +
                "), 0) FROM (SELECT message FROM events WHERE job_id = ? ORDER BY id LIMIT ?) "
                "AS first",
            job.id, limit);
        if (events.next()) {
            count = events.integer(0);
            bytes = events.integer(1);
        }
    }
    database.run("DELETE FROM events WHERE id IN "
                 "(SELECT id FROM events WHERE job_id = ? ORDER BY id LIMIT ?)",
                 job.id, limit);
    database.run("UPDATE groups SET event_bytes = " +
                     SQL::larger(database.dialect(), "0", "event_bytes - ?") + " WHERE id = ?",
                 bytes, job.group);
    return count;
}

// Deletes `job`, whose events are gone, with its leases, and takes it off its group's count.
// Returns how many leases went.
std::int64_t deleteJob(Store::Transaction& transaction, const Artifacts& artifacts,
                       const EndedJob& job) {
    SQL::Connection& database = transaction.database;
    std::int64_t leases = database.run("DELETE FROM leases WHERE job_id = ?", job.id);
    database.run("DELETE FROM jobs WHERE id = ?", job.id);
    database.run("UPDATE groups SET ended_job_bytes = " +
                     SQL::larger(database.dialect(), "0", "ended_job_bytes - ?") + " WHERE id = ?",
                 job.keptBytes, job.group);
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

void Service::checkEndedJobBytes(SQL::Connection& database, const std::string& id) {
    SQL::Rows row = database.query(selectKeptBytes(database.dialect(), "", "WHERE id = ?"), id);
    if (row.next() && static_cast<std::uint64_t>(row.integer(0)) > policy_.endedJobBytesPerGroup) {
        throw Refusal(Refusal::Reason::tooMany,
                      "This job alone would pass the quota of " +
                          std::to_string(policy_.endedJobBytesPerGroup) +
                          " bytes that this group's ended jobs may keep on the relay. Submit "
                          "shorter values, or ask the relay's operator to raise "
                          "--max-ended-job-bytes.");
    }
}

void Service::keepEndedJobsWithinQuota(Store::Transaction& transaction, const std::string& id) {
    SQL::Connection& database = transaction.database;
    std::string group;
    std::int64_t bytes = 0;
    {
        SQL::Rows row =
            database.query(selectKeptBytes(database.dialect(), "group_id, ", "WHERE id = ?"), id);
        if (!row.next()) {
            return;
        }
        group = row.text(0);
        bytes = row.integer(1);
    }
    database.run("UPDATE groups SET ended_job_bytes = ended_job_bytes + ? WHERE id = ?", bytes,
                 group);
    std::uint64_t kept = 0;
    {
        SQL::Rows row = database.query("SELECT ended_job_bytes FROM groups WHERE id = ?", group);
        kept = row.next() ? static_cast<std::uint64_t>(row.integer(0)) : 0;
    }
    constexpr std::int64_t everyEvent = std::numeric_limits<std::int64_t>::max();
    while (kept > policy_.endedJobBytesPerGroup) {
        std::vector<EndedJob> oldest =
            endedJobs(database, firstEnded, group, Protocol::text(JobState::succeeded),
                      Protocol::text(JobState::failed), Protocol::text(JobState::cancelled), id);
        if (oldest.empty()) {
            // The job that just ended passes the quota alone. Its end is kept all the same:
            // deleting it would hide from its group how it ended.
            return;
        }
        for (const EndedJob& job : oldest) {
            if (kept <= policy_.endedJobBytesPerGroup) {
                return;
            }
            deleteEvents(database, job, everyEvent);
            deleteJob(transaction, artifacts_, job);
            kept -= std::min(kept, static_cast<std::uint64_t>(job.keptBytes));
        }
    }
}

std::size_t Service::forgetEndedJobs() {
    double before = clock_.now() - policy_.retentionSeconds;
    std::size_t forgotten = 0;
    for (;;) {
        // Each round deletes at most this many rows, so that no round holds the store long.
        constexpr std::int64_t rowsPerRound = 2000;
        auto [jobs, more] = store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
            SQL::Connection& database = transaction.database;
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
