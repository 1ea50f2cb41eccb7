#include "Platform/ToolPaths.hpp"

#include <cstdlib>

namespace Platform {

namespace fs = std::filesystem;

std::filesystem::path toolPath(std::string_view executable) {
    const char* directory = std::getenv("ZUQ_TOOLS_DIR");
    std::string name = toolName(executable);
    if (!directory || !*directory || name.empty()) {
        return fs::path(executable);
    }
    return fs::absolute(fs::path(directory) / name);
}

std::string toolName(std::string_view executable) {
    fs::path path(executable);
    // "/usr/bin/tool/" names the same tool as "/usr/bin/tool".
    if (!path.has_filename() && path.has_parent_path() && path != path.root_path()) {
        path = path.parent_path();
    }
    return path.filename().string();
}

} // namespace Platform
