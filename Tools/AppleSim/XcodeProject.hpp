// An Xcode project as read from its project.pbxproj: the project's and each target's build
// configurations, the targets with their products, dependencies, embedded products, source
// files and resources. Paths are resolved the way Xcode resolves them (groups, source trees,
// file-system-synchronized folders), against the project's directory.
#pragma once

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace AppleSim {

struct Configuration {
    std::string name;
    std::map<std::string, std::string> settings; // list values joined with spaces
    std::filesystem::path baseConfiguration;     // an .xcconfig file, or empty
};

/// A product copied into another target's product by a Copy Files phase.
struct Embed {
    std::string targetID;
    std::string destination; // "PlugIns", "Watch", "Frameworks", or a path inside the bundle
};

/// A resource file and where it goes inside the product ("Base.lproj/Main.storyboard").
struct Resource {
    std::filesystem::path source;
    std::string destination;
};

struct Target {
    std::string id;
    std::string name;
    std::string productName;
    std::string productType; // com.apple.product-type.application, ...
    std::string productFile; // the product's file name as the project records it, "App.app"
    std::vector<Configuration> configurations;
    std::string defaultConfiguration;
    std::vector<std::string> dependencies; // target ids
    std::vector<Embed> embeds;
    std::vector<std::filesystem::path> sources;
    std::vector<Resource> resources;

    bool isApplication() const;
    bool isExtension() const;
    const Configuration* configuration(const std::string& name) const;
};

struct Project {
    std::filesystem::path path; // the .xcodeproj
    std::string name;
    int objectVersion = 0;
    std::vector<Configuration> configurations;
    std::string defaultConfiguration;
    std::vector<Target> targets; // in the project's order

    std::filesystem::path directory() const; // where relative paths start (SRCROOT)
    const Target* targetByID(const std::string& id) const;
    const Target* targetByName(const std::string& name) const;
    const Configuration* configuration(const std::string& name) const;
};

/// Why a project could not be read, in the words Xcode uses after "Reason: ".
class ProjectError : public std::runtime_error {
public:
    enum class Kind { missing, damaged };
    ProjectError(Kind kind, const std::string& reason, const std::string& detail = "")
        : std::runtime_error(reason), kind_(kind), detail_(detail) {}
    Kind kind() const { return kind_; }
    /// The parser's own account, shown by Xcode as "Exception: …"; may be empty.
    const std::string& detail() const { return detail_; }

private:
    Kind kind_;
    std::string detail_;
};

/// Reads the project at `path` (a .xcodeproj directory). Throws ProjectError.
Project loadProject(const std::filesystem::path& path);

} // namespace AppleSim
