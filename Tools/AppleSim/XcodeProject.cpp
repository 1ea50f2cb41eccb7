#include "XcodeProject.hpp"

#include "Files.hpp"
#include "OldStylePlist.hpp"

#include <algorithm>
#include <set>

#include <nlohmann/json.hpp>

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

bool Target::isApplication() const {
    return productType == "com.apple.product-type.application" ||
           productType == "com.apple.product-type.application.watchapp2-container";
}

bool Target::isExtension() const {
    return productType.rfind("com.apple.product-type.app-extension", 0) == 0 ||
           productType == "com.apple.product-type.extensionkit-extension";
}

const Configuration* Target::configuration(const std::string& wanted) const {
    for (const Configuration& candidate : configurations) {
        if (candidate.name == wanted) {
            return &candidate;
        }
    }
    return nullptr;
}

fs::path Project::directory() const {
    return path.parent_path();
}

const Target* Project::targetByID(const std::string& id) const {
    for (const Target& target : targets) {
        if (target.id == id) {
            return &target;
        }
    }
    return nullptr;
}

const Target* Project::targetByName(const std::string& wanted) const {
    for (const Target& target : targets) {
        if (target.name == wanted) {
            return &target;
        }
    }
    return nullptr;
}

const Configuration* Project::configuration(const std::string& wanted) const {
    for (const Configuration& candidate : configurations) {
        if (candidate.name == wanted) {
            return &candidate;
        }
    }
    return nullptr;
}

namespace {

const std::set<std::string> sourceExtensions = {".swift", ".m", ".mm", ".c", ".cc",
                                                ".cpp", ".cxx", ".metal"};
// Files that shape the build without being copied into the product.
const std::set<std::string> buildOnlyExtensions = {".h", ".hpp", ".entitlements", ".xcconfig",
                                                   ".pch", ".modulemap", ".md"};
// Directories that are one resource each.
const std::set<std::string> bundleDirectories = {".xcassets", ".bundle", ".scnassets",
                                                 ".xcstrings", ".storyboardc", ".xcdatamodeld"};

class Reader {
public:
    Reader(const fs::path& path, json objects) : path_(path), objects_(std::move(objects)) {}

    const json& object(const std::string& id) const {
        static const json none = json::object();
        auto found = objects_.find(id);
        return found != objects_.end() && found->is_object() ? *found : none;
    }

    static std::string text(const json& object, const char* key) {
        auto found = object.find(key);
        if (found == object.end()) {
            return "";
        }
        return found->is_string() ? found->get<std::string>() : found->dump();
    }

    static std::vector<std::string> ids(const json& object, const char* key) {
        std::vector<std::string> result;
        auto found = object.find(key);
        if (found != object.end() && found->is_array()) {
            for (const json& element : *found) {
                if (element.is_string()) {
                    result.push_back(element.get<std::string>());
                }
            }
        }
        return result;
    }

    // Every group's children point back at it, so a file's path can be built upwards.
    void indexGroups(const std::string& mainGroup) {
        std::vector<std::string> pending = {mainGroup};
        std::set<std::string> seen;
        while (!pending.empty()) {
            std::string group = pending.back();
            pending.pop_back();
            if (!seen.insert(group).second) {
                continue;
            }
            for (const std::string& child : ids(object(group), "children")) {
                parents_[child] = group;
                pending.push_back(child);
            }
        }
    }

    // Where an element of the project's navigator is on disk; empty when it is not (a
    // product, an SDK framework).
    fs::path location(const std::string& id, int depth = 0) const {
        if (depth > 64) {
            return {};
        }
        const json& element = object(id);
        std::string sourceTree = text(element, "sourceTree");
        std::string path = text(element, "path");
        fs::path base;
        if (sourceTree == "<group>") {
            auto parent = parents_.find(id);
            base = parent == parents_.end() ? projectDirectory() : location(parent->second, depth + 1);
            if (base.empty()) {
                return {};
            }
        } else if (sourceTree == "SOURCE_ROOT") {
            base = projectDirectory();
        } else if (sourceTree == "<absolute>") {
            base = "/";
        } else if (!sourceTree.empty()) {
            return {};
        } else {
            base = projectDirectory();
        }
        return path.empty() ? base : (base / path).lexically_normal();
    }

    fs::path projectDirectory() const {
        return path_.parent_path();
    }

