// A thin, owning layer over one SQLite connection: prepared statements cached per connection,
// typed binding and reading, and errors turned into exceptions that carry SQLite's own words.
#pragma once

#include "SQL.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
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

/// An open SQLite connection. Not thread-safe: one thread at a time (the Store serialises).
/// A statement's rows are read from its cached prepared statement, which is reset for its
/// next use when they are destroyed.
class Database : public SQL::Connection {
public:
    /// Opens or creates the database file, with a busy timeout so that a concurrent
    /// checkpoint never fails a statement outright.
    explicit Database(const std::filesystem::path& path);
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;
    ~Database() override;

    SQL::Dialect dialect() const override { return SQL::Dialect::sqlite; }

    /// Runs one or more statements without results (schema scripts, pragmas).
    void execute(std::string_view sql) override;

    /// The integer value of a pragma such as "user_version".
    std::int64_t pragma(std::string_view name);

    sqlite3* handle() const { return handle_.get(); }
    const std::filesystem::path& path() const { return path_; }

    /// Throws DatabaseError for a result code that is not success, with `what` as context.
    [[noreturn]] void fail(int code, std::string_view what) const;

protected:
    SQL::Rows rows(std::string_view sql, std::span<const SQL::Value> values) override;

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
