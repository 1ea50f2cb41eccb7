// The per-user login agents of the simulated Mac, as launchd keeps them: each loaded agent is
// a record in the world's agents/ directory (what its property list asked for, the launching
// session's environment, and who is running it) and a supervisor process that starts the
// agent's program, restarts it as KeepAlive and ThrottleInterval say, and stops it on bootout.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <nlohmann/json.hpp>

namespace AppleSim::Agents {

struct Agent {
    std::string label;
    std::string plist;
    std::string executable;           // Program, else the first of ProgramArguments
    std::vector<std::string> program; // the argument vector: ProgramArguments, else Program
    std::string workingDirectory;
    std::string standardOut;
    std::string standardError;
    std::map<std::string, std::string> environment; // the session's, with the plist's over it
    std::string keepAlive = "none"; // none, always, unsuccessful (SuccessfulExit false), successful
    double throttle = 10;
    double exitTimeout = 5;
    bool runAtLoad = false;
    // Kept up to date by the supervisor.
    pid_t supervisor = 0;
    std::uint64_t supervisorStarted = 0;
    pid_t pid = 0;
    std::uint64_t started = 0;
    int runs = 0;
    std::optional<int> lastExitStatus;
    // Set by bootout: the label stays loaded until its program has ended and this real time
    // has passed, as launchd finishes a bootout after launchctl has returned.
    bool bootingOut = false;
    double bootedOutAt = 0;
};

/// The loaded agent with `label`, if any.
std::optional<Agent> find(const std::string& label);
/// Every loaded agent, by label.
std::vector<Agent> all();
/// Writes `agent`'s record (under the world lock).
void save(const Agent& agent);
/// Changes the record of `label` under the world lock; nothing when it is gone. Returns
/// whether the record still existed.
bool update(const std::string& label, const std::function<void(Agent&)>& change);
void remove(const std::string& label);

/// An agent from a launchd property list. Throws std::runtime_error naming what is wrong.
Agent fromPropertyList(const nlohmann::json& plist, const std::string& path,
                       const std::map<std::string, std::string>& session);

/// Starts the supervisor of a saved agent and waits until it has taken charge.
void start(const std::string& label);

/// Stops a loaded agent (SIGTERM to its program, SIGKILL to its process group after the exit
/// time-out), ends its supervisor and forgets the record, all before it returns. Returns the
/// program's pid, or 0.
pid_t stop(const std::string& label);

/// Starts to boot out a loaded agent as launchd does, without waiting for the end: its
/// supervisor stops the program and forgets the record once the program has ended and
/// `linger` seconds have passed. Returns whether the program ended within `wait` seconds.
bool bootOut(const std::string& label, double linger, double wait);

/// Whether a record left by a bootout is still finishing (its supervisor alive); a record
/// whose supervisor is gone is stale and is removed.
bool stillBootingOut(const Agent& agent);

/// The supervisor's main loop (run as `apple-sim-launchd LABEL`).
int supervise(const std::string& label);

nlohmann::json toJSON(const Agent& agent);

} // namespace AppleSim::Agents
