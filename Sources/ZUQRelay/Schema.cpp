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

// The same tables on PostgreSQL, whose databases start at today's shape: their first entry is
// everything the SQLite entries above make. Times are seconds since 1970 as there; texts
// counted for quotas are counted in bytes (octet_length) as SQLite's CAST AS BLOB counts them.
constexpr std::array postgreSQLMigrations = {
    R"sql(
CREATE TABLE groups (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    created_at DOUBLE PRECISION NOT NULL,
    event_bytes BIGINT NOT NULL DEFAULT 0,
    ended_job_bytes BIGINT NOT NULL DEFAULT 0
);
CREATE TABLE devices (
    id TEXT PRIMARY KEY,
    group_id TEXT NOT NULL REFERENCES groups(id),
    name TEXT NOT NULL,
    token_hash TEXT NOT NULL,
    revoked BIGINT NOT NULL DEFAULT 0,
    created_at DOUBLE PRECISION NOT NULL,
    last_seen DOUBLE PRECISION,
    inventory TEXT
);
CREATE INDEX devices_by_group ON devices(group_id, created_at);
CREATE TABLE invites (
    code_hash TEXT PRIMARY KEY,
    group_id TEXT NOT NULL REFERENCES groups(id),
    created_by TEXT NOT NULL,
    created_at DOUBLE PRECISION NOT NULL,
    expires_at DOUBLE PRECISION NOT NULL,
    used_at DOUBLE PRECISION
);
CREATE INDEX invites_by_expiry ON invites(expires_at);
CREATE INDEX invites_by_group ON invites(group_id, expires_at);
CREATE TABLE jobs (
    seq BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    id TEXT NOT NULL UNIQUE,
    group_id TEXT NOT NULL REFERENCES groups(id),
    state TEXT NOT NULL,
    error TEXT,
    spec TEXT NOT NULL,
    builder_id TEXT NOT NULL,
    receiver_id TEXT NOT NULL,
    upload_sha TEXT,
    upload_size BIGINT,
    artifact_sha TEXT,
    manifest TEXT,
    created_at DOUBLE PRECISION NOT NULL,
    updated_at DOUBLE PRECISION NOT NULL
);
CREATE INDEX jobs_by_group ON jobs(group_id, seq);
CREATE INDEX jobs_by_builder ON jobs(builder_id, state, seq);
CREATE INDEX jobs_by_receiver ON jobs(receiver_id, state, seq);
CREATE INDEX jobs_by_group_state ON jobs(group_id, state);
CREATE INDEX jobs_by_state_age ON jobs(state, updated_at);
CREATE INDEX jobs_by_group_age ON jobs(group_id, updated_at);
CREATE TABLE leases (
    token_hash TEXT PRIMARY KEY,
    job_id TEXT NOT NULL REFERENCES jobs(id),
    device_id TEXT NOT NULL REFERENCES devices(id),
    side TEXT NOT NULL,
    live BIGINT NOT NULL DEFAULT 1,
    expires_at DOUBLE PRECISION NOT NULL,
    created_at DOUBLE PRECISION NOT NULL
);
CREATE INDEX leases_by_job ON leases(job_id, side);
CREATE INDEX live_leases_by_expiry ON leases(expires_at) WHERE live = 1;
CREATE TABLE events (
    id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    job_id TEXT NOT NULL REFERENCES jobs(id),
    message TEXT NOT NULL,
    created_at DOUBLE PRECISION NOT NULL
);
CREATE INDEX events_by_job ON events(job_id, id);
)sql",
    // Wrong bootstrap secrets, counted against their address by every relay of the cluster;
    // and at most one live lease per job and side, whichever relay handed it out.
    R"sql(
CREATE TABLE bootstrap_failures (
    address TEXT NOT NULL,
    failed_at DOUBLE PRECISION NOT NULL
);
CREATE INDEX bootstrap_failures_by_address ON bootstrap_failures(address, failed_at);
CREATE INDEX bootstrap_failures_by_age ON bootstrap_failures(failed_at);
CREATE UNIQUE INDEX one_live_lease ON leases(job_id, side) WHERE live = 1;
)sql",
};

// Held while a relay brings a PostgreSQL database up to date, so that instances starting
// together take turns: the first applies what is missing, the others find nothing left.
constexpr std::int64_t schemaLock = 0x7a75712d72656c61; // "zuq-rela"

[[noreturn]] void newerSchema(const std::string& database, std::int64_t version,
                              std::size_t current) {
    throw ZUQError("The database " + database + " has schema version " + std::to_string(version) +
                   ", newer than this relay's " + std::to_string(current) +
                   ". Run a newer zuq-relay.");
}

} // namespace

int currentSchemaVersion() {
    return static_cast<int>(migrations.size());
}

void migrate(Database& database) {
    std::int64_t version = database.pragma("user_version");
    if (version > currentSchemaVersion()) {
        newerSchema(database.path().string(), version, migrations.size());
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

int currentPostgreSQLSchemaVersion() {
    return static_cast<int>(postgreSQLMigrations.size());
}

void migrate(PostgreSQL::Connection& connection) {
    connection.query("SELECT pg_advisory_lock($1)", schemaLock);
    auto rollBack = [&] {
        try {
            connection.execute("ROLLBACK");
        } catch (...) {
            // The first failure is the one worth reporting.
        }
    };
    try {
        connection.execute("CREATE TABLE IF NOT EXISTS schema_migrations ("
                           "version BIGINT PRIMARY KEY, applied_at TIMESTAMPTZ NOT NULL)");
        PostgreSQL::Rows applied =
            connection.query("SELECT COALESCE(MAX(version), 0) FROM schema_migrations");
        applied.next();
        std::int64_t version = applied.integer(0);
        if (version > currentPostgreSQLSchemaVersion()) {
            newerSchema(connection.shown(), version, postgreSQLMigrations.size());
        }
        for (auto index = static_cast<std::size_t>(version); index < postgreSQLMigrations.size();
             ++index) {
            connection.execute("BEGIN");
            try {
                connection.execute(postgreSQLMigrations[index]);
                connection.run("INSERT INTO schema_migrations VALUES ($1, now())",
                               static_cast<std::int64_t>(index + 1));
                connection.execute("COMMIT");
            } catch (...) {
                rollBack();
                throw;
            }
        }
    } catch (...) {
        connection.query("SELECT pg_advisory_unlock($1)", schemaLock);
        throw;
    }
    connection.query("SELECT pg_advisory_unlock($1)", schemaLock);
}

} // namespace ZUQRelay
