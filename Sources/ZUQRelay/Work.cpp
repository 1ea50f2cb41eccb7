// What the builder and the receiver do with a leased job: upload and download its build,
// finish their side, fail it, and report progress.
#include "Members.hpp"
#include "Service.hpp"
#include "Tables.hpp"

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
    std::uint64_t bytes = Tables::Jobs(database).storedBytesBeside(job);
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
            Tables::Jobs(transaction.database)
                .storeUpload(current.id, sha, upload.size(), clock_.now());
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
            return Tables::Jobs(database).holdsUpload(job, sha);
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
        Job job = leasedJob(transaction, caller, id, lease, Side::builder, Needs::sideAtWork).job;
        if (!job.uploadSHA) {
            throw Refusal(Refusal::Reason::conflict, "Upload the build before finishing it");
        }
        Tables::Jobs jobs(transaction.database);
        jobs.finishBuild(job.id, manifest, clock_.now());
        if (auto receiver = jobs.receiver(job.id)) {
            transaction.afterCommit(
                [this, receiver = std::move(*receiver)] { idle_.mayHaveWork(receiver); });
        }
        return jobRecord(transaction.database, job.id);
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
    std::string error = Members::firstCharacters(
        Members::withoutNUL(Members::string(body, "error")), Limits::errorCharacters);
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
        Members::firstCharacters(Members::withoutNUL(Members::string(body, "message")),
                                 Limits::messageCharacters),
        Limits::messageBytes);
    return store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        Job job = leasedJob(transaction, caller, id, lease, std::nullopt, Needs::notEnded).job;
        Tables::Events events(transaction.database);
        Tables::Groups groups(transaction.database);
        if (events.countUpTo(job.id, Limits::eventsPerJob) >=
            static_cast<std::int64_t>(Limits::eventsPerJob)) {
            throw Refusal(Refusal::Reason::tooMany, "This job has too many events");
        }
        if (groups.eventBytes(caller.groupID) + message.size() > policy_.eventBytesPerGroup) {
            throw Refusal(
                Refusal::Reason::tooMany,
                "This group's events fill their quota of " +
                    std::to_string(policy_.eventBytesPerGroup) +
                    " bytes on the relay; ended jobs' events are deleted " +
                    std::to_string(static_cast<long long>(policy_.retentionSeconds / 86400)) +
                    " days after the job ends");
        }
        double now = clock_.now();
        std::int64_t event = events.add(job.id, message, now);
        groups.addEventBytes(caller.groupID, static_cast<std::int64_t>(message.size()));
        return JSON::object(
            {{"id", event}, {"message", message}, {"created_at", Members::timestamp(now)}});
    });
}

std::size_t Service::cleanArtifacts() {
    std::set<std::pair<std::string, std::string>> wanted =
        store_.read([](SQL::Connection& database) {
            auto uploads = Tables::Jobs(database).uploads();
            return std::set(uploads.begin(), uploads.end());
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
