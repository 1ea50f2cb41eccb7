// A thin, owning layer over one SQLite connection: prepared statements cached per connection,
// typed binding and reading, and errors turned into exceptions that carry SQLite's own words.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace ZUQRelay {

/// A failure reported by SQLite, with its message and the statement or file involved.
class DatabaseError : public std::runtime_error {
public:
    DatabaseError(int code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

class Database;

/// One use of a cached prepared statement: arguments are bound on creation, rows are read with
/// `next`, and the statement is reset for its next use on destruction. Columns are numbered
/// from 0. Not copyable; lives only as long as the call that made it.
class Query {
public:
    Query(Query&& other) noexcept;
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    Query& operator=(Query&&) = delete;
    ~Query();

    /// Steps to the next row; false when there are no more. Throws DatabaseError.
    bool next();

    bool isNull(int column) const;
    std::int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    /// Nothing for SQL NULL.
    std::optional<std::string> optionalText(int column) const;

private:
    friend class Database;
    Query(Database& database, sqlite3_stmt* statement);

    void bindValue(int index, std::nullptr_t);
    void bindValue(int index, std::int64_t value);
    void bindValue(int index, int value) { bindValue(index, static_cast<std::int64_t>(value)); }
    void bindValue(int index, bool value) { bindValue(index, static_cast<std::int64_t>(value)); }
    void bindValue(int index, double value);
    void bindValue(int index, std::string_view value);
    void bindValue(int index, const std::string& value) {
        bindValue(index, std::string_view(value));
    }
    void bindValue(int index, const char* value) { bindValue(index, std::string_view(value)); }
    void bindValue(int index, const std::optional<std::string>& value);

    Database* database_;
    sqlite3_stmt* statement_;
};

/// An open SQLite connection. Not thread-safe: one thread at a time (the Store serialises).
class Database {
public:
    /// Opens or creates the database file, with a busy timeout so that a concurrent
    /// checkpoint never fails a statement outright.
    explicit Database(const std::filesystem::path& path);
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database();

    /// Runs one or more statements without results (schema scripts, pragmas).
    void execute(std::string_view sql);

    /// A cached statement with `arguments` bound to its parameters 1, 2, ...
    template <class... Arguments>
    Query query(std::string_view sql, const Arguments&... arguments) {
        Query query(*this, statement(sql));
        int index = 0;
        (query.bindValue(++index, arguments), ...);
        return query;
    }

    /// Runs a statement to completion and returns the number of rows it changed.
    template <class... Arguments>
    std::int64_t run(std::string_view sql, const Arguments&... arguments) {
        Query statement = query(sql, arguments...);
        while (statement.next()) {
        }
        return changes();
    }

    std::int64_t changes() const;
    std::int64_t lastInsertRowID() const;
    /// The integer value of a pragma such as "user_version".
    std::int64_t pragma(std::string_view name);

    sqlite3* handle() const { return handle_.get(); }
    const std::filesystem::path& path() const { return path_; }

    /// Throws DatabaseError for a result code that is not success, with `what` as context.
    [[noreturn]] void fail(int code, std::string_view what) const;

private:
    sqlite3_stmt* statement(std::string_view sql);

    struct Close {
        void operator()(sqlite3* handle) const;
    };
    struct Finalize {
        void operator()(sqlite3_stmt* statement) const;
    };
    // Lets the cache be searched with a string_view, without building a key on every call.
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view text) const {
            return std::hash<std::string_view>()(text);
        }
    };
    std::filesystem::path path_;
    std::unique_ptr<sqlite3, Close> handle_;
    std::unordered_map<std::string, std::unique_ptr<sqlite3_stmt, Finalize>, TextHash,
                       std::equal_to<>>
        statements_;
};

} // namespace ZUQRelay
