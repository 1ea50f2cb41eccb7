#include "Store.hpp"

#include "Database.hpp"
#include "Platform/File.hpp"
#include "PostgreSQL.hpp"
#include "Schema.hpp"

#include <condition_variable>
#include <fcntl.h>
#include <mutex>

namespace ZUQRelay {

namespace {

// One SQLite file, one connection behind a mutex for every statement and a second one for
// checkpoints.
class SQLiteBackend final : public Store::Backend {
public:
    explicit SQLiteBackend(const std::filesystem::path& path)
        : database_(path), checkpointer_(path) {
        database_.execute("PRAGMA journal_mode = WAL");
        database_.execute("PRAGMA synchronous = NORMAL");
        database_.execute("PRAGMA foreign_keys = ON");
        // Pages stay in memory rather than being read again with a system call each time.
        database_.execute("PRAGMA cache_size = -32768");
        database_.execute("PRAGMA mmap_size = 268435456");
        migrate(database_);
        log_ = Platform::openFile(path.string() + "-wal", O_RDONLY | O_CREAT, 0600);
        Platform::syncFile(log_.get(), path.string() + "-wal");

        // Nothing that waits for the disk happens on the connection behind the mutex:
        // - It never checkpoints; the maintenance thread's own connection does, and that one
        //   flushes the log before copying it and the database after, as SQLite does by
        //   default. SQLite reuses the log only once a checkpoint has completed, which with
        //   that connection's settings is after the database is on the disk.
        // - Its commits do not flush: a relaxed one reaches the disk at the next checkpoint, a
        //   durable one is flushed after the mutex is released. Otherwise SQLite would flush
        //   the log's header under the mutex whenever it starts the log anew, which under
        //   heavy disk traffic takes long enough to hold up every request.
        database_.execute("PRAGMA wal_autocheckpoint = 0");
        database_.execute("PRAGMA synchronous = OFF");
        database_.execute("PRAGMA journal_size_limit = 67108864");
        checkpointer_.execute("PRAGMA synchronous = NORMAL");
    }

    ~SQLiteBackend() override {
        // The last connection to close folds the log into the database and removes it; it
        // must flush as it does so.
        try {
            std::lock_guard lock(mutex_);
            database_.execute("PRAGMA synchronous = NORMAL");
            database_.execute("PRAGMA wal_checkpoint(TRUNCATE)");
        } catch (...) {
            // Closing still checkpoints; nothing is lost when this one fails.
        }
    }

    SQL::Dialect dialect() const override { return SQL::Dialect::sqlite; }
    bool shared() const override { return false; }

    void write(Durability durability, Store::Body<Store::Transaction> body) override {
        Store::Transaction transaction = Backend::transaction(database_, durability);
        {
            std::lock_guard lock(mutex_);
            database_.execute("BEGIN IMMEDIATE");
            try {
                body(transaction);
                database_.execute("COMMIT");
            } catch (...) {
                rollback();
                throw;
            }
        }
        if (transaction.durable()) {
            Platform::syncFile(log_.get(), database_.path().string() + "-wal");
        }
        runActions(transaction);
    }

    void read(Store::Body<SQL::Connection> body, bool /*snapshot*/) override {
        std::lock_guard lock(mutex_);
        body(database_);
    }

    void checkpoint() override {
        std::lock_guard lock(checkpointMutex_);
        checkpointer_.execute("PRAGMA wal_checkpoint(PASSIVE)");
    }

private:
    void rollback() noexcept {
        try {
            database_.execute("ROLLBACK");
        } catch (...) {
            // SQLite has already rolled back after some failures; the connection stays usable.
        }
    }

    // The write-ahead log, kept open for the life of the store: flushing it makes every
    // commit written so far durable. Declared first so that it closes after both connections.
    Platform::FileDescriptor log_;
    std::mutex mutex_; // guards database_
    Database database_;
    std::mutex checkpointMutex_; // guards checkpointer_
    Database checkpointer_;
};

// Every relay's write transactions take this lock first, so that they run one at a time as
// SQLite's do. ("zuq-writ")
constexpr std::int64_t writeLock = 0x7a75712d77726974;
// Held shared by every relay while it runs; one that can take it alone is the only one.
// ("zuq-inst")
constexpr std::int64_t runningLock = 0x7a75712d696e7374;

// Connections to one PostgreSQL database, opened as they are needed up to a number and each
// lent to one thread at a time.
class PostgreSQLBackend final : public Store::Backend {
public:
    PostgreSQLBackend(const std::string& url, std::size_t connections)
        : url_(url), most_(std::max<std::size_t>(connections, 1)) {
        auto first = std::make_unique<PostgreSQL::Connection>(url_);
        migrate(*first);
        idle_.push_back(std::move(first));
        opened_ = 1;
    }

