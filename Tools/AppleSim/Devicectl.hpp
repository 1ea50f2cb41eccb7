// devicectl, Xcode's device tool (run as `xcrun devicectl …`): lists the phones attached to
// the simulated Mac, installs apps on them as a phone would, and launches them.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace AppleSim {

struct Phone;

/// The version devicectl reports, in --version and in every JSON document.
inline constexpr const char* devicectlVersion = "397.24";

/// Runs devicectl with `arguments` (the words after "devicectl"); returns the exit status.
int devicectl(const std::vector<std::string>& arguments);

/// The phone's entry in `devicectl list devices` JSON, in the phone's form (flat or nested).
nlohmann::json deviceEntry(const Phone& phone);

/// `device install app` and `device process launch`; the words after "device". With
/// --json-output they write devicectl's document: the result, or the error that ended them.
int devicectlDevice(const std::vector<std::string>& arguments);

} // namespace AppleSim
