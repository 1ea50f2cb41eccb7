// What the relay keeps of ended jobs: each for the retention period at most, and a group's
// together within the group's quota of bytes, the jobs that ended first going first.
//
// The quota counts the texts a job's row holds. Each group's count is kept in
// groups.ended_job_bytes, raised in the transaction that ends a job and lowered in the one
// that deletes it. Summing the rows instead would read every ended job's submission and
// manifest, up to 144 KiB each on overflow pages, whenever a job ends. An ended job's row
// never changes, so what was added is exactly what its deletion takes away.
#include "Service.hpp"
#include "Tables.hpp"

#include <algorithm>
#include <limits>
#include <vector>

namespace ZUQRelay {

namespace {

using Tables::EndedJob;

// Deletes the first `limit` events of `job` and takes them off its group's count of event
// bytes. Returns how many went.
std::int64_t deleteEvents(SQL::Connection& database, const EndedJob& job, std::int64_t limit) {
    auto [count, bytes] = Tables::Events(database).removeFirst(job.id, limit);
    Tables::Groups(database).addEventBytes(job.group, -bytes);
    return count;
}

// Deletes `job`, whose events are gone, with its leases, and takes it off its group's count.
// Returns how many leases went.
std::int64_t deleteJob(Store::Transaction& transaction, const Artifacts& artifacts,
                       const EndedJob& job) {
    SQL::Connection& database = transaction.database;
    std::int64_t leases = Tables::Leases(database).removeOf(job.id);
    Tables::Jobs(database).remove(job.id);
    Tables::Groups(database).addEndedJobBytes(job.group, -job.keptBytes);
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
    auto kept = Tables::Jobs(database).keptBytes(id);
    if (kept && static_cast<std::uint64_t>(kept->second) > policy_.endedJobBytesPerGroup) {
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
    Tables::Jobs jobs(database);
    auto ended = jobs.keptBytes(id);
    if (!ended) {
        return;
    }
    const auto& [group, bytes] = *ended;
    std::uint64_t kept = Tables::Groups(database).addEndedJobBytes(group, bytes);
    constexpr std::int64_t everyEvent = std::numeric_limits<std::int64_t>::max();
    while (kept > policy_.endedJobBytesPerGroup) {
        std::vector<EndedJob> oldest = jobs.firstEnded(group, id);
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
            std::vector<EndedJob> ended = Tables::Jobs(database).endedBefore(before);
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
            bool full = static_cast<std::int64_t>(ended.size()) == Tables::Jobs::endedPerRound ||
                        budget <= 0;
            return std::pair(deleted, full);
        });
        forgotten += jobs;
        if (!more) {
            return forgotten;
        }
    }
}

} // namespace ZUQRelay
