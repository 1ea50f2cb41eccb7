// The relay's database, used through short transactions: by default one SQLite file in
// write-ahead-log mode, opened once; or a PostgreSQL cluster that several relays share.
#pragma once

#include "SQL.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
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

/// Runs every statement of the relay inside `read` or `write`. Write transactions are
/// serialised, across every relay sharing the database: SQLite's behind one mutex (nothing
/// under it waits for the disk: a durable commit is flushed after it is released, and
/// checkpoints run on a second connection), PostgreSQL's behind one advisory lock held to the
/// end of the transaction, so the rules never see two writes interleaved. Thread-safe.
class Store {
public:
    /// What a write transaction's body sees: the connection, a way to ask for a durable
    /// commit, and actions to run once the commit has happened (never after a rollback).
    class Transaction {
    public:
        SQL::Connection& database;

        void makeDurable() { durable_ = true; }
        bool durable() const { return durable_; }
        void afterCommit(std::function<void()> action) { actions_.push_back(std::move(action)); }

    private:
        friend class Store;
        Transaction(SQL::Connection& connection, Durability durability)
            : database(connection), durable_(durability == Durability::durable) {}
        bool durable_;
        std::vector<std::function<void()>> actions_;
    };

    /// A reference to a caller's function, called while the call that takes it lasts.
    template <class Argument>
    class Body {
    public:
        template <class Function>
        Body(Function& function) // NOLINT(google-explicit-constructor)
            : function_(&function), call_([](void* called, Argument& argument) {
                  (*static_cast<Function*>(called))(argument);
              }) {}
        void operator()(Argument& argument) const { call_(function_, argument); }

    private:
        void* function_;
        void (*call_)(void*, Argument&);
    };

    /// How a store keeps its data; one per kind of database.
    class Backend {
    public:
        virtual ~Backend() = default;
        virtual SQL::Dialect dialect() const = 0;
        virtual bool shared() const = 0;
        virtual void write(Durability durability, Body<Transaction> body) = 0;
        /// Without `snapshot`, each statement sees what was committed before it started.
        virtual void read(Body<SQL::Connection> body, bool snapshot) = 0;
        virtual void checkpoint() {}
        virtual bool firstToStart() { return true; }

    protected:
        static Transaction transaction(SQL::Connection& connection, Durability durability) {
            return Transaction(connection, durability);
        }
        static void runActions(Transaction& transaction) {
            for (auto& action : transaction.actions_) {
                action();
            }
        }
    };

    /// Opens or creates the SQLite database at `path`, switches it to write-ahead logging and
    /// applies every schema migration it lacks. Throws DatabaseError, or ZUQError for a
    /// database made by a newer relay.
    explicit Store(const std::filesystem::path& path);
    /// Connects to the PostgreSQL database at `url` with at most `connections` connections
    /// and applies every schema migration it lacks. Throws PostgreSQL::Error, or ZUQError for
    /// a database made by a newer relay.
    Store(const std::string& url, std::size_t connections);
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    ~Store();

    SQL::Dialect dialect() const { return backend_->dialect(); }
    /// True when other relays may use the same database at the same time: then nothing that
    /// decides an answer may be taken from this process's memory alone.
    bool shared() const { return backend_->shared(); }
    /// True when no other relay was running on the database when this one started, so that
    /// leases of Macs that could reach no relay meanwhile deserve a fresh period. Call once.
    bool firstToStart() { return backend_->firstToStart(); }

    /// Runs `body(Transaction&)` in one write transaction and returns its result. An exception
    /// rolls everything back and propagates.
    template <class Function>
    auto write(Durability durability, Function&& body) {
        using Result = std::invoke_result_t<Function&, Transaction&>;
        if constexpr (std::is_void_v<Result>) {
            auto run = [&](Transaction& transaction) { body(transaction); };
            backend_->write(durability, run);
        } else {
            std::optional<Result> result;
            auto run = [&](Transaction& transaction) { result.emplace(body(transaction)); };
            backend_->write(durability, run);
            return std::move(*result);
        }
    }

    /// Runs `body(SQL::Connection&)` on a consistent snapshot.
    template <class Function>
    auto read(Function&& body) {
        return read(std::forward<Function>(body), true);
    }

    /// Runs `body(SQL::Connection&)` of one statement, which sees everything committed
    /// before it started. Cheaper than `read` on a shared store.
    template <class Function>
    auto readLatest(Function&& body) {
        return read(std::forward<Function>(body), false);
    }

    /// Copies committed SQLite transactions from the log into the database file without
    /// blocking readers or writers. Called about once a second by the relay's maintenance
    /// thread.
    void checkpoint() { backend_->checkpoint(); }

private:
    template <class Function>
    auto read(Function&& body, bool snapshot) {
        using Result = std::invoke_result_t<Function&, SQL::Connection&>;
        std::optional<Result> result;
        auto run = [&](SQL::Connection& connection) { result.emplace(body(connection)); };
        backend_->read(run, snapshot);
        return std::move(*result);
    }

    std::unique_ptr<Backend> backend_;
};

} // namespace ZUQRelay
