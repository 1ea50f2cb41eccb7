// What the builder and the receiver do with a leased job: upload and download its build,
// finish their side, fail it, and report progress.
#include "Members.hpp"
#include "Service.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <utility>

namespace ZUQRelay {

Service::Leased Service::leasedJob(Store::Transaction& transaction, const Caller& caller,
                                   std::string_view id, std::string_view lease,
                                   std::optional<Side> side, Needs needs) {
    expireLeases(transaction);
    Job job = findJob(transaction.database, caller, id);
    Side held = requireLease(transaction.database, caller, job.id, lease, side);
    bool fits = needs == Needs::sideAtWork ? job.state == Protocol::workingState(held)
                                           : !Protocol::isTerminal(job.state);
    if (!fits) {
        throw Refusal(Refusal::Reason::conflict,
                      "Job is " + std::string(Protocol::text(job.state)));
    }
    return {std::move(job), held};
}

void Service::checkStoredBytes(SQL::Connection& database, const std::string& job,
                               std::uint64_t more) {
    // The job's own earlier build, if any, is replaced, so it does not count.
    SQL::Rows stored = database.query(
        "SELECT COALESCE(SUM(upload_size), 0) FROM jobs WHERE group_id = "
        "(SELECT group_id FROM jobs WHERE id = ?1) AND state IN (?2, ?3) "
        "AND upload_sha IS NOT NULL AND id != ?1",
        job, Protocol::text(JobState::building), Protocol::text(JobState::installing));
    auto bytes = stored.next() ? static_cast<std::uint64_t>(stored.integer(0)) : 0;
    if (more > policy_.storedBytesPerGroup || bytes > policy_.storedBytesPerGroup - more) {
        throw Refusal(Refusal::Reason::tooLarge,
                      "This group's builds on the relay would pass its quota of " +
                          std::to_string(policy_.storedBytesPerGroup) +
                          " bytes. Wait for some jobs to end or cancel some.");
    }
}

void Service::checkUpload(const Caller& caller, std::string_view id, std::string_view lease,
                          std::uint64_t length) {
    store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        Job job = leasedJob(transaction, caller, id, lease, Side::builder, Needs::sideAtWork).job;
        checkStoredBytes(transaction.database, job.id, length);
    });
}

JSON Service::storeUpload(const Caller& caller, std::string_view id, std::string_view lease,
                          Upload& upload, const std::string& sha) {
    std::string job = store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        return leasedJob(transaction, caller, id, lease, Side::builder, Needs::sideAtWork).job.id;
    });
    // The build is in place and its name on the disk before the row that points at it
    // commits, so a power cut can never leave the row naming a missing file. Neither waits
    // under the store's lock. A file's name holds its checksum, so an upload racing with this
    // one either has other bytes and another name, or the same bytes.
    std::filesystem::path destination = artifacts_.path(job, sha);
    if (std::rename(upload.file().path().c_str(), destination.c_str()) != 0) {
        Platform::throwErrno("Cannot store", destination);
    }
    upload.file().keep();
    artifacts_.syncDirectory();
    try {
        return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
            Job current =
                leasedJob(transaction, caller, id, lease, Side::builder, Needs::sideAtWork).job;
            // Again with the size received: other uploads of the group may have landed since
            // this one was let in.
            checkStoredBytes(transaction.database, current.id, upload.size());
            transaction.database.run(
                "UPDATE jobs SET upload_sha = ?, upload_size = ?, updated_at = ? WHERE id = ?", sha,
                static_cast<std::int64_t>(upload.size()), clock_.now(), current.id);
            if (current.uploadSHA && *current.uploadSHA != sha) {
                transaction.afterCommit(
                    [this, job, old = *current.uploadSHA] { artifacts_.remove(job, old); });
            }
            return JSON::object({{"ok", true},
                                 {"id", current.id},
                                 {"sha256", sha},
                                 {"size", static_cast<double>(upload.size())}});
        });
    } catch (const Refusal&) {
        // The job ended or the lease went while the build was arriving: it keeps nothing,
        // unless an earlier upload of the very same bytes is what it holds.
        bool held = store_.read([&](SQL::Connection& database) {
            return database
                .query("SELECT 1 FROM jobs WHERE id = ? AND upload_sha = ? AND state "
                       "IN (?, ?)",
                       job, sha, Protocol::text(JobState::building),
                       Protocol::text(JobState::installing))
                .next();
        });
        if (!held) {
            artifacts_.remove(job, sha);
        }
        throw;
    }
}

Download Service::openDownload(const Caller& caller, std::string_view id, std::string_view lease) {
    return store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        Job job = leasedJob(transaction, caller, id, lease, Side::receiver, Needs::sideAtWork).job;
        std::filesystem::path path = artifacts_.path(job.id, job.artifactSHA.value_or(""));
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) {
                throw Refusal(Refusal::Reason::conflict,
                              "The build of this job is not stored on the relay");
            }
            Platform::throwErrno("Cannot open", path);
        }
        Download download{Platform::FileDescriptor(fd), 0};
        download.size = Platform::fileSize(fd, path);
        return download;
    });
}

