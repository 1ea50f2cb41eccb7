// Submitting, listing, reading and cancelling jobs, and their events.
#include "Members.hpp"
#include "Platform/Random.hpp"
#include "Records.hpp"
#include "Service.hpp"

namespace ZUQRelay {

namespace {

constexpr std::string_view recordColumns =
    "id, state, error, spec, builder_id, receiver_id, artifact_sha, created_at, updated_at";

// A job's row as read, so that the record can be built once the store's lock is released.
struct Row {
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

Row readRow(const SQL::Rows& row) {
    return {row.text(0), row.text(1),         row.optionalText(2), row.text(3), row.text(4),
            row.text(5), row.optionalText(6), row.real(7),         row.real(8)};
}

JSON record(Row row) {
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

bool isMember(SQL::Connection& database, const Caller& caller, const std::string& device) {
    SQL::Rows row =
        database.query("SELECT 1 FROM devices WHERE id = ? AND group_id = ? AND revoked = 0",
                       device, caller.groupID);
    return row.next();
}

} // namespace

JSON Service::jobRecord(SQL::Connection& database, const std::string& id) {
    SQL::Rows row =
        database.query("SELECT " + std::string(recordColumns) + " FROM jobs WHERE id = ?", id);
    if (!row.next()) {
        throw Refusal(Refusal::Reason::notFound, "Job not found");
    }
    return record(readRow(row));
}

Service::JobState Service::storedState(std::string_view text) {
    if (auto state = Protocol::jobState(text)) {
        return *state;
    }
    throw std::logic_error("a job in an unknown state: " + std::string(text));
}

Service::Job Service::findJob(SQL::Connection& database, const Caller& caller,
                              std::string_view id) {
    std::string job = Members::lowerCase(id);
    SQL::Rows row = database.query(
        "SELECT state, upload_sha, artifact_sha FROM jobs WHERE id = ? AND group_id = ?", job,
        caller.groupID);
    // Another group's job is answered exactly like a missing one.
    if (!Platform::isUUID(job) || !row.next()) {
        throw Refusal(Refusal::Reason::notFound, "Job not found");
    }
    return {job, storedState(row.text(0)), row.optionalText(1), row.optionalText(2)};
}

void Service::endJob(Store::Transaction& transaction, const Job& job, JobState state,
                     const std::optional<std::string>& error) {
    transaction.database.run("UPDATE jobs SET state = ?, error = ?, updated_at = ? WHERE id = ?",
                             Protocol::text(state), error, clock_.now(), job.id);
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
        if (!isMember(database, caller, builder)) {
            throw Refusal(Refusal::Reason::invalid, "Unknown builder Mac");
        }
        if (!isMember(database, caller, receiver)) {
            throw Refusal(Refusal::Reason::invalid, "Unknown receiver Mac");
        }
        SQL::Rows open = database.query(
            "SELECT COUNT(*) FROM jobs WHERE group_id = ? AND state IN (?, ?)", caller.groupID,
            Protocol::text(JobState::building), Protocol::text(JobState::installing));
        if (open.next() &&
            static_cast<std::uint64_t>(open.integer(0)) >= policy_.openJobsPerGroup) {
            throw Refusal(Refusal::Reason::tooMany,
                          "This group has " + std::to_string(policy_.openJobsPerGroup) +
                              " unfinished jobs, as many as the relay allows. Wait for some to "
                              "end or cancel some.");
        }
        JSON::Object recorded = submitted;
        std::optional<std::string> inventory;
        SQL::Rows row =
            database.query("SELECT last_seen, inventory FROM devices WHERE id = ?", receiver);
        std::optional<double> stored =
            row.next() && !row.isNull(0) ? std::optional(row.real(0)) : std::nullopt;
        if (auto report = presence_.find(receiver); report && report->seen >= stored) {
            inventory = *report->inventory;
        } else if (stored) {
            inventory = row.optionalText(1);
        }
        recorded["phone"] = reportedPhone(inventory, submitted["udid"].text());
        std::string id = Members::lowerCase(Platform::newUUID());
        double now = clock_.now();
        database.run("INSERT INTO jobs (id, group_id, state, spec, builder_id, receiver_id, "
                     "created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                     id, caller.groupID, Protocol::text(JobState::building),
                     JSON(std::move(recorded)).data(), builder, receiver, now, now);
        checkEndedJobBytes(database, id);
        transaction.afterCommit([this, builder] { idle_.mayHaveWork(builder); });
        return jobRecord(database, id);
    });
}

JSON Service::jobs(const Caller& caller) {
    // Only the rows are read under the store's lock; decoding and building the answer are not.
    std::vector<Row> rows = store_.read([&](SQL::Connection& database) {
        std::vector<Row> read;
        SQL::Rows row =
            database.query("SELECT " + std::string(recordColumns) +
                               " FROM jobs WHERE group_id = ? ORDER BY seq DESC LIMIT ?",
                           caller.groupID, static_cast<std::int64_t>(Limits::jobsPerAnswer));
        while (row.next()) {
            read.push_back(readRow(row));
        }
        return read;
    });
    JSON::Array jobs;
    jobs.reserve(rows.size());
    for (Row& row : rows) {
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
    struct Event {
        std::int64_t id;
        std::string message;
        double createdAt;
    };
    std::vector<Event> read = store_.read([&](SQL::Connection& database) {
        std::string job = findJob(database, caller, id).id;
        std::vector<Event> rows;
        SQL::Rows row =
            database.query("SELECT id, message, created_at FROM events WHERE job_id = ? "
                           "AND id > ? ORDER BY id LIMIT ?",
                           job, after, static_cast<std::int64_t>(Limits::eventsPerAnswer));
        while (row.next()) {
            rows.push_back({row.integer(0), row.text(1), row.real(2)});
        }
        return rows;
    });
    JSON::Array events;
    events.reserve(read.size());
    for (Event& event : read) {
        events.push_back(JSON::object({{"id", event.id},
                                       {"message", std::move(event.message)},
                                       {"created_at", Members::timestamp(event.createdAt)}}));
    }
    return JSON::object({{"events", JSON(std::move(events))}});
}

} // namespace ZUQRelay
