// Thousands of simulated agents on one thread: each keeps its own connection to the relay and
// every interval sends a heartbeat and then a claim, as the zuq agent does.
#pragma once

#include "BenchmarkClient.hpp"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace RelayBenchmark {

/// One answered request.
struct Sample {
    double at;           // seconds since the load started, when the answer was complete
    double milliseconds; // from sending the request to the end of the answer
    bool heartbeat;      // else a claim
    bool ok;             // status 200
};

struct LoadSettings {
    std::string host = "127.0.0.1";
    int port = 0;
    /// Another relay on the same database: every second agent talks to it.
    int alsoPort = 0;
    double interval = 5;
    double seconds = 60;
};

/// Runs the agents until `seconds` have passed, or longer while `keepGoing` is set.
class AgentLoad {
public:
    AgentLoad(LoadSettings settings, const std::vector<Device>& agents);
    AgentLoad(const AgentLoad&) = delete;
    AgentLoad& operator=(const AgentLoad&) = delete;
    ~AgentLoad();
    void run(const std::atomic<bool>& keepGoing);

    const std::vector<Sample>& samples() const { return samples_; }
    std::uint64_t connectionErrors() const { return connectionErrors_; }
    std::uint64_t lateStarts() const { return lateStarts_; }
    double elapsed() const { return elapsed_; }

private:
    struct Agent;
    void fire(Agent& agent, double now);
    void send(Agent& agent, bool heartbeat, double now);
    void flush(Agent& agent);
    void readable(Agent& agent, double now);
    void drop(Agent& agent);
    void watch(Agent& agent, bool writing);

    LoadSettings settings_;
    std::vector<Agent> agents_;
    int events_ = -1;
    std::vector<Sample> samples_;
    std::uint64_t connectionErrors_ = 0;
    std::uint64_t lateStarts_ = 0;
    double elapsed_ = 0;
};

} // namespace RelayBenchmark
