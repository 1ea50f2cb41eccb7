#include "Store.hpp"

#include "Schema.hpp"

#include <fcntl.h>

namespace ZUQRelay {

Store::Store(const std::filesystem::path& path) : database_(path), checkpointer_(path) {
    database_.execute("PRAGMA journal_mode = WAL");
    // Commits reach the log in the page cache; checkpoints flush it, and durable transactions
    // flush it themselves (see finish).
    database_.execute("PRAGMA synchronous = NORMAL");
    database_.execute("PRAGMA foreign_keys = ON");
    // Checkpoints run on the maintenance thread's own connection, never inside a request.
    database_.execute("PRAGMA wal_autocheckpoint = 0");
    database_.execute("PRAGMA journal_size_limit = 67108864");
    // Pages stay in memory rather than being read again with a system call each time.
    database_.execute("PRAGMA cache_size = -32768");
    database_.execute("PRAGMA mmap_size = 268435456");
    migrate(database_);
    log_ = Platform::openFile(path.string() + "-wal", O_RDONLY | O_CREAT, 0600);
}

Store::~Store() {
    // The last connection to close folds the log into the database and removes it.
    try {
        std::lock_guard lock(mutex_);
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
