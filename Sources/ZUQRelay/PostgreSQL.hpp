// A thin, owning layer over one PostgreSQL connection through libpq: parameters sent as text
// beside the statement (never spliced into it), rows read by column, and failures turned into
// exceptions that carry the server's own words and its SQLSTATE.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

/// The rows of one statement's result, read in order: `next` moves to the first row, then to
/// each following one. Columns are numbered from 0.
class Rows {
public:
    bool next();

    bool isNull(int column) const;
    std::int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    /// Nothing for SQL NULL.
    std::optional<std::string> optionalText(int column) const;

    /// How many rows an INSERT, UPDATE or DELETE changed; 0 for other statements.
    std::int64_t changed() const;

private:
    friend class Connection;
    struct Clear {
        void operator()(pg_result* result) const;
    };
    explicit Rows(std::unique_ptr<pg_result, Clear> result);
    const char* value(int column) const;

    std::unique_ptr<pg_result, Clear> result_;
    int row_ = -1;
    int rows_ = 0;
};

/// An open connection to a PostgreSQL server. Not thread-safe: one thread at a time.
class Connection {
public:
    /// Connects to `url` (postgresql://USER@HOST:PORT/DB); the password may come from the URL
    /// or libpq's usual places (PGPASSWORD, PGPASSFILE, ~/.pgpass). Throws Error naming the
    /// URL without its password.
    explicit Connection(const std::string& url);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    /// The URL connected to, without its password: for messages.
    const std::string& shown() const { return shown_; }

    /// Runs one or more statements without parameters (schema scripts).
    void execute(std::string_view sql);

    /// Runs `sql` with `arguments` as its parameters $1, $2, ...: null, integers, reals,
    /// bools, texts, or optional texts (nothing as NULL).
    template <class... Arguments>
    Rows query(std::string_view sql, const Arguments&... arguments) {
        return send(sql, {parameter(arguments)...});
    }

    /// The same, returning how many rows the statement changed.
    template <class... Arguments>
    std::int64_t run(std::string_view sql, const Arguments&... arguments) {
        return query(sql, arguments...).changed();
    }

private:
    using Parameter = std::optional<std::string>;
    Rows send(std::string_view sql, const std::vector<Parameter>& parameters);
    // Takes `result` of `sql`; throws Error unless it succeeded.
    Rows checked(pg_result* result, const std::string& sql);

    static Parameter parameter(std::nullptr_t) { return std::nullopt; }
    static Parameter parameter(std::int64_t value) { return std::to_string(value); }
    static Parameter parameter(int value) { return std::to_string(value); }
    static Parameter parameter(bool value) { return value ? "true" : "false"; }
    static Parameter parameter(double value);
    static Parameter parameter(std::string_view value) { return std::string(value); }
    static Parameter parameter(const std::string& value) { return value; }
    static Parameter parameter(const char* value) { return std::string(value); }
    static Parameter parameter(const std::optional<std::string>& value) { return value; }

    struct Finish {
        void operator()(pg_conn* connection) const;
    };
    std::string shown_;
    std::unique_ptr<pg_conn, Finish> handle_;
};

} // namespace ZUQRelay::PostgreSQL
