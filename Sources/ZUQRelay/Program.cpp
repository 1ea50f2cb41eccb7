#include "Program.hpp"

#include "AccessLog.hpp"
#include "Bootstrap.hpp"
#include "Import.hpp"
#include "Options.hpp"
#include "PostgreSQL.hpp"
#include "Routes.hpp"
#include "Schema.hpp"
#include "Server.hpp"
#include "Service.hpp"
#include "TLS.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <optional>
#include <stop_token>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

namespace ZUQRelay {

namespace {

// Descriptors kept back from connections for the database, builds and the process itself.
constexpr std::size_t reservedDescriptors = 256;

// Refuses a second relay on the same data directory for as long as the lock is held.
Platform::FileDescriptor lockDataDirectory(const std::filesystem::path& data) {
    std::filesystem::path path = data / "relay.lock";
    Platform::FileDescriptor lock = Platform::openFile(path, O_RDWR | O_CREAT, 0600);
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            throw ZUQError("Another zuq-relay is using " + data.string());
        }
        Platform::throwErrno("Cannot lock", path);
    }
    return lock;
}

// Takes group and other access away from an existing file or directory, with a warning in
// the log: what it holds (credentials' hashes, the bootstrap secret, builds) is the relay's
// alone. A relay that cannot tighten a file it does not own still starts, and says so.
void keepToOwner(const std::filesystem::path& path, mode_t mode) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || (status.st_mode & 077) == 0) {
        return;
    }
    char old[8];
    std::snprintf(old, sizeof old, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    if (::chmod(path.c_str(), mode) != 0) {
        AccessLog::notice("Warning: " + path.string() + " is readable by others (mode " + old +
                          ") and could not be made owner-only: " + std::strerror(errno));
        return;
    }
    char now[8];
    std::snprintf(now, sizeof now, "%04o", static_cast<unsigned>(mode));
    AccessLog::notice("Warning: " + path.string() + " was readable by others (mode " + old +
                      "); changed to " + now);
}

// The data directory and everything the relay keeps in it, made owner-only where an earlier
// relay or an operator left them open.
void tightenDataDirectory(const std::filesystem::path& data) {
    keepToOwner(data, 0700);
    keepToOwner(data / "artifacts", 0700);
    for (const char* name : {"relay.sqlite3", "relay.sqlite3-wal", "relay.sqlite3-shm",
                             "relay.lock", "bootstrap-secret"}) {
        keepToOwner(data / name, 0600);
    }
}

// As many descriptors as the system allows, for many idle agent connections.
std::size_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    std::size_t available = limit.rlim_cur == RLIM_INFINITY ? 65536 : limit.rlim_cur;
    return std::max<std::size_t>(
        available > reservedDescriptors ? available - reservedDescriptors : 0, 64);
}

// Runs the upkeep of the rules and the database about once a second until stopped.
class Maintenance {
public:
    Maintenance(Service& service, Store& store)
        : thread_([this, &service, &store](std::stop_token stop) { run(stop, service, store); }) {}

private:
    void run(const std::stop_token& stop, Service& service, Store& store) {
        std::mutex mutex;
        std::condition_variable_any wake;
        while (!stop.stop_requested()) {
            try {
                service.sweep();
                store.checkpoint();
            } catch (const std::exception& error) {
                AccessLog::notice(std::string("Upkeep failed: ") + error.what());
            }
            std::unique_lock lock(mutex);
            wake.wait_for(lock, stop, std::chrono::seconds(1), [] { return false; });
        }
    }
    std::jthread thread_;
};

