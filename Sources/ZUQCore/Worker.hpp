// The agent every Mac of a group runs: it keeps the relay informed about this Mac, claims the
// jobs addressed to it and runs them; and the login agent that keeps it running.
#pragma once

#include "API.hpp"
#include "JSON.hpp"
#include "Protocol.hpp"
#include "Platform/Process.hpp"
#include "ProcessRunner.hpp"
#include "Storage.hpp"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

/// The one agent of a Mac. `run` loops on the calling thread: about every 5 seconds it refreshes
/// the phone inventory (when older than 15 seconds), heartbeats the relay with the inventory,
/// the registered projects and the running job's lease, claims a job when idle and rewrites the
/// status file "agent-status.json". A claimed job runs on its own thread, so heartbeats go on
/// while it builds or installs; a job the relay reports ended is stopped through its stop token
/// and its running tool is cancelled. After a failed pass the loop waits 5 seconds times the
/// number of consecutive failures, at most 30, and logs only the first failure of a streak.
///
/// Thread safety: `stop` may be called from any thread at any time; everything else is called
/// by the thread that runs `run`. The worker's own state is guarded by `mutex_`.
class Worker {
public:
    /// What this agent accepts of a build from another Mac.
    struct Limits {
        /// Bytes of the encrypted build it downloads.
        std::uint64_t largestBuild = std::uint64_t(4) << 30;
        /// Bytes the build's app may unpack to.
        std::uint64_t largestApp = std::uint64_t(8) << 30;
    };

    /// Builds the relay client for the credential; an invalid relay origin throws here.
    explicit Worker(Credentials credentials);
    Worker(Credentials credentials, Limits limits);
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    /// Stops a job still running and waits for its thread, which reports the job's failure.
    ~Worker();

    /// Takes the agent lock (its errors end `run` at once), ends the tools a killed predecessor
    /// left running (recorded under "Tools" in the state directory, where this agent records
    /// its own), removes job directories older than 7 days and loops until `stop`. Returns normally when stopped; throws the relay's error
    /// when the credential was revoked, after stopping everything. The lock is released before
    /// `run` ends in every case.
    void run();

    /// Asks the worker to end: the loop ends at once, even in the middle of a back-off; a
    /// running job's tool is cancelled and its thread asked to stop. Does not wait.
    void stop() noexcept;

    /// How long a job directory under "Jobs" is kept after its last change.
    static constexpr std::chrono::seconds jobRetention{7 * 24 * 3600};
    /// Characters of a failure's description reported to the relay and logged.
    static constexpr std::size_t failureCharacters = 1950;

    /// An inventory of `projects`, `phones` and `others` that encodes to fewer than `bytes`:
    /// projects are left out from the end, then phones, until it does. The relay keeps no more
    /// than `Protocol::inventoryBytes` of one and refuses a heartbeat much larger, so a Mac with
    /// projects by the thousand still heartbeats, its phones the last to go.
    static JSON fittedInventory(JSON::Array projects, JSON::Array phones, JSON::Object others,
                                std::size_t bytes = Protocol::inventoryBytes);

private:
    struct RunningJob {
        std::string id;
        std::string token;
    };

    // One pass from the inventory to the claim; throws what fails the pass.
    void pass();
    void refreshInventory();
    JSON inventory();
    void start(const JSON& job, const std::string& token);
    void execute(const JSON& job, const std::string& id, const std::string& token,
                 std::stop_token stop);
    void finished();
    void writeStatus(const std::optional<std::string>& error);
    void cleanup();
    // Cancels the running job's tool and thread and ends the sleep assertion; mutex_ held.
    void stopJobLocked();
    // Sleeps up to `duration`, returning early (false) once stopped.
    bool sleep(std::chrono::steady_clock::duration duration);

    const Credentials credentials_;
    const Limits limits_;
    const API api_;
    std::optional<AgentLock> agentLock_; // touched only by the thread in `run`
    std::stop_source stopSource_;        // requested by `stop`; cuts a device listing short
    std::mutex statusMutex_;             // serialises writes of the status file

    std::mutex mutex_; // guards every member below
    std::condition_variable wake_;
    std::optional<RunningJob> runningJob_;
    std::jthread work_;
    std::vector<std::jthread> ended_; // job threads that finished, joined by the loop
    std::optional<Platform::ChildProcess> sleepAssertion_;
    bool stopped_ = false;
    std::vector<JSON> phones_;
    std::optional<std::string> inventoryError_;
    std::optional<std::chrono::steady_clock::time_point> lastInventory_;
};

/// The agent as a per-user login agent of the service manager: a property list under
/// ~/Library/LaunchAgents loaded with launchctl, which starts `zuq agent run` at login and again
/// after every unsuccessful exit.
namespace AgentService {

/// The login agent's label; it shares its prefix with the credential's keychain service.
inline constexpr std::string_view label = "dev.zuq.agent";

/// ~/Library/LaunchAgents/<label>.plist.
std::filesystem::path plistURL();

/// Writes the property list for `executable` (resolved to an absolute path without symbolic
/// links; "ZUQ CLI executable not found" when that is not an executable file), unloads any
/// loaded agent and loads the new one, waiting up to 15 seconds while the service manager
/// still finishes unloading the old one. Refuses an unenrolled Mac. The property list stays in
/// place when loading fails. `options` follow "agent run" in the agent's arguments.
void install(const std::string& executable, const std::vector<std::string>& options = {});

/// Unloads the agent (ignoring whether it was loaded) and deletes its property list if any.
void uninstall();

/// The status file's members with "running": true only when its "pid" is positive, its
/// "updated" time is less than 45 seconds old and that process exists. {"running": false} when
/// there is no readable status file. Never throws.
JSON status();

} // namespace AgentService