    std::vector<Configuration> configurations(const std::string& listID, std::string& defaultName) {
        const json& list = object(listID);
        defaultName = text(list, "defaultConfigurationName");
        std::vector<Configuration> result;
        for (const std::string& id : ids(list, "buildConfigurations")) {
            const json& entry = object(id);
            Configuration configuration;
            configuration.name = text(entry, "name");
            auto settings = entry.find("buildSettings");
            if (settings != entry.end() && settings->is_object()) {
                for (const auto& [key, value] : settings->items()) {
                    configuration.settings[key] = joined(value);
                }
            }
            std::string base = text(entry, "baseConfigurationReference");
            if (!base.empty()) {
                configuration.baseConfiguration = location(base);
            }
            result.push_back(std::move(configuration));
        }
        return result;
    }

    static std::string joined(const json& value) {
        if (value.is_string()) {
            return value.get<std::string>();
        }
        if (value.is_array()) {
            std::string text;
            for (const json& element : value) {
                text += (text.empty() ? "" : " ") + joined(element);
            }
            return text;
        }
        return value.dump();
    }

    Target target(const std::string& id) {
        const json& entry = object(id);
        Target target;
        target.id = id;
        target.name = text(entry, "name");
        target.productName = text(entry, "productName");
        target.productType = text(entry, "productType");
        std::string product = text(entry, "productReference");
        if (!product.empty()) {
            target.productFile = text(object(product), "path");
        }
        target.configurations =
            configurations(text(entry, "buildConfigurationList"), target.defaultConfiguration);
        for (const std::string& dependency : ids(entry, "dependencies")) {
            const json& link = object(dependency);
            std::string dependent = text(link, "target");
            if (dependent.empty()) {
                dependent = text(object(text(link, "targetProxy")), "remoteGlobalIDString");
            }
            if (!dependent.empty()) {
                target.dependencies.push_back(dependent);
            }
        }
        for (const std::string& phase : ids(entry, "buildPhases")) {
            readPhase(object(phase), target);
        }
        for (const std::string& group : ids(entry, "fileSystemSynchronizedGroups")) {
            readSynchronizedGroup(group, target);
        }
        return target;
    }

    // Build files of a phase name a file reference, a variant group (localized files) or a
    // product of another target.
    void readPhase(const json& phase, Target& target) {
        std::string isa = text(phase, "isa");
        for (const std::string& buildFile : ids(phase, "files")) {
            std::string reference = text(object(buildFile), "fileRef");
            const json& file = object(reference);
            if (isa == "PBXSourcesBuildPhase") {
                fs::path source = location(reference);
                if (!source.empty()) {
                    target.sources.push_back(source);
                }
            } else if (isa == "PBXResourcesBuildPhase") {
                if (text(file, "isa") == "PBXVariantGroup") {
                    for (const std::string& variant : ids(file, "children")) {
                        fs::path source = location(variant);
                        std::string relative = text(object(variant), "path");
                        if (!source.empty()) {
                            target.resources.push_back({source, relative});
                        }
                    }
                } else {
                    fs::path source = location(reference);
                    if (!source.empty()) {
                        target.resources.push_back({source, source.filename().string()});
                    }
                }
            } else if (isa == "PBXCopyFilesBuildPhase") {
                embeddedProducts_.push_back({reference, destination(phase)});
                embedders_.push_back(target.id);
            }
        }
    }

    static std::string destination(const json& phase) {
        std::string subfolder = text(phase, "dstSubfolderSpec");
        std::string path = text(phase, "dstPath");
        if (subfolder == "13") {
            return "PlugIns";
        }
        if (subfolder == "10") {
            return "Frameworks";
        }
        if (path.find("/Watch") != std::string::npos) {
            return "Watch";
        }
        if (path.find("/Extensions") != std::string::npos) {
            return "Extensions";
        }
        return path;
    }

    void readSynchronizedGroup(const std::string& groupID, Target& target) {
        fs::path folder = location(groupID);
        std::error_code error;
        if (folder.empty() || !fs::is_directory(folder, error)) {
            return;
        }
        std::set<std::string> excluded;
        for (const std::string& exceptionSet : ids(object(groupID), "exceptions")) {
            const json& exceptions = object(exceptionSet);
            if (text(exceptions, "target") == target.id || text(exceptions, "target").empty()) {
                for (const std::string& path : ids(exceptions, "membershipExceptions")) {
                    excluded.insert(path);
                }
            }
        }
        addFolder(folder, folder, excluded, target);
    }

