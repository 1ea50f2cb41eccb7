// The pipeline benchmark's run: two simulated Macs on one relay, a whole build and install per
// round, then each stage alone beside the standard tools' pass over the same bytes.
#pragma once

#include "Measure.hpp"

#include "API.hpp"
#include "Storage.hpp"

#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class Comparison {
public:
    /// `relay` is the origin of a running zuq-relay, `bootstrap` its bootstrap file, `work` an
    /// empty directory on a disk.
    Comparison(std::string relay, std::filesystem::path bootstrap, std::filesystem::path work);

    /// Enrols a builder and a receiver, sets up their simulated worlds and registers the
    /// sample project on the builder.
    void setUp();

    /// One round at `size` of payload; `standardFirst` alternates which pass of a pair runs
    /// first.
    void round(const std::string& size, bool standardFirst);

    /// Prints the medians, the ratios and whether each goal is met; returns whether all are.
    bool report(const std::vector<std::string>& sizes) const;

private:
    struct Mac {
        std::string name;
        std::filesystem::path home, state, credentialsFile;
        Credentials credentials;
        std::optional<API> api;
        std::vector<std::string> environment;
        std::vector<API::HeldLease> leases; // guarded by leasesMutex_
    };
    using Intervals = std::vector<std::pair<double, double>>;
    using Figures = Measure::Figures;

    Mac enrol(const std::string& name, const JSON& answer, const std::string& key,
              const std::filesystem::path& tools);
    void simulate(const Mac& on, std::vector<std::string> arguments) const;
    std::string submit();
    API::Claim claim(Mac& on);
    JSON pipeline(Mac& on, const std::string& side, Intervals& tools);
    void alone(const std::string& size, const std::filesystem::path& ipa, bool standardFirst);
    /// Runs the zuq stage and the standard commands (their figures summed) in the order asked.
    void pair(const std::string& size, const std::string& stage,
              const std::vector<std::string>& zuq,
              const std::vector<std::vector<std::string>>& standard, bool standardFirst);
    std::filesystem::path toolLog() const { return work_ / "tools.log"; }
    /// Keeps the lease alive, as an agent's heartbeats do, while builds and transfers run.
    void hold(Mac& on, const API::Claim& claimed);
    void heartbeats(std::stop_token stop);

    std::string relay_;
    std::filesystem::path bootstrap_, work_, self_, bin_;
    Mac builder_, receiver_;
    std::mutex leasesMutex_;
    // Figures by size, then by row, in the order of the runs.
    std::map<std::string, std::map<std::string, std::vector<Figures>>> results_;
    std::jthread heartbeat_; // last, so that it stops before the rest goes
};
