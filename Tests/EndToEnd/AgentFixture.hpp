// A group of simulated Macs with real agents: a relay on loopback, a builder Mac "a" with the
// sample project registered and a receiver Mac "b" with a simulated iPhone attached, each a
// HOME with its own state directory, keychain and simulated tools' world.
#pragma once

#include "JSON.hpp"
#include "RelayProcess.hpp"
#include "Storage.hpp"
#include "Support.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace TestSupport {

/// `zuq agent run` as a background process, its output in two files.
class AgentProcess {
public:
    AgentProcess(const std::filesystem::path& logs, std::map<std::string, std::string> environment);
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;
    /// Kills the agent if it still runs.
    ~AgentProcess();

    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;
    void signal(int number) const;
    /// Waits up to `limit` for the agent to end; its exit status (128 + signal), or nothing.
    std::optional<int> waitForExit(std::chrono::seconds limit);

private:
    std::filesystem::path out_;
    std::filesystem::path err_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class AgentTest : public TemporaryDirectoryTest {
protected:
    /// A relay, Macs "a" (builder, sample project registered) and "b" (receiver, phone
    /// `udid` attached there and registered with a's team), enrolled in one group.
    void SetUp() override;
    void TearDown() override;

    std::map<std::string, std::string> environment(const std::string& mac) const;
    std::filesystem::path state(const std::string& mac) const;
    Output zuq(const std::string& mac, const std::vector<std::string>& arguments);
    /// The JSON result of a command that must succeed.
    JSON ok(const std::string& mac, const std::vector<std::string>& arguments);
    /// The JSON result of an apple-sim command that must succeed.
    JSON appleSim(const std::string& mac, const std::vector<std::string>& arguments);
    Credentials credentials(const std::string& mac);

    /// Starts `zuq agent run` for `mac`.
    AgentProcess& startAgent(const std::string& mac);
    /// Submits a job of the sample app from a to b's phone; returns its id.
    std::string submit(const std::vector<std::string>& extra = {});
    /// The job's record as the relay reports it now.
    JSON job(const std::string& id);
    /// Waits until the job's state is `state`; fails the test with the record otherwise.
    void waitForState(const std::string& id, const std::string& state, std::chrono::seconds limit);
    /// What every agent started so far printed, for failure messages.
    std::string agentLogs() const;
    /// The texts of the job's events, in order.
    std::vector<std::string> events(const std::string& id);
    /// Waits until the job has an event that begins with `prefix`.
    bool waitForEvent(const std::string& id, const std::string& prefix,
                      std::chrono::seconds limit);

    static constexpr const char* udid = "00008130-000A11223344556E";
    std::unique_ptr<RelayProcess> relay;
    std::string projectID;
    std::map<std::string, std::unique_ptr<AgentProcess>> agents;
};

} // namespace TestSupport
