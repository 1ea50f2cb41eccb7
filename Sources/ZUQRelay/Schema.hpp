// The relay's tables, as a list of migrations applied in order.
#pragma once

#include "Database.hpp"
#include "PostgreSQL.hpp"

namespace ZUQRelay {

/// The schema version this relay writes (SQLite's user_version).
int currentSchemaVersion();

/// Brings the database to the current version, one migration per transaction. Throws
/// ZUQError when the database was written by a newer relay, and leaves it untouched.
void migrate(Database& database);

/// The schema version this relay writes on PostgreSQL (its schema_migrations table).
int currentPostgreSQLSchemaVersion();

/// The same for a PostgreSQL database, under an advisory lock so that relays starting together
/// never apply a migration twice.
void migrate(PostgreSQL::Connection& connection);

} // namespace ZUQRelay
