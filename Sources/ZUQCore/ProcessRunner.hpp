// Running the platform's tools, and the lock that keeps one agent per state directory.
#pragma once

#include "JSON.hpp"
#include "Platform/File.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

/// How a finished tool ended and the end of what it printed.
struct ProcessResult {
    std::string output;  // the last 8 MiB of standard output, invalid UTF-8 repaired
    std::string error;   // the last 8 MiB of standard error, invalid UTF-8 repaired
    std::int32_t status; // the exit code, or the number of the signal that ended the tool
};

/// Runs external tools and lets another thread cancel the tool of a job. The only state is a
/// process-wide registry of running tools, by job identifier too, guarded by one mutex that is
/// never held while a tool starts, runs or is waited for. All functions are thread-safe.
///
/// Each tool leads a process group of its own, and every signal zuq sends it goes to that
/// group, so what the tool started (the compilers and linkers of a build) stops with it. Group
/// signals are sent only while the tool is unreaped, when its group id cannot have been reused.
namespace ProcessRunner {

/// Whether a non-zero status is an error or part of the result.
enum class Failure {
    raised,  // a non-zero status throws ZUQError
    allowed, // a non-zero status is returned in ProcessResult::status
};

/// Size of the tail of each stream kept in ProcessResult.
inline constexpr std::uint64_t resultLimit = 8 * 1024 * 1024;
/// Characters of a failed tool's output quoted in its error message.
inline constexpr std::size_t messageCharacters = 1600;
/// Seconds between the first SIGTERM of a time-out, a cancellation or a stop request and the
/// SIGKILL that follows if the tool lives on.
inline constexpr double killDelay = 5;

/// Runs the tool at `executable` (a macOS absolute path, mapped by Platform::toolPath; no PATH
/// search, no shell) with `arguments`, in `cwd` or the current directory, with this process's
/// environment minus DYLD_INSERT_LIBRARIES (and LD_PRELOAD off macOS) and with
/// NSUnbufferedIO=YES. Standard input is /dev/null; standard output and standard error go to
/// two private files in the temporary directory, removed in every outcome.
///
/// The tool's group gets SIGTERM after `timeout` seconds (a NaN or unrepresentably large
/// time-out means none). While it runs it is registered under `job`, when given, for `cancel`;
/// a stop requested on `stop` sends SIGTERM the same way, and a stop requested before the call
/// throws CancellationError having started and created nothing. SIGKILL goes to the group
/// `killDelay` seconds after the first SIGTERM if the tool is still running; once a tool that
/// was told to stop has ended, whatever remains of its group is killed at once.
///
/// After the tool ends, `log` (created 0600 when missing) gets "\n$ <tool> <arguments>\n",
/// then all of standard output, then all of standard error. A non-zero status with
/// Failure::raised throws ZUQError "<tool> failed (<status>): <last 1,600 characters of
/// standard error, or of standard output when that is empty>", plus "\nFull log: <log>" with a
/// log. A tool that cannot be started, and file errors, throw std::system_error.
ProcessResult run(const std::string& executable, const std::vector<std::string>& arguments,
                  const std::optional<std::filesystem::path>& cwd,
                  const std::optional<std::filesystem::path>& log, double timeout,
                  const std::optional<std::string>& job, Failure failure,
                  std::stop_token stop = {});

/// Sends SIGTERM to the group of the tool running under `job`, if there is one, and SIGKILL
/// `killDelay` seconds later if it is still running; never waits or throws.
void cancel(const std::string& job) noexcept;

/// Makes a SIGINT or SIGTERM sent to this process reach its running tools, whose groups a
/// terminal's Ctrl-C does not reach: the signal is passed on to every running tool (SIGKILL
/// follows `killDelay` seconds later as for a cancellation), no further tool is started (`run`
/// throws CancellationError), and once the tools have ended the process ends by that signal.
/// Blocks both signals in the calling thread, which every later thread inherits, so call it
/// first thing in `main`, before any thread starts. Later calls do nothing.
void forwardTerminationSignals();

/// While alive, a SIGINT or SIGTERM passed on by `forwardTerminationSignals` calls `handler`
/// (on the signal thread, once per signal) instead of stopping the tools and ending the
/// process: a long-running command ends its own way. Destruction waits for a call under way.
class TerminationHandler {
public:
    explicit TerminationHandler(std::function<void()> handler);
    TerminationHandler(const TerminationHandler&) = delete;
    TerminationHandler& operator=(const TerminationHandler&) = delete;
    ~TerminationHandler();
};

/// While alive, every tool this process starts is recorded in `directory` until it ends: one
/// file per tool, named after its process id and holding its start time and capture files. A process killed
/// outright (SIGKILL) cannot stop its tools, which lead groups of their own and live on; its
/// successor finds them there. Construction first ends, with SIGKILL to the whole group, each
/// recorded tool that still runs: only when its process is alive, still leads its group and
/// started exactly when the record says, so a reused process id is never signalled. The capture
/// files of every recorded run are removed, and the records with them. One value at a time
/// per process. A tool is recorded just after it starts, so a process killed in that moment
/// leaves it unrecorded; recording failures are ignored the same way (it runs unrecorded).
class ToolRecords {
public:
    explicit ToolRecords(std::filesystem::path directory);
    ToolRecords(const ToolRecords&) = delete;
    ToolRecords& operator=(const ToolRecords&) = delete;
    ~ToolRecords();

    /// "<tool> (process group <id>)" for each group ended at construction.
    const std::vector<std::string>& ended() const { return ended_; }

private:
    std::vector<std::string> ended_;
};

} // namespace ProcessRunner

/// Proof that this process is the one agent of the state directory: an exclusive, non-blocking
/// flock on "agent.lock" there, held for the life of the value and dropped by the system if the
/// process dies. Move-only; not shared between threads.
class AgentLock {
public:
    /// Creates the state directory if needed (its errors pass through) and takes the lock.
    /// Throws ZUQError "Cannot open ZUQ worker lock" when the file cannot be opened or created
    /// (0600), and "The ZUQ agent is already running on this Mac." at once when another holder
    /// has it. A failed construction leaves no descriptor open.
    AgentLock();
    AgentLock(AgentLock&&) noexcept = default;
    AgentLock& operator=(AgentLock&&) noexcept = default;
    ~AgentLock();

private:
    Platform::FileDescriptor descriptor_;
};
