// What surrounds a project: its schemes (shared ones in xcshareddata/xcschemes, this user's in
// xcuserdata/<user>.xcuserdatad/xcschemes) and the workspaces that group projects
// (contents.xcworkspacedata).
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace AppleSim {

/// A scheme file and the container (project or workspace) that holds it.
struct SchemeFile {
    std::string name;
    std::filesystem::path path;
    std::filesystem::path container;
};

/// The schemes stored in a .xcodeproj or .xcworkspace, shared first, each name once.
std::vector<SchemeFile> schemesIn(const std::filesystem::path& container);

struct Workspace {
    std::filesystem::path path;
    std::string name;
    std::vector<std::filesystem::path> projects; // member .xcodeproj paths, in file order
};

class WorkspaceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Reads a .xcworkspace. A workspace without contents.xcworkspacedata has no members.
/// Throws WorkspaceError for a file that is not a workspace document.
Workspace loadWorkspace(const std::filesystem::path& path);

/// A reference from a scheme to a target ("BuildableReference").
struct BuildableReference {
    std::string blueprintID;
    std::string blueprintName;
    std::string buildableName;
    std::filesystem::path project; // the .xcodeproj the target lives in
};

struct Scheme {
    std::string name;
    std::vector<BuildableReference> archiveEntries; // what an archive builds, in order
    std::string archiveConfiguration;                // ArchiveAction's configuration
};

/// Reads a scheme file. Throws WorkspaceError for malformed XML.
Scheme loadScheme(const SchemeFile& file);

} // namespace AppleSim
