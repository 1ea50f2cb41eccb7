// Where the platform's tools are found. Code names every tool by its macOS path; a machine
// without those tools (a Linux test host, a demo) points ZUQ_TOOLS_DIR at a directory that
// holds stand-ins under the same names.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace Platform {

/// The file to run for the tool at `executable`. When ZUQ_TOOLS_DIR is set and not empty, the
/// tool's last path component inside that directory (made absolute against the current
/// directory); otherwise `executable` unchanged. Read afresh on every call.
std::filesystem::path toolPath(std::string_view executable);

/// The name under which a tool appears in logs and messages: the last component of the path
/// the code gave, whatever file the mapping runs instead.
std::string toolName(std::string_view executable);

} // namespace Platform
