// The relay's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ZUQRelay {

/// What `zuq-relay` was asked to do.
struct Options {
    std::filesystem::path data;
    /// A PostgreSQL URL; without it the database is SQLite in `data`.
    std::optional<std::string> database;
    /// Where builds are kept; without it "artifacts" in `data`.
    std::optional<std::filesystem::path> artifacts;
    std::string host = "127.0.0.1";
    int port = 8787;
    std::optional<std::filesystem::path> bootstrapFile;
    std::optional<std::filesystem::path> tlsCertificate;
    std::optional<std::filesystem::path> tlsKey;
    std::uint64_t maxArtifactBytes = std::uint64_t(4) << 30;
    /// Worker threads that run requests against the store.
    std::size_t threads = 16;
    /// Builds moving at once: in all, of one Mac, of one group.
    std::size_t maxTransfers = 32;
    std::size_t transfersPerMac = 2;
    std::size_t transfersPerGroup = 8;
    /// How long a transfer waits for a slot before it is refused; 0 refuses at once.
    std::size_t transferWaitSeconds = 30;
    /// How long a connection is kept without a request.
    std::size_t keepAliveSeconds = 30;
    /// Open connections from one address at most.
    std::size_t maxConnectionsPerAddress = 0; // 0: a quarter of the connections allowed
    std::size_t bodyBudget = std::size_t(64) << 20;
    std::size_t answerBudget = std::size_t(256) << 20;
    /// Bytes a second, averaged over 30 seconds, below which a transfer is cut; 0 never.
    std::uint64_t minTransferRate = 16 * 1024;
    /// What one group may keep: unfinished jobs, bytes of builds, bytes of event texts,
    /// bytes of ended jobs' texts.
    std::uint64_t maxOpenJobsPerGroup = 1000;
    std::uint64_t maxStoredBytesPerGroup = std::uint64_t(64) << 30;
    std::uint64_t maxEventBytesPerGroup = std::uint64_t(256) << 20;
    std::uint64_t maxEndedJobBytes = std::uint64_t(256) << 20;
    /// Days an ended job is kept, with its events, before it is deleted.
    std::uint64_t retentionDays = 30;
    bool help = false;
    bool version = false;
    /// Copy the SQLite database in `data` into `database`, then stop.
    bool importSQLite = false;

    /// Reads the arguments after the program name. Options take their value as the next
    /// argument or after "=". Throws ZUQError with a sentence naming what is wrong: an unknown
    /// option, a missing or malformed value, a missing --data, one TLS file without the other,
    /// or plain HTTP on an address that is not loopback. `databaseVariable` is the value of
    /// ZUQ_RELAY_DATABASE, used when --database is not given.
    static Options parse(const std::vector<std::string>& arguments,
                         const std::optional<std::string>& databaseVariable = std::nullopt);

    bool tls() const { return tlsCertificate.has_value(); }
    /// The origin clients use: "http://127.0.0.1:8787", "https://[::1]:443".
    std::string origin(int boundPort) const;
};

/// True for addresses that never leave the machine: 127.0.0.0/8, ::1 and "localhost".
bool isLoopback(std::string_view host);

/// The text of `zuq-relay --help`.
std::string_view usage();

} // namespace ZUQRelay
