// xcodebuild -list: the schemes, configurations and targets of a project, or the schemes of a
// workspace's projects, as JSON (-json) or as Xcode's text.
#include "Failure.hpp"
#include "JSONText.hpp"
#include "World.hpp"
#include "Workspace.hpp"
#include "Xcode.hpp"
#include "XcodeProject.hpp"
#include "Xcodebuild.hpp"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Xcode lists schemes in Finder's order: case-insensitive.
void sortSchemes(std::vector<std::string>& names) {
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                return std::tolower(static_cast<unsigned char>(x)) <
                       std::tolower(static_cast<unsigned char>(y));
            });
    });
}

std::vector<std::string> schemeNames(const std::vector<fs::path>& containers) {
    std::vector<std::string> names;
    for (const fs::path& container : containers) {
        for (const SchemeFile& scheme : schemesIn(container)) {
            if (std::find(names.begin(), names.end(), scheme.name) == names.end()) {
                names.push_back(scheme.name);
            }
        }
    }
    sortSchemes(names);
    return names;
}

std::string indented(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += "        " + line + "\n";
    }
    return text;
}

int listProject(const fs::path& path, bool asJSON, const std::string& xcodeVersion) {
    Project project = openProject(path, xcodeVersion);
    std::vector<std::string> configurations;
    for (const Configuration& configuration : project.configurations) {
        configurations.push_back(configuration.name);
    }
    std::vector<std::string> targets;
    for (const Target& target : project.targets) {
        targets.push_back(target.name);
    }
    std::vector<std::string> schemes = schemeNames({path});
    if (asJSON) {
        std::cout << appleJSON({{"project",
                                 {{"configurations", configurations},
                                  {"name", project.name},
                                  {"schemes", schemes},
                                  {"targets", targets}}}});
        return 0;
    }
    std::string defaultConfiguration =
        project.defaultConfiguration.empty() ? "Release" : project.defaultConfiguration;
    std::cout << "Command line invocation:\n    " << Xcode::developerDirectory
              << "/usr/bin/xcodebuild -list -project " << path.filename().string() << "\n\n"
              << "Information about project \"" << project.name << "\":\n    Targets:\n"
              << indented(targets) << "\n    Build Configurations:\n"
              << indented(configurations)
              << "\n    If no build configuration is specified and -scheme is not passed then \""
              << defaultConfiguration << "\" is used.\n\n";
    if (schemes.empty()) {
        std::cout << "    This project contains no schemes.\n";
    } else {
        std::cout << "    Schemes:\n" << indented(schemes);
    }
    return 0;
}

int listWorkspace(const fs::path& path, bool asJSON) {
    Workspace workspace;
    try {
        workspace = loadWorkspace(path);
    } catch (const WorkspaceError& error) {
        throw ToolFailure("xcodebuild: error: Unable to read workspace '" +
                              path.filename().string() + "'.\n\tReason: " + error.what(),
                          74);
    }
    std::vector<fs::path> containers = {path};
    std::error_code error;
    for (const fs::path& project : workspace.projects) {
        if (fs::is_directory(project, error)) {
            containers.push_back(project);
        }
    }
    std::vector<std::string> schemes = schemeNames(containers);
    if (asJSON) {
        std::cout << appleJSON({{"workspace", {{"name", workspace.name}, {"schemes", schemes}}}});
        return 0;
    }
    std::cout << "Command line invocation:\n    " << Xcode::developerDirectory
              << "/usr/bin/xcodebuild -list -workspace " << path.filename().string() << "\n\n"
              << "Information about workspace \"" << workspace.name << "\":\n";
    if (schemes.empty()) {
        std::cout << "    This workspace contains no schemes.\n";
    } else {
        std::cout << "    Schemes:\n" << indented(schemes);
    }
    return 0;
}

} // namespace

int listContainer(const XcodebuildCommand& command) {
    std::string xcodeVersion = Xcode::require(World::read(), "xcodebuild");
    Container container = containerOf(command);
    bool asJSON = command.flag("-json");
    int status = container.workspace ? listWorkspace(container.path, asJSON)
                                     : listProject(container.path, asJSON, xcodeVersion);
    // xcodebuild prints its build service's status on standard output too, before or after
    // the listing, when the service is slow to start.
    bool noisy = false;
    if (World::read().nextListNoisy) {
        World::update([&](WorldState& world) {
            noisy = world.nextListNoisy;
            world.nextListNoisy = false;
        });
    }
    if (noisy) {
        std::cout << "build session not created after 15 seconds - still waiting\n";
    }
    return status;
}

} // namespace AppleSim
