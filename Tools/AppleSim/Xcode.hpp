// Facts about the selected Xcode: its build number, the newest project format it reads, and
// how the tools fail when no Xcode is selected.
#pragma once

#include <string>

namespace AppleSim {

struct WorldState;

namespace Xcode {

inline constexpr const char* developerDirectory = "/Applications/Xcode.app/Contents/Developer";

/// Whether `version` is a version text the simulator accepts ("16", "16.4", "15.0.1").
bool validVersion(const std::string& version);

/// Xcode's build number for a version ("16.4" -> "16F6"); made up for versions not in the table.
std::string buildNumber(const std::string& version);

/// The newest project objectVersion this Xcode opens.
int newestObjectVersion(const std::string& version);

/// The iOS SDK this Xcode builds with ("16.4" -> "18.5").
std::string sdkVersion(const std::string& version);

/// Info.plist's DTXcode for this Xcode ("16.4" -> "1640").
std::string dtXcode(const std::string& version);

/// Whether `version` is `major.minor` or later.
bool atLeast(const std::string& version, int major, int minor = 0);

/// The selected Xcode's version. Throws xcode-select's error (exit 1) when none is selected,
/// naming `tool` as the tool that needed it.
std::string require(const WorldState& world, const std::string& tool);

} // namespace Xcode

} // namespace AppleSim