int serve(const Options& options) {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    // Blocked here, before any thread starts, so that only the waiting thread receives them.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::size_t maxConnections = raiseDescriptorLimit();

    // Everything the relay creates is its own alone: the database, its log and index (which
    // SQLite creates with the database's mode), builds and the bootstrap secret.
    ::umask(077);
    Platform::createDirectories(options.data, 0700);
    tightenDataDirectory(options.data);
    Platform::FileDescriptor lock = lockDataDirectory(options.data);
    std::filesystem::path bootstrapFile = std::filesystem::absolute(
        options.bootstrapFile ? *options.bootstrapFile
                              : Bootstrap::defaultSecretFile(options.data));
    keepToOwner(bootstrapFile, 0600);
    std::string secret = Bootstrap::readSecret(bootstrapFile);
    std::optional<TLSContext> tls;
    if (options.tls()) {
        tls.emplace(*options.tlsCertificate, *options.tlsKey);
    }

    // Requests wait for a connection of their own as long as every worker holds one; the
    // maintenance thread and the lane for large bodies have theirs.
    std::unique_ptr<Store> store =
        options.database ? std::make_unique<Store>(*options.database, options.threads + 2)
                         : std::make_unique<Store>(options.data / "relay.sqlite3");
    Artifacts artifacts(options.artifacts ? *options.artifacts : options.data / "artifacts");
    SystemClock clock;
    Bootstrap bootstrap(std::move(secret), clock, Bootstrap::trackedByDefault,
                        store->shared() ? store.get() : nullptr);
    Policy policy;
    policy.openJobsPerGroup = options.maxOpenJobsPerGroup;
    policy.storedBytesPerGroup = options.maxStoredBytesPerGroup;
    policy.eventBytesPerGroup = options.maxEventBytesPerGroup;
    policy.endedJobBytesPerGroup = options.maxEndedJobBytes;
    policy.retentionSeconds = static_cast<double>(options.retentionDays) * 86400;
    Service service(*store, artifacts, clock, policy);
    // Leases count only while some relay can be reached: when others are running, the Macs
    // holding leases can reach them.
    if (store->firstToStart()) {
        service.restartLeases();
    }
    std::size_t removed = service.cleanArtifacts();

    Routes::Settings routeSettings;
    routeSettings.maxArtifactBytes = options.maxArtifactBytes;
    Routes routes(service, bootstrap, routeSettings);
    Server::Settings settings;
    settings.ioThreads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 2, 4);
    settings.workers = options.threads;
    settings.maxConnections = maxConnections;
    // One address never takes every connection: by default it may hold a quarter of them.
    settings.maxConnectionsPerAddress = options.maxConnectionsPerAddress
                                            ? options.maxConnectionsPerAddress
                                            : std::max<std::size_t>(1, maxConnections / 4);
    settings.bodyBudget = options.bodyBudget;
    settings.answerBudget = options.answerBudget;
    settings.transfers.slots = options.maxTransfers;
    settings.transfers.perDevice = options.transfersPerMac;
    settings.transfers.perGroup = options.transfersPerGroup;
    settings.transfers.wait = std::chrono::seconds(options.transferWaitSeconds);
    settings.timeouts.idle = std::chrono::seconds(options.keepAliveSeconds);
    settings.minimumRate = options.minTransferRate;
    Server server(settings, routes, artifacts, tls ? &tls->get() : nullptr);
    int port = server.listenOn(options.host, options.port);

    std::string url = options.origin(port);
    std::cout << JSON::object({{"url", url}, {"bootstrap_file", bootstrapFile.string()}}).data()
              << std::endl;
    AccessLog::notice(
        "zuq-relay " + std::string(ZUQ::version) + " serving " + url + " with " +
        std::to_string(settings.ioThreads) + " I/O threads, " + std::to_string(settings.workers) +
        " workers and " + std::to_string(settings.transfers.slots) + " transfer slots; data in " +
        options.data.string() +
        (options.database ? "; database " + PostgreSQL::redacted(*options.database) : "") +
        (options.artifacts ? "; builds in " + options.artifacts->string() : "") +
        (removed ? "; removed " + std::to_string(removed) + " stale build files" : ""));

    std::atomic<bool> finished = false;
    std::thread signals([&] {
        timespec second{1, 0};
        while (!finished) {
            int signal = ::sigtimedwait(&stopSignals, nullptr, &second);
            if (signal == SIGTERM || signal == SIGINT) {
                AccessLog::notice(std::string("Stopping on ") +
                                  (signal == SIGTERM ? "SIGTERM" : "SIGINT"));
                server.stop();
                return;
            }
        }
    });
    {
        Maintenance maintenance(service, *store);
        try {
            server.run();
        } catch (...) {
            finished = true;
            signals.join();
            throw;
        }
    }
    finished = true;
    signals.join();
    // The last heartbeats are still only in memory.
    try {
        service.sweep(true);
    } catch (const std::exception& error) {
        AccessLog::notice(std::string("Could not write the last heartbeats: ") + error.what());
    }
    AccessLog::notice("Stopped");
    return 0;
}

// Copies the SQLite database of `options.data` into `options.database` and prints what was
// copied. The data directory's lock keeps a relay from writing to the file meanwhile.
int importSQLite(const Options& options) {
    std::filesystem::path file = options.data / "relay.sqlite3";
    if (!std::filesystem::exists(file)) {
        throw ZUQError("No relay database to import at " + file.string());
    }
    Platform::FileDescriptor lock = lockDataDirectory(options.data);
    Database from(file);
    migrate(from);
    PostgreSQL::Connection to(*options.database);
    migrate(to);
    JSON::Object counts;
    for (auto& [table, rows] : importRows(from, to)) {
        counts[table] = rows;
    }
    JSON answer = JSON::object({{"imported", JSON(std::move(counts))},
                                {"from", file.string()},
                                {"database", to.shown()},
                                {"builds", (options.data / "artifacts").string()}});
    std::cout << answer.data() << "\n";
    return 0;
}

} // namespace

int main(const std::vector<std::string>& arguments) {
    try {
        const char* database = std::getenv("ZUQ_RELAY_DATABASE");
        Options options = Options::parse(arguments, database ? std::optional<std::string>(database)
                                                             : std::nullopt);
        if (options.help) {
            std::cout << usage();
            return 0;
        }
        if (options.version) {
            std::cout << "zuq-relay " << ZUQ::version << "\n";
            return 0;
        }
        return options.importSQLite ? importSQLite(options) : serve(options);
    } catch (const std::exception& error) {
        // After the log's own lines, which go out through its writer.
        AccessLog::flush();
        std::string line = JSON::object({{"error", error.what()}}).data() + "\n";
        std::fputs(line.c_str(), stderr);
        return 1;
    }
}

} // namespace ZUQRelay
