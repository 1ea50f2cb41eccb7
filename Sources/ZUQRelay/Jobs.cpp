// Submitting, listing, reading and cancelling jobs, and their events.
#include "Members.hpp"
#include "Platform/Random.hpp"
#include "Records.hpp"
#include "Service.hpp"
#include "Tables.hpp"

namespace ZUQRelay {

namespace {

// A job's record, built from its row once the store's lock is released.
JSON record(Tables::JobRow row) {
    auto optional = [](std::optional<std::string>& text) {
        return text ? JSON(std::move(*text)) : JSON();
    };
    return JSON::object({
        {"id", std::move(row.id)},
        {"state", std::move(row.state)},
        {"error", optional(row.error)},
        {"spec", JSON::decode(row.wanted)},
        {"builder_id", std::move(row.builder)},
        {"receiver_id", std::move(row.receiver)},
        {"artifact_sha", optional(row.artifactSHA)},
        {"created_at", Members::timestamp(row.createdAt)},
        {"updated_at", Members::timestamp(row.updatedAt)},
    });
}

// The phone with this UDID in an inventory's "phones", or null. Inventories stored before
// the relay bounded them are bounded here, so a job never copies more than a bounded record.
JSON reportedPhone(const std::optional<std::string>& inventoryText, const std::string& udid) {
    if (!inventoryText) {
        return JSON();
    }
    JSON inventory = Members::boundedInventory(JSON::decode(*inventoryText));
    for (const JSON& phone : inventory["phones"].items()) {
        if (phone.kind() == JSON::Kind::object && phone["udid"].kind() == JSON::Kind::string &&
            phone["udid"].text() == udid) {
            return phone;
        }
    }
    return JSON();
}

} // namespace

JSON Service::jobRecord(SQL::Connection& database, const std::string& id) {
    auto row = Tables::Jobs(database).row(id);
    if (!row) {
        throw Refusal(Refusal::Reason::notFound, "Job not found");
    }
    return record(std::move(*row));
}

Service::Job Service::findJob(SQL::Connection& database, const Caller& caller,
                              std::string_view id) {
    std::string job = Members::lowerCase(id);
    // Another group's job is answered exactly like a missing one.
    std::optional<Job> found =
        Platform::isUUID(job) ? Tables::Jobs(database).find(job, caller.groupID) : std::nullopt;
    if (!found) {
        throw Refusal(Refusal::Reason::notFound, "Job not found");
    }
    return std::move(*found);
}

void Service::endJob(Store::Transaction& transaction, const Job& job, JobState state,
                     const std::optional<std::string>& error) {
    Tables::Jobs(transaction.database).end(job.id, state, error, clock_.now());
    transaction.makeDurable();
    keepEndedJobsWithinQuota(transaction, job.id);
    // A finished job's build is of no further use to anyone; it goes once the end is on disk.
    for (const auto& sha : {job.uploadSHA, job.artifactSHA}) {
        if (sha) {
            transaction.afterCommit(
                [this, id = job.id, file = *sha] { artifacts_.remove(id, file); });
        }
    }
}

JSON Service::submit(const Caller& caller, const JSON& body) {
    if (body.kind() != JSON::Kind::object) {
        throw Refusal(Refusal::Reason::invalid, "Request body must be a JSON object");
    }
    JSON::Object submitted;
    for (std::string_view name : JobSpec::submissionMembers) {
        const std::string& value = Members::string(body, name, Limits::jobFieldCharacters);
        submitted[std::string(name)] = value;
    }
    if (!deploymentMode(submitted["mode"].text())) {
        throw Refusal(Refusal::Reason::invalid, "Mode must be adhoc or debug");
    }
    std::string builder = Members::lowerCase(submitted["builder_id"].text());
    std::string receiver = Members::lowerCase(submitted["receiver_id"].text());
    submitted["builder_id"] = builder;
    submitted["receiver_id"] = receiver;
    return store_.write(Durability::durable, [&](Store::Transaction& transaction) {
        SQL::Connection& database = transaction.database;
        Tables::Devices devices(database);
        Tables::Jobs jobs(database);
        if (!devices.isMember(builder, caller.groupID)) {
            throw Refusal(Refusal::Reason::invalid, "Unknown builder Mac");
        }
        if (!devices.isMember(receiver, caller.groupID)) {
            throw Refusal(Refusal::Reason::invalid, "Unknown receiver Mac");
        }
        if (static_cast<std::uint64_t>(jobs.countOpen(caller.groupID)) >=
            policy_.openJobsPerGroup) {
            throw Refusal(Refusal::Reason::tooMany,
                          "This group has " + std::to_string(policy_.openJobsPerGroup) +
                              " unfinished jobs, as many as the relay allows. Wait for some to "
                              "end or cancel some.");
        }
        JSON::Object recorded = submitted;
        std::optional<std::string> inventory;
        Tables::Devices::Report stored = devices.report(receiver);
        if (auto report = presence_.find(receiver); report && report->seen >= stored.seen) {
            inventory = *report->inventory;
        } else {
            inventory = std::move(stored.inventory);
        }
        recorded["phone"] = reportedPhone(inventory, submitted["udid"].text());
        std::string id = Members::lowerCase(Platform::newUUID());
        double now = clock_.now();
        jobs.add(id, caller.groupID, JSON(std::move(recorded)).data(), builder, receiver, now);
        checkEndedJobBytes(database, id);
        transaction.afterCommit([this, builder] { idle_.mayHaveWork(builder); });
        return jobRecord(database, id);
    });
}

JSON Service::jobs(const Caller& caller) {
    // Only the rows are read under the store's lock; decoding and building the answer are not.
    std::vector<Tables::JobRow> rows = store_.read([&](SQL::Connection& database) {
        return Tables::Jobs(database).newest(caller.groupID, Limits::jobsPerAnswer);
    });
    JSON::Array jobs;
    jobs.reserve(rows.size());
    for (Tables::JobRow& row : rows) {
        jobs.push_back(record(std::move(row)));
    }
    return JSON::object({{"jobs", JSON(std::move(jobs))}});
}

JSON Service::job(const Caller& caller, std::string_view id) {
    // Through a write: a lapsed lease fails its job before anyone reads the job.
    return store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        expireLeases(transaction);
        return jobRecord(transaction.database, findJob(transaction.database, caller, id).id);
    });
}

JSON Service::cancel(const Caller& caller, std::string_view id) {
    return store_.write(Durability::relaxed, [&](Store::Transaction& transaction) {
        expireLeases(transaction);
        Job job = findJob(transaction.database, caller, id);
        if (!Protocol::isTerminal(job.state)) {
            endJob(transaction, job, JobState::cancelled, std::nullopt);
        }
        return jobRecord(transaction.database, job.id);
    });
}

JSON Service::events(const Caller& caller, std::string_view id, std::int64_t after) {
    std::vector<Tables::Events::Event> read = store_.read([&](SQL::Connection& database) {
        std::string job = findJob(database, caller, id).id;
        return Tables::Events(database).after(job, after, Limits::eventsPerAnswer);
    });
    JSON::Array events;
    events.reserve(read.size());
    for (Tables::Events::Event& event : read) {
        events.push_back(JSON::object({{"id", event.id},
                                       {"message", std::move(event.message)},
                                       {"created_at", Members::timestamp(event.createdAt)}}));
    }
    return JSON::object({{"events", JSON(std::move(events))}});
}

} // namespace ZUQRelay
