#include "Xcodebuild.hpp"

#include "Failure.hpp"
#include "Options.hpp"
#include "World.hpp"
#include "Xcode.hpp"
#include "XcodeProject.hpp"

#include <algorithm>
#include <iostream>
#include <set>

namespace AppleSim {

namespace fs = std::filesystem;

std::optional<std::string> XcodebuildCommand::option(const std::string& name) const {
    auto found = options.find(name);
    if (found == options.end()) {
        return std::nullopt;
    }
    return found->second;
}

bool XcodebuildCommand::flag(const std::string& name) const {
    return std::find(flags.begin(), flags.end(), name) != flags.end();
}

namespace {

const std::set<std::string> valuedOptions = {
    "-project", "-workspace", "-scheme", "-configuration", "-destination", "-archivePath",
    "-derivedDataPath", "-exportPath", "-exportOptionsPlist", "-sdk", "-target", "-xcconfig",
    "-resultBundlePath", "-destination-timeout", "-jobs", "-arch"};
const std::set<std::string> flagOptions = {
    "-list", "-json", "-version", "-exportArchive", "-allowProvisioningUpdates",
    "-allowProvisioningDeviceRegistration", "-quiet", "-hideShellScriptEnvironment",
    "-skipPackagePluginValidation", "-skipMacroValidation", "-showBuildSettings", "-usage",
    "-help"};
const std::set<std::string> actions = {"archive", "build", "clean", "test", "analyze",
                                       "install", "installsrc", "build-for-testing"};

XcodebuildCommand parse(const std::vector<std::string>& arguments) {
    XcodebuildCommand command;
    command.arguments = arguments;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        if (valuedOptions.count(word)) {
            if (index + 1 >= arguments.size()) {
                throw ToolFailure("xcodebuild: error: option '" + word + "' requires at least one "
                                  "argument",
                                  64);
            }
            command.options[word] = arguments[++index];
        } else if (flagOptions.count(word)) {
            command.flags.push_back(word);
        } else if (!word.empty() && word[0] == '-') {
            throw ToolFailure("xcodebuild: error: invalid option '" + word + "'\n\nUsage: "
                              "xcodebuild [-project <projectname>] [[-target <targetname>]...|"
                              "-alltargets] [-configuration <configurationname>] ...",
                              64);
        } else if (std::size_t equals = word.find('='); equals != std::string::npos && equals > 0) {
            std::string name = word.substr(0, equals);
            if (!command.settings.count(name)) {
                command.settingOrder.push_back(name);
            }
            command.settings[name] = word.substr(equals + 1);
        } else if (actions.count(word)) {
            command.actions.push_back(word);
        } else {
            throw ToolFailure("xcodebuild: error: Unknown build action '" + word + "'.", 65);
        }
    }
    return command;
}

int version(const WorldState& world) {
    std::string selected = Xcode::require(world, "xcodebuild");
    std::cout << "Xcode " << selected << "\nBuild version " << Xcode::buildNumber(selected)
              << "\n";
    return 0;
}

} // namespace

Container containerOf(const XcodebuildCommand& command) {
    std::optional<std::string> project = command.option("-project");
    std::optional<std::string> workspace = command.option("-workspace");
    if (project && workspace) {
        throw ToolFailure("xcodebuild: error: The -workspace option cannot be passed with the "
                          "-project option.",
                          64);
    }
    if (workspace) {
        fs::path path = fs::absolute(*workspace).lexically_normal();
        std::error_code error;
        if (!fs::exists(path, error)) {
            throw ToolFailure("xcodebuild: error: '" + *workspace + "' does not exist.", 66);
        }
        if (path.extension() != ".xcworkspace" || !fs::is_directory(path, error)) {
            throw ToolFailure("xcodebuild: error: '" + *workspace + "' is not a workspace file.",
                              66);
        }
        return {path, true};
    }
    if (project) {
        fs::path path = fs::absolute(*project).lexically_normal();
        std::error_code error;
        if (!fs::exists(path, error)) {
            throw ToolFailure("xcodebuild: error: '" + *project + "' does not exist.", 66);
        }
        if (path.extension() != ".xcodeproj") {
            throw ToolFailure("xcodebuild: error: '" + *project + "' is not a project file.", 66);
        }
        return {path, false};
    }
    fs::path directory = fs::current_path();
    std::vector<fs::path> found;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
        if (entry.path().extension() == ".xcodeproj") {
            found.push_back(entry.path());
        }
    }
    if (found.empty()) {
        throw ToolFailure("xcodebuild: error: The directory " + directory.string() +
                              " does not contain an Xcode project, workspace or package.",
                          66);
    }
    if (found.size() > 1) {
        throw ToolFailure("xcodebuild: error: The directory " + directory.string() + " contains " +
                              std::to_string(found.size()) +
                              " projects, including multiple projects with the current extension "
                              "(.xcodeproj). Specify the project to use with the -project option.",
                          66);
    }
    return {found.front(), false};
}

Project openProject(const fs::path& path, const std::string& xcodeVersion) {
    auto unreadable = [&](const std::string& reason, const std::string& detail) {
        std::string message = "xcodebuild: error: Unable to read project '" +
                              path.filename().string() + "'.\n\tReason: " + reason;
        if (!detail.empty()) {
            message += "\n\nPath: " + path.string() + "\nException: " + detail;
        }
        return ToolFailure(message, 74);
    };
    Project project;
    try {
        project = loadProject(path);
    } catch (const ProjectError& error) {
        if (error.kind() == ProjectError::Kind::missing) {
            throw ToolFailure("xcodebuild: error: '" + path.string() + "' does not exist.", 66);
        }
        throw unreadable(error.what(), error.detail());
    }
    if (project.objectVersion > Xcode::newestObjectVersion(xcodeVersion)) {
        throw unreadable("The project \u2018" + project.name +
                             "\u2019 cannot be opened because it is in a future Xcode project "
                             "file format (" + std::to_string(project.objectVersion) +
                             "). Adjust the project format using a compatible version of Xcode to "
                             "allow it to be opened by this version of Xcode.",
                         "");
    }
    return project;
}

int xcodebuild(const std::vector<std::string>& arguments) {
    WorldState world = World::read();
    XcodebuildCommand command = parse(arguments);
    if (command.flag("-version")) {
        return version(world);
    }
    Xcode::require(world, "xcodebuild");
    if (command.flag("-list")) {
        return listContainer(command);
    }
    if (command.flag("-exportArchive")) {
        return exportArchive(command);
    }
    if (command.actions.size() == 1 && command.actions.front() == "archive") {
        return archive(command);
    }
    throw ToolFailure("xcodebuild: error: apple-sim does not simulate `xcodebuild " +
                          joinWords(arguments) +
                          "`; it knows -version, -list, archive and -exportArchive.",
                      64);
}

} // namespace AppleSim
