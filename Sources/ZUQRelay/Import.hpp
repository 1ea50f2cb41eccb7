// Moving a relay from SQLite to PostgreSQL: its rows copied into the new database.
#pragma once

#include "Database.hpp"
#include "PostgreSQL.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ZUQRelay {

/// Copies every row of `from`, a relay's SQLite database at the current schema, into `to`, a
/// PostgreSQL database at the current schema that holds no group yet, in one transaction:
/// groups, devices and their credentials, invites, jobs, leases and events, numbering kept.
/// NUL characters, which PostgreSQL cannot keep, become U+FFFD. Returns each table's name
/// with the number of rows copied. Throws ZUQError, leaving `to` as it was, when `to` already
/// holds groups.
std::vector<std::pair<std::string, std::int64_t>> importRows(Database& from,
                                                             PostgreSQL::Connection& to);

} // namespace ZUQRelay
