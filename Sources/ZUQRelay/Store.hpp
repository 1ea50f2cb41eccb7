// The relay's database: one SQLite file in write-ahead-log mode, opened once, migrated to the
// current schema, and used through short transactions.
#pragma once

#include "Database.hpp"
#include "Platform/File.hpp"

#include <filesystem>
#include <functional>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace ZUQRelay {

/// How a write transaction must reach the disk before its caller goes on.
enum class Durability {
    /// In the operating system's cache at commit; on the disk within about a second, at the
    /// next checkpoint. A crash of the relay loses nothing; a power cut may lose the last
    /// second. For heartbeats and lease renewals, which the next beat repeats.
    relaxed,
    /// Flushed to the disk before the call returns. For everything a user would miss.
    durable,
};

/// Serialises all use of one connection behind a mutex; every statement of the relay runs
/// inside `read` or `write`. Nothing under the mutex waits for the disk: a durable commit is
/// flushed after the mutex is released, and checkpoints (which flush) run on a second
/// connection, so a slow disk holds up only the request that asked for durability, never
/// every request. Thread-safe.
class Store {
public:
    /// What a write transaction's body sees: the connection, a way to ask for a durable
    /// commit, and actions to run once the commit has happened (never after a rollback).
    class Transaction {
    public:
        Database& database;

        void makeDurable() { durable_ = true; }
        bool durable() const { return durable_; }
        void afterCommit(std::function<void()> action) { actions_.push_back(std::move(action)); }

    private:
        friend class Store;
        Transaction(Database& connection, Durability durability)
            : database(connection), durable_(durability == Durability::durable) {}
        bool durable_;
        std::vector<std::function<void()>> actions_;
    };

    /// Opens or creates the database at `path`, switches it to write-ahead logging and applies
    /// every schema migration it lacks. Throws DatabaseError, or ZUQError for a database made
    /// by a newer relay.
    explicit Store(const std::filesystem::path& path);
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store();

    /// Runs `body(Transaction&)` in one write transaction and returns its result. An exception
    /// rolls everything back and propagates.
    template <class Body>
    auto write(Durability durability, Body&& body) {
        Transaction transaction(database_, durability);
        using Result = decltype(body(transaction));
        if constexpr (std::is_void_v<Result>) {
            locked([&] { body(transaction); });
            finish(transaction);
        } else {
            Result result = locked([&] { return body(transaction); });
            finish(transaction);
            return result;
        }
    }

    /// Runs `body(Database&)` on a consistent snapshot.
    template <class Body>
    auto read(Body&& body) {
        std::lock_guard lock(mutex_);
        return body(database_);
    }

    /// Copies committed transactions from the log into the database file without blocking
    /// readers or writers. Called about once a second by the relay's maintenance thread.
    void checkpoint();

private:
    template <class Body>
    auto locked(Body&& body) {
        std::lock_guard lock(mutex_);
        database_.run("BEGIN IMMEDIATE");
        try {
            if constexpr (std::is_void_v<decltype(body())>) {
                body();
                database_.run("COMMIT");
            } else {
                auto result = body();
                database_.run("COMMIT");
                return result;
            }
        } catch (...) {
            rollback();
            throw;
        }
    }
    void rollback() noexcept;
    void finish(Transaction& transaction);

    // The write-ahead log, kept open for the life of the store: flushing it makes every
    // commit written so far durable. Declared first so that it closes after both connections.
    Platform::FileDescriptor log_;
    std::mutex mutex_; // guards database_
    Database database_;
    std::mutex checkpointMutex_; // guards checkpointer_
    Database checkpointer_;
};

} // namespace ZUQRelay
