// xcodebuild, run directly or as `xcrun xcodebuild`: -version, -list, archive and
// -exportArchive.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace AppleSim {

/// xcodebuild's command line, parsed.
struct XcodebuildCommand {
    std::vector<std::string> arguments; // as given, for the log
    std::map<std::string, std::string> options; // "-scheme" -> "App"
    std::vector<std::string> flags;             // "-list", "-json", ...
    std::vector<std::string> actions;           // "archive", ...
    std::map<std::string, std::string> settings; // NAME=value overrides, in order of appearance
    std::vector<std::string> settingOrder;

    std::optional<std::string> option(const std::string& name) const;
    bool flag(const std::string& name) const;
};

/// Runs xcodebuild with `arguments` (the words after "xcodebuild"); returns the exit status.
int xcodebuild(const std::vector<std::string>& arguments);

/// The project or workspace a command names: -project, -workspace, or the one project in the
/// working directory. Throws xcodebuild's errors.
struct Container {
    std::filesystem::path path;
    bool workspace = false;
};
Container containerOf(const XcodebuildCommand& command);

struct Project;

/// Reads a project as the selected Xcode would: a missing, damaged or too new project fails
/// with xcodebuild's words and exit status.
Project openProject(const std::filesystem::path& path, const std::string& xcodeVersion);

int listContainer(const XcodebuildCommand& command);
int archive(const XcodebuildCommand& command);
int exportArchive(const XcodebuildCommand& command);

} // namespace AppleSim