    SQL::Dialect dialect() const override { return SQL::Dialect::postgreSQL; }
    bool shared() const override { return true; }

    void write(Durability durability, Store::Body<Store::Transaction> body) override {
        Lent connection(*this);
        Store::Transaction transaction = Backend::transaction(*connection, durability);
        // Commits are asynchronous unless the transaction asks to be durable: a crash of the
        // cluster may lose the last moments of heartbeats, never a durable write.
        connection->execute("BEGIN; SET LOCAL synchronous_commit = off; "
                            "SELECT pg_advisory_xact_lock(" +
                            std::to_string(writeLock) + ")");
        try {
            body(transaction);
            connection->execute(transaction.durable() ? "SET LOCAL synchronous_commit = on; COMMIT"
                                                      : "COMMIT");
        } catch (...) {
            rollback(*connection);
            throw;
        }
        runActions(transaction);
    }

    void read(Store::Body<SQL::Connection> body, bool snapshot) override {
        Lent connection(*this);
        if (!snapshot) {
            body(*connection);
            return;
        }
        connection->execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
        try {
            body(*connection);
            connection->execute("COMMIT");
        } catch (...) {
            rollback(*connection);
            throw;
        }
    }

    bool firstToStart() override {
        running_ = std::make_unique<PostgreSQL::Connection>(url_);
        PostgreSQL::Rows alone = running_->query("SELECT pg_try_advisory_lock(?)", runningLock);
        bool first = alone.next() && alone.integer(0) == 1;
        // Shared from now on, before the lock taken alone (if it was) is given back, so that
        // no relay starting meanwhile takes itself for the only one.
        running_->query("SELECT pg_advisory_lock_shared(?)", runningLock);
        if (first) {
            running_->query("SELECT pg_advisory_unlock(?)", runningLock);
        }
        return first;
    }

private:
    // A connection taken from the idle ones, or opened, for as long as this lives.
    class Lent {
    public:
        explicit Lent(PostgreSQLBackend& backend)
            : backend_(backend), connection_(backend.take()) {}
        Lent(const Lent&) = delete;
        Lent& operator=(const Lent&) = delete;
        ~Lent() { backend_.giveBack(std::move(connection_)); }
        PostgreSQL::Connection& operator*() const { return *connection_; }
        PostgreSQL::Connection* operator->() const { return connection_.get(); }

    private:
        PostgreSQLBackend& backend_;
        std::unique_ptr<PostgreSQL::Connection> connection_;
    };

    std::unique_ptr<PostgreSQL::Connection> take() {
        std::unique_ptr<PostgreSQL::Connection> connection;
        {
            std::unique_lock lock(mutex_);
            returned_.wait(lock, [&] { return !idle_.empty() || opened_ < most_; });
            if (!idle_.empty()) {
                connection = std::move(idle_.back());
                idle_.pop_back();
            } else {
                ++opened_;
            }
        }
        try {
            if (!connection) {
                connection = std::make_unique<PostgreSQL::Connection>(url_);
            } else if (!connection->connected()) {
                connection->reconnect();
            }
        } catch (...) {
            std::lock_guard lock(mutex_);
            --opened_;
            returned_.notify_one();
            throw;
        }
        return connection;
    }

    void giveBack(std::unique_ptr<PostgreSQL::Connection> connection) {
        std::lock_guard lock(mutex_);
        idle_.push_back(std::move(connection));
        returned_.notify_one();
    }

    static void rollback(PostgreSQL::Connection& connection) noexcept {
        try {
            if (connection.connected()) {
                connection.execute("ROLLBACK");
            }
        } catch (...) {
            // A connection that cannot roll back is connected again before its next use.
        }
    }

    std::string url_;
    std::size_t most_;
    std::mutex mutex_; // guards idle_ and opened_
    std::condition_variable returned_;
    std::vector<std::unique_ptr<PostgreSQL::Connection>> idle_;
    std::size_t opened_ = 0;
    // Holds the running lock for as long as the relay runs.
    std::unique_ptr<PostgreSQL::Connection> running_;
};

} // namespace

Store::Store(const std::filesystem::path& path) : backend_(std::make_unique<SQLiteBackend>(path)) {}

Store::Store(const std::string& url, std::size_t connections)
    : backend_(std::make_unique<PostgreSQLBackend>(url, connections)) {}

Store::~Store() = default;

} // namespace ZUQRelay
