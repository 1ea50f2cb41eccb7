// Child processes started with posix_spawn and owned like any other OS resource.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Platform {

/// What to start. The executable is run as given: no PATH search, and a relative path is taken
/// from the parent's working directory, not from `workingDirectory`.
struct SpawnRequest {
    std::filesystem::path executable;
    /// argv[1...]; argv[0] is the executable's path.
    std::vector<std::string> arguments;
    /// The complete environment, as "NAME=value" entries.
    std::vector<std::string> environment;
    /// The child's working directory; absent keeps the parent's.
    std::optional<std::filesystem::path> workingDirectory;
    /// Descriptors that become the child's standard output and standard error; -1 keeps the
    /// parent's. Standard input is always /dev/null.
    int output = -1;
    int error = -1;
    /// Starts the child as the leader of a new process group, so that a signal reaches
    /// whatever it starts in turn (compilers under a build tool) and a terminal's Ctrl-C does not.
    bool ownProcessGroup = false;
};

/// One started child process, owned from the spawn until it is reaped. Move-only.
///
/// The child receives only descriptors 0, 1 and 2, default signal dispositions and an empty
/// signal mask. Waiting is split in two so that the process id can never be reused while
/// someone may still signal it: `waitForExit` returns once the child has ended but leaves it
/// unreaped (a zombie keeps its pid), and `reap` then collects it. `signal` and `reap` may be
/// called from different threads at once; a signal is only ever sent to an unreaped child, so
/// it can never reach an unrelated process that inherited a recycled pid.
///
/// A child started with `ownProcessGroup` is signalled as a group: the group id is the
/// leader's pid, which cannot be reused while the leader is unreaped, so the same rule keeps
/// group signals from reaching a recycled group. Members left after the leader is reaped are
/// no longer reachable through this value.
///
/// Destroying a child that has not been reaped kills it (its group, when it leads one) with
/// SIGKILL and reaps it, so no zombie and no runaway tool outlives its owner.
class ChildProcess {
public:
    /// Starts the child. Throws std::system_error "Cannot run <executable>: <reason>" when it
    /// cannot be started, including when the file does not exist or is not executable, and
    /// "Cannot run <executable> in <directory>: <reason>" when the working directory is missing.
    static ChildProcess spawn(const SpawnRequest& request);

    ChildProcess(ChildProcess&&) noexcept;
    ChildProcess& operator=(ChildProcess&&) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const;

    /// Blocks until the child has ended, without reaping it. Retries on EINTR.
    void waitForExit();

    /// Waits for the child if needed, collects it and returns its termination status: the exit
    /// code, or the number of the signal that ended it. Later calls return the same value.
    std::int32_t reap();

    /// Sends `number` to the child, or to its whole process group when it leads one, unless it
    /// has been reaped; returns whether it was sent. Safe to call from any thread while another
    /// waits or reaps.
    bool signal(int number) noexcept;

private:
    struct State;
    explicit ChildProcess(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

/// Text that tells this start of process `pid` apart from any other process that has had or
/// will have the same id: its start time (with the boot it belongs to, on Linux). Nothing when
/// no such process exists or it cannot be told.
std::optional<std::string> processStartTime(pid_t pid);

/// Whether `pid` is alive and leads its own process group.
bool leadsProcessGroup(pid_t pid);

} // namespace Platform
