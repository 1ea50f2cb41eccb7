#include "Schema.hpp"

#include "JSON.hpp"

#include <array>
#include <string>

namespace ZUQRelay {

namespace {

// Each entry moves the schema from version i to i + 1. Entries are never edited once
// released; a change is a new entry.
constexpr std::array migrations = {
    R"sql(
CREATE TABLE groups (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    created_at REAL NOT NULL
);
CREATE TABLE devices (
    id TEXT PRIMARY KEY,
    group_id TEXT NOT NULL REFERENCES groups(id),
    name TEXT NOT NULL,
    token_hash TEXT NOT NULL,
    revoked INTEGER NOT NULL DEFAULT 0,
    created_at REAL NOT NULL,
    last_seen REAL,
    inventory TEXT
);
CREATE INDEX devices_by_group ON devices(group_id, created_at);
CREATE TABLE invites (
    code_hash TEXT PRIMARY KEY,
    group_id TEXT NOT NULL REFERENCES groups(id),
    created_by TEXT NOT NULL,
    created_at REAL NOT NULL,
    expires_at REAL NOT NULL,
    used_at REAL
);
CREATE INDEX invites_by_expiry ON invites(expires_at);
CREATE INDEX invites_by_group ON invites(group_id, expires_at);
CREATE TABLE jobs (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    group_id TEXT NOT NULL REFERENCES groups(id),
    state TEXT NOT NULL,
    error TEXT,
    spec TEXT NOT NULL,
    builder_id TEXT NOT NULL,
    receiver_id TEXT NOT NULL,
    upload_sha TEXT,
    upload_size INTEGER,
    artifact_sha TEXT,
    manifest TEXT,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL
);
CREATE INDEX jobs_by_group ON jobs(group_id, seq);
CREATE INDEX jobs_by_builder ON jobs(builder_id, state, seq);
CREATE INDEX jobs_by_receiver ON jobs(receiver_id, state, seq);
CREATE TABLE leases (
    token_hash TEXT PRIMARY KEY,
    job_id TEXT NOT NULL REFERENCES jobs(id),
    device_id TEXT NOT NULL REFERENCES devices(id),
    side TEXT NOT NULL,
    live INTEGER NOT NULL DEFAULT 1,
    expires_at REAL NOT NULL,
    created_at REAL NOT NULL
);
CREATE INDEX leases_by_job ON leases(job_id, side);
CREATE INDEX live_leases_by_expiry ON leases(expires_at) WHERE live = 1;
CREATE TABLE events (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    job_id TEXT NOT NULL REFERENCES jobs(id),
    message TEXT NOT NULL,
    created_at REAL NOT NULL
);
CREATE INDEX events_by_job ON events(job_id, id);
)sql",
    // The bytes of each group's events, kept as they are added and deleted, for the group's
    // quota; and indexes to count a group's unfinished jobs and find long-ended ones.
    R"sql(
ALTER TABLE groups ADD COLUMN event_bytes INTEGER NOT NULL DEFAULT 0;
UPDATE groups SET event_bytes = (
    SELECT COALESCE(SUM(LENGTH(CAST(e.message AS BLOB))), 0)
    FROM events e JOIN jobs j ON j.id = e.job_id WHERE j.group_id = groups.id);
CREATE INDEX jobs_by_group_state ON jobs(group_id, state);
CREATE INDEX jobs_by_state_age ON jobs(state, updated_at);
)sql",
    // The bytes of the texts each group's ended jobs keep, kept as jobs end and are deleted,
    // for the group's quota; and an index to find a group's jobs that ended first.
    R"sql(
ALTER TABLE groups ADD COLUMN ended_job_bytes INTEGER NOT NULL DEFAULT 0;
UPDATE groups SET ended_job_bytes = (
    SELECT COALESCE(SUM(
        LENGTH(CAST(id AS BLOB)) + LENGTH(CAST(group_id AS BLOB)) +
        LENGTH(CAST(state AS BLOB)) + LENGTH(CAST(spec AS BLOB)) +
        LENGTH(CAST(builder_id AS BLOB)) + LENGTH(CAST(receiver_id AS BLOB)) +
        IFNULL(LENGTH(CAST(error AS BLOB)), 0) + IFNULL(LENGTH(CAST(upload_sha AS BLOB)), 0) +
        IFNULL(LENGTH(CAST(artifact_sha AS BLOB)), 0) +
        IFNULL(LENGTH(CAST(manifest AS BLOB)), 0)), 0)
    FROM jobs WHERE jobs.group_id = groups.id
        AND jobs.state IN ('succeeded', 'failed', 'cancelled'));
CREATE INDEX jobs_by_group_age ON jobs(group_id, updated_at);
)sql",
};

} // namespace

int currentSchemaVersion() {
    return static_cast<int>(migrations.size());
}

void migrate(Database& database) {
    std::int64_t version = database.pragma("user_version");
    if (version > currentSchemaVersion()) {
        throw ZUQError("The database " + database.path().string() + " has schema version " +
                       std::to_string(version) + ", newer than this relay's " +
                       std::to_string(currentSchemaVersion()) + ". Run a newer zuq-relay.");
    }
    for (auto index = static_cast<std::size_t>(version); index < migrations.size(); ++index) {
        database.execute("BEGIN IMMEDIATE");
        try {
            database.execute(migrations[index]);
            database.execute("PRAGMA user_version = " + std::to_string(index + 1));
            database.execute("COMMIT");
        } catch (...) {
            try {
                database.execute("ROLLBACK");
            } catch (...) {
                // The first failure is the one worth reporting.
            }
            throw;
        }
    }
}

} // namespace ZUQRelay
