#include "Store.hpp"

#include "Schema.hpp"

#include <fcntl.h>

namespace ZUQRelay {

Store::Store(const std::filesystem::path& path) : database_(path), checkpointer_(path) {
    database_.execute("PRAGMA journal_mode = WAL");
    database_.execute("PRAGMA synchronous = NORMAL");
    database_.execute("PRAGMA foreign_keys = ON");
    // Pages stay in memory rather than being read again with a system call each time.
    database_.execute("PRAGMA cache_size = -32768");
    database_.execute("PRAGMA mmap_size = 268435456");
    migrate(database_);
    log_ = Platform::openFile(path.string() + "-wal", O_RDONLY | O_CREAT, 0600);
    Platform::syncFile(log_.get(), path.string() + "-wal");

    // Nothing that waits for the disk happens on the connection behind the store's mutex:
    // - It never checkpoints; the maintenance thread's own connection does, and that one
    //   flushes the log before copying it and the database after, as SQLite does by default.
    //   SQLite reuses the log only once a checkpoint has completed, which with that
    //   connection's settings is after the database is on the disk.
    // - Its commits do not flush: a relaxed one reaches the disk at the next checkpoint, a
    //   durable one is flushed by finish() after the mutex is released. Otherwise SQLite
    //   would flush the log's header under the mutex whenever it starts the log anew, which
    //   under heavy disk traffic takes long enough to hold up every request.
    database_.execute("PRAGMA wal_autocheckpoint = 0");
    database_.execute("PRAGMA synchronous = OFF");
    database_.execute("PRAGMA journal_size_limit = 67108864");
    checkpointer_.execute("PRAGMA synchronous = NORMAL");
}

Store::~Store() {
    // The last connection to close folds the log into the database and removes it; it must
    // flush as it does so.
    try {
        std::lock_guard lock(mutex_);
        database_.execute("PRAGMA synchronous = NORMAL");
        database_.execute("PRAGMA wal_checkpoint(TRUNCATE)");
    } catch (...) {
        // Closing still checkpoints; nothing is lost when this one fails.
    }
}

void Store::checkpoint() {
    std::lock_guard lock(checkpointMutex_);
    checkpointer_.execute("PRAGMA wal_checkpoint(PASSIVE)");
}

void Store::rollback() noexcept {
    try {
        database_.run("ROLLBACK");
    } catch (...) {
        // SQLite has already rolled back after some failures; the connection stays usable.
    }
}

void Store::finish(Transaction& transaction) {
    if (transaction.durable_) {
        Platform::syncFile(log_.get(), database_.path().string() + "-wal");
    }
    for (auto& action : transaction.actions_) {
        action();
    }
}

} // namespace ZUQRelay
