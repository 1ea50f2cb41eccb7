// The relay's tables, as a list of migrations applied in order.
#pragma once

#include "Database.hpp"

namespace ZUQRelay {

/// The schema version this relay writes (SQLite's user_version).
int currentSchemaVersion();

/// Brings the database to the current version, one migration per transaction. Throws
/// ZUQError when the database was written by a newer relay, and leaves it untouched.
void migrate(Database& database);

} // namespace ZUQRelay