    static void addFolder(const fs::path& root, const fs::path& folder,
                          const std::set<std::string>& excluded, Target& target) {
        std::error_code error;
        std::vector<fs::directory_entry> entries;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
            entries.push_back(entry);
        }
        std::sort(entries.begin(), entries.end(),
                  [](const auto& left, const auto& right) { return left.path() < right.path(); });
        for (const fs::directory_entry& entry : entries) {
            fs::path path = entry.path();
            std::string relative = path.lexically_relative(root).generic_string();
            std::string name = path.filename().string();
            std::string extension = path.extension().string();
            if (excluded.count(relative) || name.empty() || name[0] == '.' ||
                name == "Info.plist") {
                continue;
            }
            if (entry.is_directory(error) && !bundleDirectories.count(extension)) {
                if (extension == ".lproj") {
                    for (const fs::directory_entry& localized : fs::directory_iterator(path, error)) {
                        target.resources.push_back(
                            {localized.path(), name + "/" + localized.path().filename().string()});
                    }
                } else {
                    addFolder(root, path, excluded, target);
                }
            } else if (sourceExtensions.count(extension)) {
                target.sources.push_back(path);
            } else if (!buildOnlyExtensions.count(extension)) {
                target.resources.push_back({path, name});
            }
        }
    }

    // Copy Files phases name products by file reference; match them to their targets once all
    // targets are read.
    void linkEmbeds(std::vector<Target>& targets) {
        for (std::size_t index = 0; index < embeddedProducts_.size(); ++index) {
            const auto& [reference, where] = embeddedProducts_[index];
            for (const Target& embedded : targets) {
                if (text(object(embedded.id), "productReference") != reference) {
                    continue;
                }
                for (Target& host : targets) {
                    if (host.id == embedders_[index]) {
                        host.embeds.push_back({embedded.id, where});
                    }
                }
            }
        }
    }

private:
    fs::path path_;
    json objects_;
    std::map<std::string, std::string> parents_;
    std::vector<std::pair<std::string, std::string>> embeddedProducts_;
    std::vector<std::string> embedders_;
};

[[noreturn]] void damaged(const std::string& name, const std::string& detail, bool parseError) {
    throw ProjectError(ProjectError::Kind::damaged,
                       "The project \u2018" + name + "\u2019 is damaged and cannot be opened" +
                           (parseError ? " due to a parse error" : "") +
                           ". Examine the project file for invalid edits or unresolved source "
                           "control conflicts.",
                       detail);
}

} // namespace

Project loadProject(const fs::path& path) {
    Project project;
    project.path = path;
    project.name = path.stem().string();
    std::error_code error;
    if (!fs::exists(path, error)) {
        throw ProjectError(ProjectError::Kind::missing, "does not exist");
    }
    std::string text;
    try {
        text = readFile(path / "project.pbxproj");
    } catch (const std::system_error& failure) {
        damaged(project.name, failure.what(), false);
    }
    json top;
    try {
        top = parseOldStylePlist(text);
    } catch (const PlistSyntaxError& failure) {
        damaged(project.name, failure.what(), true);
    }
    if (!top.is_object() || !top.contains("objects") || !top["objects"].is_object()) {
        damaged(project.name, "the file has no objects dictionary", true);
    }
    std::string version = Reader::text(top, "objectVersion");
    project.objectVersion = std::atoi(version.c_str());
    Reader reader(path, top["objects"]);
    std::string root = Reader::text(top, "rootObject");
    const json& rootObject = reader.object(root);
    if (Reader::text(rootObject, "isa") != "PBXProject") {
        damaged(project.name, "rootObject " + root + " is not a PBXProject", false);
    }
    reader.indexGroups(Reader::text(rootObject, "mainGroup"));
    std::string listID = Reader::text(rootObject, "buildConfigurationList");
    if (Reader::text(reader.object(listID), "isa") != "XCConfigurationList") {
        damaged(project.name, "the project has no build configuration list", false);
    }
    project.configurations = reader.configurations(listID, project.defaultConfiguration);
    for (const std::string& id : Reader::ids(rootObject, "targets")) {
        if (Reader::text(reader.object(id), "isa").empty()) {
            damaged(project.name, "target " + id + " is missing from the objects", false);
        }
        project.targets.push_back(reader.target(id));
    }
    reader.linkEmbeds(project.targets);
    return project;
}

} // namespace AppleSim
