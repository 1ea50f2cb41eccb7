#include "Workspace.hpp"

#include "Files.hpp"
#include "XMLReader.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <unistd.h>

namespace AppleSim {

namespace fs = std::filesystem;

namespace {

std::string userName() {
    if (const char* user = std::getenv("USER"); user && *user) {
        return user;
    }
    return "";
}

void addSchemes(const fs::path& directory, const fs::path& container,
                std::vector<SchemeFile>& schemes) {
    std::error_code error;
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
        if (entry.path().extension() == ".xcscheme") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::string name = file.stem().string();
        bool known = std::any_of(schemes.begin(), schemes.end(),
                                 [&](const SchemeFile& scheme) { return scheme.name == name; });
        if (!known) {
            schemes.push_back({name, file, container});
        }
    }
}

// Locations in a workspace are "kind:path"; group locations nest.
fs::path resolve(const std::string& location, const fs::path& groupBase, const fs::path& workspace) {
    std::size_t colon = location.find(':');
    std::string kind = colon == std::string::npos ? "group" : location.substr(0, colon);
    std::string path = colon == std::string::npos ? location : location.substr(colon + 1);
    if (kind == "group") {
        return (groupBase / path).lexically_normal();
    }
    if (kind == "container") {
        return (workspace.parent_path() / path).lexically_normal();
    }
    if (kind == "absolute") {
        return fs::path(path).lexically_normal();
    }
    if (kind == "self") {
        // A project's own embedded workspace names the project that holds it.
        return workspace.parent_path().extension() == ".xcodeproj" ? workspace.parent_path()
                                                                    : fs::path();
    }
    return {};
}

void collect(const XMLElement& element, const fs::path& groupBase, const fs::path& workspace,
             std::vector<fs::path>& projects) {
    for (const XMLElement& child : element.children) {
        std::string location = child.attribute("location").value_or("");
        if (child.name == "FileRef") {
            fs::path path = resolve(location, groupBase, workspace);
            if (path.extension() == ".xcodeproj" &&
                std::find(projects.begin(), projects.end(), path) == projects.end()) {
                projects.push_back(path);
            }
        } else if (child.name == "Group") {
            fs::path base = location.empty() ? groupBase : resolve(location, groupBase, workspace);
            collect(child, base.empty() ? groupBase : base, workspace, projects);
        }
    }
}

bool yes(const XMLElement& element, const char* key) {
    return element.attribute(key).value_or("NO") == "YES";
}

} // namespace

std::vector<SchemeFile> schemesIn(const fs::path& container) {
    std::vector<SchemeFile> schemes;
    addSchemes(container / "xcshareddata" / "xcschemes", container, schemes);
    std::string user = userName();
    if (!user.empty()) {
        addSchemes(container / "xcuserdata" / (user + ".xcuserdatad") / "xcschemes", container,
                   schemes);
    }
    return schemes;
}

Workspace loadWorkspace(const fs::path& path) {
    Workspace workspace{path, path.stem().string(), {}};
    fs::path contents = path / "contents.xcworkspacedata";
    std::error_code error;
    if (!fs::exists(contents, error)) {
        return workspace;
    }
    XMLElement root;
    try {
        root = parseXML(readFile(contents));
    } catch (const XMLSyntaxError& failure) {
        throw WorkspaceError(failure.what());
    } catch (const std::system_error& failure) {
        throw WorkspaceError(failure.what());
    }
    if (root.name != "Workspace") {
        throw WorkspaceError("the root element is <" + root.name + ">, not <Workspace>");
    }
    collect(root, path.parent_path(), path, workspace.projects);
    return workspace;
}

Scheme loadScheme(const SchemeFile& file) {
    XMLElement root;
    try {
        root = parseXML(readFile(file.path));
    } catch (const XMLSyntaxError& failure) {
        throw WorkspaceError("The scheme " + file.name + " is damaged: " + failure.what());
    } catch (const std::system_error& failure) {
        throw WorkspaceError(failure.what());
    }
    Scheme scheme;
    scheme.name = file.name;
    if (const XMLElement* archive = root.child("ArchiveAction")) {
        scheme.archiveConfiguration = archive->attribute("buildConfiguration").value_or("");
    }
    // Container references are relative to the folder holding the scheme's container.
    fs::path base = file.container.parent_path();
    const XMLElement* build = root.child("BuildAction");
    const XMLElement* entries = build ? build->child("BuildActionEntries") : nullptr;
    if (!entries) {
        return scheme;
    }
    for (const XMLElement& entry : entries->children) {
        const XMLElement* reference = entry.child("BuildableReference");
        if (entry.name != "BuildActionEntry" || !reference || !yes(entry, "buildForArchiving")) {
            continue;
        }
        std::string container = reference->attribute("ReferencedContainer").value_or("");
        std::string kind = container.substr(0, container.find(':'));
        std::string relative = container.substr(container.find(':') + 1);
        fs::path project = kind == "absolute" ? fs::path(relative) : base / relative;
        scheme.archiveEntries.push_back({reference->attribute("BlueprintIdentifier").value_or(""),
                                         reference->attribute("BlueprintName").value_or(""),
                                         reference->attribute("BuildableName").value_or(""),
                                         project.lexically_normal()});
    }
    return scheme;
}

} // namespace AppleSim
