// Processes the simulator starts and leaves running (a hung build and its compiler helpers,
// caffeinate, login-agent supervisors) are recorded in the world's processes/ directory, so
// that `apple-sim status` can show them and `apple-sim stop-all` can end them. A record names
// the process by its pid and its start time, so a reused pid is never mistaken for it.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace AppleSim::Processes {

struct Record {
    pid_t pid = 0;
    std::uint64_t started = 0; // clock ticks after boot, from /proc/<pid>/stat
    std::string role;          // "xcodebuild", "swift-frontend", "caffeinate", ...
};

/// When `pid` started (clock ticks after boot); 0 when it is gone or a zombie.
std::uint64_t startTime(pid_t pid);

/// Whether the process recorded is still the one running under its pid.
bool alive(const Record& record);

/// Records the calling process under `role`; the record is removed by `forget` or found stale later.
void remember(const std::string& role);
void forget(pid_t pid);

/// The records of processes still running; stale records are removed.
std::vector<Record> running();

/// Sends `signal` to the recorded process if it is still the one recorded.
bool signal(const Record& record, int signal);

} // namespace AppleSim::Processes
