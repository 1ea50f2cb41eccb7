// Running a program as a child and taking its wall time and its own resource use.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace Measure {

struct Figures {
    double wall = 0;   // seconds
    double user = 0;   // seconds of user CPU
    double system = 0; // seconds of system CPU
    double peak = 0;   // peak resident memory, MiB
    std::string out;   // standard output
};

/// This process's environment with `overrides` set, as "NAME=value" entries.
std::vector<std::string> environment(const std::map<std::string, std::string>& overrides);

/// Runs `arguments` (the program is looked up on PATH) with `environment`, standard input from
/// /dev/null, and waits for it. Its resources come from wait4. Throws with its standard error
/// when it fails.
Figures run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment);

/// The median of the runs' `field`.
double median(const std::vector<Figures>& runs, double Figures::*field);

} // namespace Measure
