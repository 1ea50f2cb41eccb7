// The statements of the relay's tables.
#include "Tables.hpp"

#include <limits>
#include <stdexcept>

namespace ZUQRelay::Tables {

namespace {

JobState storedState(const std::string& text) {
    if (auto state = Protocol::jobState(text)) {
        return *state;
    }
    throw std::logic_error("a job in an unknown state: " + text);
}

std::string_view building() {
    return Protocol::text(JobState::building);
}

std::string_view installing() {
    return Protocol::text(JobState::installing);
}

} // namespace

// Groups.

void Groups::add(const std::string& id, const std::string& name, double now) {
    database_.run("INSERT INTO groups (id, name, created_at) VALUES (?, ?, ?)", id, name, now);
}

std::string Groups::name(const std::string& id) {
    SQL::Rows row = database_.query("SELECT name FROM groups WHERE id = ?", id);
    return row.next() ? row.text(0) : std::string();
}

std::uint64_t Groups::eventBytes(const std::string& id) {
    SQL::Rows row = database_.query("SELECT event_bytes FROM groups WHERE id = ?", id);
    return row.next() ? static_cast<std::uint64_t>(row.integer(0)) : 0;
}

void Groups::addEventBytes(const std::string& id, std::int64_t bytes) {
    database_.run("UPDATE groups SET event_bytes = " +
                      SQL::larger(database_.dialect(), "0", "event_bytes + ?") + " WHERE id = ?",
                  bytes, id);
}

std::uint64_t Groups::addEndedJobBytes(const std::string& id, std::int64_t bytes) {
    SQL::Rows row =
        database_.query("UPDATE groups SET ended_job_bytes = " +
                            SQL::larger(database_.dialect(), "0", "ended_job_bytes + ?") +
                            " WHERE id = ? RETURNING ended_job_bytes",
                        bytes, id);
    return row.next() ? static_cast<std::uint64_t>(row.integer(0)) : 0;
}

// Devices.

void Devices::add(const std::string& id, const std::string& group, const std::string& name,
                  const std::string& tokenHash, double now) {
    database_.run("INSERT INTO devices (id, group_id, name, token_hash, created_at) "
                  "VALUES (?, ?, ?, ?, ?)",
                  id, group, name, tokenHash, now);
}

std::optional<Devices::Credential> Devices::credential(const std::string& id) {
    SQL::Rows row =
        database_.query("SELECT group_id, token_hash, revoked FROM devices WHERE id = ?", id);
    if (!row.next()) {
        return std::nullopt;
    }
    return Credential{row.text(0), row.text(1), row.integer(2) != 0};
}

bool Devices::isMember(const std::string& id, const std::string& group) {
    return database_
        .query("SELECT 1 FROM devices WHERE id = ? AND group_id = ? AND revoked = 0", id, group)
        .next();
}

std::vector<Devices::Listed> Devices::ofGroup(const std::string& group) {
    std::vector<Listed> devices;
    SQL::Rows row = database_.query("SELECT id, name, revoked, last_seen, inventory IS NOT NULL "
                                    "FROM devices WHERE group_id = ? ORDER BY created_at, id",
                                    group);
    while (row.next()) {
        devices.push_back({row.text(0), row.text(1), row.integer(2) != 0,
                           row.isNull(3) ? std::nullopt : std::optional(row.real(3)),
                           row.integer(4) != 0});
    }
    return devices;
}

std::optional<std::string> Devices::inventory(const std::string& id) {
    SQL::Rows row = database_.query("SELECT inventory FROM devices WHERE id = ?", id);
    return row.next() ? row.optionalText(0) : std::nullopt;
}

Devices::Report Devices::report(const std::string& id) {
    SQL::Rows row = database_.query("SELECT last_seen, inventory FROM devices WHERE id = ?", id);
    if (!row.next() || row.isNull(0)) {
        return {};
    }
    return {row.real(0), row.optionalText(1)};
}

bool Devices::revoke(const std::string& id, const std::string& group) {
    return database_.run("UPDATE devices SET revoked = 1 WHERE id = ? AND group_id = ?", id,
                         group) == 1;
}

void Devices::writeReports(std::span<const Presence::Change> changes) {
    std::string rows;
    std::vector<SQL::Value> values;
    values.reserve(changes.size() * 3);
    for (const Presence::Change& change : changes) {
        rows += rows.empty() ? "SELECT CAST(? AS TEXT) AS id, CAST(? AS DOUBLE PRECISION) AS seen, "
                               "CAST(? AS TEXT) AS inventory"
                             : " UNION ALL SELECT CAST(? AS TEXT), CAST(? AS DOUBLE PRECISION), "
                               "CAST(? AS TEXT)";
        values.emplace_back(std::string_view(change.device));
        values.emplace_back(change.seen);
        values.emplace_back(change.inventory ? SQL::Value(std::string_view(*change.inventory))
                                             : SQL::Value(nullptr));
    }
    database_
        .queryList("UPDATE devices SET last_seen = COALESCE(" +
                       SQL::larger(database_.dialect(), "devices.last_seen", "reported.seen") +
                       ", reported.seen), inventory = CASE WHEN reported.inventory IS NOT NULL "
                       "AND (devices.last_seen IS NULL OR reported.seen >= devices.last_seen) "
                       "THEN reported.inventory ELSE devices.inventory END FROM (" +
                       rows + ") AS reported WHERE devices.id = reported.id",
                   values)
        .next();
}

// Invites.

std::int64_t Invites::countOpen(const std::string& group, double now) {
    SQL::Rows row = database_.query("SELECT COUNT(*) FROM invites WHERE group_id = ? "
                                    "AND used_at IS NULL AND expires_at > ?",
                                    group, now);
    return row.next() ? row.integer(0) : 0;
}

void Invites::add(const std::string& codeHash, const std::string& group,
                  const std::string& createdBy, double now, double expiresAt) {
    database_.run("INSERT INTO invites (code_hash, group_id, created_by, created_at, expires_at) "
                  "VALUES (?, ?, ?, ?, ?)",
                  codeHash, group, createdBy, now, expiresAt);
}

bool Invites::use(const std::string& codeHash, double now) {
    return database_.run("UPDATE invites SET used_at = ? WHERE code_hash = ? AND used_at IS NULL "
                         "AND expires_at > ? AND created_by IN "
                         "(SELECT id FROM devices WHERE revoked = 0)",
                         now, codeHash, now) == 1;
}

std::optional<Invites::Target> Invites::target(const std::string& codeHash) {
    SQL::Rows row = database_.query(
        "SELECT g.id, g.name, (SELECT COUNT(*) FROM devices d WHERE d.group_id = g.id) "
        "FROM invites i JOIN groups g ON g.id = i.group_id WHERE i.code_hash = ?",
        codeHash);
    if (!row.next()) {
        return std::nullopt;
    }
    return Target{row.text(0), row.text(1), row.integer(2)};
}

void Invites::removeUnusedOf(const std::string& device) {
    database_.run("DELETE FROM invites WHERE created_by = ? AND used_at IS NULL", device);
}

void Invites::removeExpired(double now) {
    database_.run("DELETE FROM invites WHERE expires_at <= ?", now);
}

// Jobs.

namespace {

constexpr std::string_view recordColumns =
    "id, state, error, spec, builder_id, receiver_id, artifact_sha, created_at, updated_at";

JobRow jobRow(const SQL::Rows& row) {
    return {row.text(0), row.text(1),         row.optionalText(2), row.text(3), row.text(4),
            row.text(5), row.optionalText(6), row.real(7),         row.real(8)};
}

constexpr std::string_view jobColumns = "id, state, upload_sha, artifact_sha";

Job job(const SQL::Rows& row) {
    return {row.text(0), storedState(row.text(1)), row.optionalText(2), row.optionalText(3)};
}

// The bytes of the texts of a job's row. The schema migration that added the count of ended
// jobs' bytes spells out the same sum.
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

template <class... Arguments>
std::vector<EndedJob> endedJobs(SQL::Connection& database, std::string_view where,
                                const Arguments&... arguments) {
    std::vector<EndedJob> ended;
    SQL::Rows rows =
        database.query("SELECT id, group_id, upload_sha, artifact_sha, " +
                           rowTextBytes(database.dialect()) + " FROM jobs " + std::string(where),
                       arguments..., Jobs::endedPerRound);
    while (rows.next()) {
        ended.push_back({rows.text(0), rows.text(1), rows.optionalText(2), rows.optionalText(3),
                         rows.integer(4)});
    }
    return ended;
}

} // namespace

std::optional<JobRow> Jobs::row(const std::string& id) {
    SQL::Rows row =
        database_.query("SELECT " + std::string(recordColumns) + " FROM jobs WHERE id = ?", id);
    return row.next() ? std::optional(jobRow(row)) : std::nullopt;
}

std::vector<JobRow> Jobs::newest(const std::string& group, std::size_t limit) {
    std::vector<JobRow> rows;
    SQL::Rows row = database_.query("SELECT " + std::string(recordColumns) +
                                        " FROM jobs WHERE group_id = ? ORDER BY seq DESC LIMIT ?",
                                    group, static_cast<std::int64_t>(limit));
    while (row.next()) {
        rows.push_back(jobRow(row));
    }
    return rows;
}

std::optional<Job> Jobs::find(const std::string& id) {
    SQL::Rows row =
        database_.query("SELECT " + std::string(jobColumns) + " FROM jobs WHERE id = ?", id);
    return row.next() ? std::optional(job(row)) : std::nullopt;
}

std::optional<Job> Jobs::find(const std::string& id, const std::string& group) {
    SQL::Rows row = database_.query("SELECT " + std::string(jobColumns) +
                                        " FROM jobs WHERE id = ? AND group_id = ?",
                                    id, group);
    return row.next() ? std::optional(job(row)) : std::nullopt;
}

std::int64_t Jobs::countOpen(const std::string& group) {
    SQL::Rows row =
        database_.query("SELECT COUNT(*) FROM jobs WHERE group_id = ? AND state IN (?, ?)", group,
                        building(), installing());
    return row.next() ? row.integer(0) : 0;
}

std::vector<Job> Jobs::openOf(const std::string& group, const std::string& device) {
    std::vector<Job> open;
    SQL::Rows row = database_.query("SELECT " + std::string(jobColumns) +
                                        " FROM jobs WHERE group_id = ?1 AND (builder_id = ?2 OR "
                                        "receiver_id = ?2) AND state IN (?3, ?4)",
                                    group, device, building(), installing());
    while (row.next()) {
        open.push_back(job(row));
    }
    return open;
}

std::optional<std::pair<std::string, JobState>> Jobs::waiting(const std::string& device,
                                                              double now) {
    SQL::Rows row = database_.query(
        "SELECT j.id, j.state FROM jobs j "
        "WHERE ((j.builder_id = ?1 AND j.state = ?3) OR (j.receiver_id = ?1 AND j.state = ?4)) "
        "AND NOT EXISTS (SELECT 1 FROM leases l WHERE l.job_id = j.id "
        "    AND l.side = CASE j.state WHEN ?3 THEN ?5 ELSE ?6 END "
        "    AND l.live = 1 AND l.expires_at > ?2) "
        "ORDER BY j.seq LIMIT 1",
        device, now, building(), installing(), Protocol::text(Side::builder),
        Protocol::text(Side::receiver));
    if (!row.next()) {
        return std::nullopt;
    }
    return std::pair(row.text(0), storedState(row.text(1)));
}

std::optional<std::string> Jobs::receiver(const std::string& id) {
    SQL::Rows row = database_.query("SELECT receiver_id FROM jobs WHERE id = ?", id);
    return row.next() ? std::optional(row.text(0)) : std::nullopt;
}

void Jobs::add(const std::string& id, const std::string& group, const std::string& wanted,
               const std::string& builder, const std::string& receiver, double now) {
    database_.run("INSERT INTO jobs (id, group_id, state, spec, builder_id, receiver_id, "
                  "created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                  id, group, building(), wanted, builder, receiver, now, now);
}

void Jobs::end(const std::string& id, JobState state, const std::optional<std::string>& error,
               double now) {
    database_.run("UPDATE jobs SET state = ?, error = ?, updated_at = ? WHERE id = ?",
                  Protocol::text(state), error, now, id);
}

void Jobs::storeUpload(const std::string& id, const std::string& sha, std::uint64_t size,
                       double now) {
    database_.run("UPDATE jobs SET upload_sha = ?, upload_size = ?, updated_at = ? WHERE id = ?",
                  sha, static_cast<std::int64_t>(size), now, id);
}

void Jobs::finishBuild(const std::string& id, const std::string& manifest, double now) {
    database_.run("UPDATE jobs SET state = ?, artifact_sha = upload_sha, manifest = ?, "
                  "updated_at = ? WHERE id = ?",
                  installing(), manifest, now, id);
}

void Jobs::remove(const std::string& id) {
    database_.run("DELETE FROM jobs WHERE id = ?", id);
}

std::uint64_t Jobs::storedBytesBeside(const std::string& id) {
    SQL::Rows row =
        database_.query("SELECT COALESCE(SUM(upload_size), 0) FROM jobs WHERE group_id = "
                        "(SELECT group_id FROM jobs WHERE id = ?1) AND state IN (?2, ?3) "
                        "AND upload_sha IS NOT NULL AND id != ?1",
                        id, building(), installing());
    return row.next() ? static_cast<std::uint64_t>(row.integer(0)) : 0;
}

bool Jobs::holdsUpload(const std::string& id, const std::string& sha) {
    return database_
        .query("SELECT 1 FROM jobs WHERE id = ? AND upload_sha = ? AND state IN (?, ?)", id, sha,
               building(), installing())
        .next();
}

std::vector<std::pair<std::string, std::string>> Jobs::uploads() {
    std::vector<std::pair<std::string, std::string>> files;
    SQL::Rows row = database_.query(
        "SELECT id, upload_sha FROM jobs WHERE upload_sha IS NOT NULL AND state IN (?, ?)",
        building(), installing());
    while (row.next()) {
        files.emplace_back(row.text(0), row.text(1));
    }
    return files;
}

std::optional<std::pair<std::string, std::int64_t>> Jobs::keptBytes(const std::string& id) {
    SQL::Rows row = database_.query(
        "SELECT group_id, " + rowTextBytes(database_.dialect()) + " FROM jobs WHERE id = ?", id);
    return row.next() ? std::optional(std::pair(row.text(0), row.integer(1))) : std::nullopt;
}

std::vector<EndedJob> Jobs::endedBefore(double time) {
    return endedJobs(database_, "WHERE state IN (?, ?, ?) AND updated_at <= ? LIMIT ?",
                     Protocol::text(JobState::succeeded), Protocol::text(JobState::failed),
                     Protocol::text(JobState::cancelled), time);
}

std::vector<EndedJob> Jobs::firstEnded(const std::string& group, const std::string& except) {
    return endedJobs(database_,
                     "WHERE group_id = ? AND state IN (?, ?, ?) AND id != ? "
                     "ORDER BY updated_at, seq LIMIT ?",
                     group, Protocol::text(JobState::succeeded), Protocol::text(JobState::failed),
                     Protocol::text(JobState::cancelled), except);
}

// Leases.

void Leases::add(const std::string& tokenHash, const std::string& job, const std::string& device,
                 Side side, double expiresAt, double now) {
    database_.run("INSERT INTO leases (token_hash, job_id, device_id, side, expires_at, "
                  "created_at) VALUES (?, ?, ?, ?, ?, ?)",
                  tokenHash, job, device, Protocol::text(side), expiresAt, now);
}

std::vector<Leases::Lapsed> Leases::lapsed(double now) {
    std::vector<Lapsed> lapsed;
    SQL::Rows row = database_.query(
        "SELECT token_hash, job_id, side FROM leases WHERE live = 1 AND expires_at <= ?", now);
    while (row.next()) {
        lapsed.push_back({row.text(0), row.text(1), *Protocol::side(row.text(2))});
    }
    return lapsed;
}

double Leases::nextExpiry() {
    SQL::Rows row = database_.query("SELECT MIN(expires_at) FROM leases WHERE live = 1");
    return row.next() && !row.isNull(0) ? row.real(0) : std::numeric_limits<double>::infinity();
}

std::optional<Side> Leases::held(const std::string& tokenHash, const std::string& job,
                                 const std::string& device, double now) {
    SQL::Rows row = database_.query("SELECT side FROM leases WHERE token_hash = ? AND job_id = ? "
                                    "AND device_id = ? AND live = 1 AND expires_at > ?",
                                    tokenHash, job, device, now);
    return row.next() ? Protocol::side(row.text(0)) : std::nullopt;
}

void Leases::renew(const std::string& tokenHash, const std::string& job, const std::string& device,
                   double expiresAt) {
    database_.run("UPDATE leases SET expires_at = ? WHERE token_hash = ? AND job_id = ? "
                  "AND device_id = ? AND live = 1",
                  expiresAt, tokenHash, job, device);
}

std::optional<std::string> Leases::jobState(const std::string& tokenHash, const std::string& job,
                                            const std::string& device) {
    SQL::Rows row = database_.query("SELECT j.state FROM leases l JOIN jobs j ON j.id = l.job_id "
                                    "WHERE l.token_hash = ? AND l.job_id = ? AND l.device_id = ?",
                                    tokenHash, job, device);
    return row.next() ? std::optional(row.text(0)) : std::nullopt;
}

void Leases::end(const std::string& tokenHash) {
    database_.run("UPDATE leases SET live = 0 WHERE token_hash = ?", tokenHash);
}

void Leases::endOf(const std::string& device) {
    database_.run("UPDATE leases SET live = 0 WHERE device_id = ?", device);
}

void Leases::restart(double expiresAt) {
    database_.run("UPDATE leases SET expires_at = ? WHERE live = 1", expiresAt);
}

void Leases::removeEnded(double before) {
    database_.run("DELETE FROM leases WHERE live = 0 AND expires_at <= ?", before);
}

std::int64_t Leases::removeOf(const std::string& job) {
    return database_.run("DELETE FROM leases WHERE job_id = ?", job);
}

// Events.

std::vector<Events::Event> Events::after(const std::string& job, std::int64_t above,
                                         std::size_t limit) {
    std::vector<Event> events;
    SQL::Rows row = database_.query("SELECT id, message, created_at FROM events WHERE job_id = ? "
                                    "AND id > ? ORDER BY id LIMIT ?",
                                    job, above, static_cast<std::int64_t>(limit));
    while (row.next()) {
        events.push_back({row.integer(0), row.text(1), row.real(2)});
    }
    return events;
}

std::int64_t Events::countUpTo(const std::string& job, std::size_t limit) {
    SQL::Rows row = database_.query(
        "SELECT COUNT(*) FROM (SELECT 1 FROM events WHERE job_id = ? LIMIT ?) AS first", job,
        static_cast<std::int64_t>(limit));
    return row.next() ? row.integer(0) : 0;
}

std::int64_t Events::add(const std::string& job, const std::string& message, double now) {
    SQL::Rows row = database_.query(
        "INSERT INTO events (job_id, message, created_at) VALUES (?, ?, ?) RETURNING id", job,
        message, now);
    row.next();
    return row.integer(0);
}

std::pair<std::int64_t, std::int64_t> Events::removeFirst(const std::string& job,
                                                          std::int64_t limit) {
    std::pair<std::int64_t, std::int64_t> removed{0, 0};
    {
        SQL::Rows row = database_.query(
            "SELECT COUNT(*), COALESCE(SUM(" + SQL::byteLength(database_.dialect(), "message") +
                "), 0) FROM (SELECT message FROM events WHERE job_id = ? ORDER BY id LIMIT ?) "
                "AS first",
            job, limit);
        if (row.next()) {
            removed = {row.integer(0), row.integer(1)};
        }
    }
    database_.run("DELETE FROM events WHERE id IN "
                  "(SELECT id FROM events WHERE job_id = ? ORDER BY id LIMIT ?)",
                  job, limit);
    return removed;
}

} // namespace ZUQRelay::Tables
