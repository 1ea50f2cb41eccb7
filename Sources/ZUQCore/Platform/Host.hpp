// Facts about the user and the machine that the platform supplies.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace Platform {

/// $HOME when set and not empty, else the home directory of the user's account entry.
std::filesystem::path homeDirectory();

/// `path` with a leading "~" (this user) or "~name" (that user) replaced by the home directory,
/// as a shell would; any other path, or an unknown user, is returned unchanged.
std::string expandingTilde(const std::string& path);

/// Where per-user application data lives: ~/Library/Application Support on macOS,
/// ${XDG_DATA_HOME:-$HOME/.local/share} elsewhere.
std::filesystem::path userDataDirectory();

/// The name the user gave this computer (on macOS the localised computer name, elsewhere the
/// host name), or nothing when the system reports none.
std::optional<std::string> computerName();

/// The path the program was started by (the first command-line argument), as recorded by the
/// entry point; empty when it was never recorded.
std::string programPath();
void setProgramPath(std::string path);

} // namespace Platform