JSON Service::finishBuild(const Caller& caller, std::string_view id, std::string_view lease,
                          const JSON& body) {
    std::string manifest = Members::object(body, "manifest").data();
    return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        SQL::Connection& database = transaction.database;
        Job job = leasedJob(transaction, caller, id, lease, Side::builder, Needs::sideAtWork).job;
        if (!job.uploadSHA) {
            throw Refusal(Refusal::Reason::conflict, "Upload the build before finishing it");
        }
        database.run("UPDATE jobs SET state = ?, artifact_sha = upload_sha, manifest = ?, "
                     "updated_at = ? WHERE id = ?",
                     Protocol::text(JobState::installing), manifest, clock_.now(), job.id);
        if (SQL::Rows row = database.query("SELECT receiver_id FROM jobs WHERE id = ?", job.id);
            row.next()) {
            transaction.afterCommit(
                [this, receiver = row.text(0)] { idle_.mayHaveWork(receiver); });
        }
        return jobRecord(database, job.id);
    });
}

JSON Service::finish(const Caller& caller, std::string_view id, std::string_view lease) {
    return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        Job job = leasedJob(transaction, caller, id, lease, Side::receiver, Needs::sideAtWork).job;
        endJob(transaction, job, JobState::succeeded, std::nullopt);
        return jobRecord(transaction.database, job.id);
    });
}

JSON Service::fail(const Caller& caller, std::string_view id, std::string_view lease,
                   const JSON& body) {
    std::string error =
        Members::firstCharacters(Members::string(body, "error"), Limits::errorCharacters);
    return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        // A side can fail the job only while it is the side at work.
        Job job = leasedJob(transaction, caller, id, lease, std::nullopt, Needs::sideAtWork).job;
        endJob(transaction, job, JobState::failed, error);
        return jobRecord(transaction.database, job.id);
    });
}

JSON Service::addEvent(const Caller& caller, std::string_view id, std::string_view lease,
                       const JSON& body) {
    std::string message = Members::firstBytes(
        Members::firstCharacters(Members::string(body, "message"), Limits::messageCharacters),
        Limits::messageBytes);
    return store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        SQL::Connection& database = transaction.database;
        Job job = leasedJob(transaction, caller, id, lease, std::nullopt, Needs::notEnded).job;
        {
            SQL::Rows count = database.query(
                "SELECT COUNT(*) FROM (SELECT 1 FROM events WHERE job_id = ? LIMIT ?) AS first",
                job.id, static_cast<std::int64_t>(Limits::eventsPerJob));
            if (count.next() &&
                count.integer(0) >= static_cast<std::int64_t>(Limits::eventsPerJob)) {
                throw Refusal(Refusal::Reason::tooMany, "This job has too many events");
            }
        }
        {
            SQL::Rows stored =
                database.query("SELECT event_bytes FROM groups WHERE id = ?", caller.groupID);
            auto bytes = stored.next() ? static_cast<std::uint64_t>(stored.integer(0)) : 0;
            if (bytes + message.size() > policy_.eventBytesPerGroup) {
                throw Refusal(
                    Refusal::Reason::tooMany,
                    "This group's events fill their quota of " +
                        std::to_string(policy_.eventBytesPerGroup) +
                        " bytes on the relay; ended jobs' events are deleted " +
                        std::to_string(static_cast<long long>(policy_.retentionSeconds / 86400)) +
                        " days after the job ends");
            }
        }
        double now = clock_.now();
        SQL::Rows inserted = database.query(
            "INSERT INTO events (job_id, message, created_at) VALUES (?, ?, ?) RETURNING id",
            job.id, message, now);
        inserted.next();
        std::int64_t event = inserted.integer(0);
        database.run("UPDATE groups SET event_bytes = event_bytes + ? WHERE id = ?",
                     static_cast<std::int64_t>(message.size()), caller.groupID);
        return JSON::object(
            {{"id", event}, {"message", message}, {"created_at", Members::timestamp(now)}});
    });
}

std::size_t Service::cleanArtifacts() {
    std::set<std::pair<std::string, std::string>> wanted =
        store_.read([](SQL::Connection& database) {
            std::set<std::pair<std::string, std::string>> files;
            SQL::Rows rows = database.query(
                "SELECT id, upload_sha FROM jobs WHERE upload_sha IS NOT NULL "
                "AND state IN (?, ?)",
                Protocol::text(JobState::building), Protocol::text(JobState::installing));
            while (rows.next()) {
                files.emplace(rows.text(0), rows.text(1));
            }
            return files;
        });
    // Relays sharing the store share the directory too: a file another one is writing, or
    // has just renamed into place and is about to record, has changed within the last minutes
    // (an upload that stops moving is cut long before).
    auto settled = store_.shared() ? std::chrono::seconds(600) : std::chrono::seconds(0);
    return artifacts_.clean(
        [&](const std::string& job, const std::string& sha) {
            return wanted.contains({job, sha});
        },
        settled);
}

} // namespace ZUQRelay
