// A thin, owning layer over one PostgreSQL connection through libpq: parameters sent as text
// beside the statement (never spliced into it), rows read by column, and failures turned into
// exceptions that carry the server's own words and its SQLSTATE.
#pragma once

#include "SQL.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct pg_conn;
struct pg_result;

namespace ZUQRelay::PostgreSQL {

/// A failure reported by libpq or the server. `state` is the five-character SQLSTATE ("23505"
/// for a unique violation, say), empty when the failure never reached the server.
class Error : public std::runtime_error {
public:
    Error(const std::string& message, std::string state)
        : std::runtime_error(message), state_(std::move(state)) {}
    const std::string& state() const { return state_; }

private:
    std::string state_;
};

/// `url` as it may be shown in a message or a log: a password in its user part or among its
/// parameters is replaced by "***".
std::string redacted(std::string_view url);

using Rows = SQL::Rows;

/// An open connection to a PostgreSQL server. Each statement is prepared once per connection,
/// its "?" and "?N" parameters written as PostgreSQL's "$N", and its values sent as text
/// beside it. Booleans read as integers are 1 and 0. Not thread-safe: one thread at a time.
class Connection : public SQL::Connection {
public:
    /// Connects to `url` (postgresql://USER@HOST:PORT/DB); the password may come from the URL
    /// or libpq's usual places (PGPASSWORD, PGPASSFILE, ~/.pgpass). Throws Error naming the
    /// URL without its password.
    explicit Connection(const std::string& url);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() override;

    SQL::Dialect dialect() const override { return SQL::Dialect::postgreSQL; }

    /// The URL connected to, without its password: for messages.
    const std::string& shown() const { return shown_; }

    /// Runs one or more statements without parameters (schema scripts).
    void execute(std::string_view sql) override;

    /// False once the connection to the server is lost.
    bool connected() const;
    /// Connects again after the connection was lost; prepared statements are prepared anew.
    /// Throws Error.
    void reconnect();

protected:
    SQL::Rows rows(std::string_view sql, std::span<const SQL::Value> values) override;

private:
    // The name of `sql`'s prepared statement, preparing it on first use.
    const std::string& prepared(std::string_view sql, int parameters);
    // Takes `result` of `sql`; throws Error unless it succeeded.
    std::unique_ptr<pg_result, void (*)(pg_result*)> checked(pg_result* result,
                                                             std::string_view sql);

    struct Finish {
        void operator()(pg_conn* connection) const;
    };
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>()(text);
        }
    };
    std::string url_;
    std::string shown_;
    std::unique_ptr<pg_conn, Finish> handle_;
    std::unordered_map<std::string, std::string, TextHash, std::equal_to<>> statements_;
};

/// `sql` with its "?" and "?N" parameters written as "$N", leaving quoted text alone.
std::string numberedParameters(std::string_view sql);

} // namespace ZUQRelay::PostgreSQL
