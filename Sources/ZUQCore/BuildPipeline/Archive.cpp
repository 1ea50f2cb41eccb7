#include "BuildPipeline.hpp"

#include <algorithm>

namespace fs = std::filesystem;
using Platform::PropertyList;

namespace BuildPipeline {

namespace {

bool contains(const std::vector<std::string>& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

bool hasTeam(const Project& project) {
    return project.teamID && !project.teamID->empty();
}

} // namespace

std::vector<std::string> archiveArguments(const Project& project, const std::string& scheme,
                                          const std::string& configuration,
                                          const fs::path& directory) {
    if (!contains(project.schemes, scheme) || !contains(project.configurations, configuration)) {
        throw ZUQError("Scheme/configuration is not allowed by this Mac's registered project. "
                       "Refresh the project registration.");
    }
    std::vector<std::string> arguments{"xcodebuild", "archive"};
    for (std::string& selection : project.selection()) {
        arguments.push_back(std::move(selection));
    }
    arguments.insert(arguments.end(),
                     {"-scheme", scheme, "-configuration", configuration, "-destination",
                      "generic/platform=iOS", "-archivePath", (directory / "App.xcarchive").string(),
                      "-derivedDataPath", (directory / "DerivedData").string()});
    if (project.automaticSigning) {
        arguments.insert(arguments.end(), {"-allowProvisioningUpdates", "CODE_SIGN_STYLE=Automatic"});
    }
    if (hasTeam(project)) {
        arguments.push_back("DEVELOPMENT_TEAM=" + *project.teamID);
    }
    return arguments;
}

std::vector<std::string> exportArguments(const Project& project, const fs::path& directory) {
    std::vector<std::string> arguments{"xcodebuild",
                                       "-exportArchive",
                                       "-archivePath",
                                       (directory / "App.xcarchive").string(),
                                       "-exportPath",
                                       (directory / "Export").string(),
                                       "-exportOptionsPlist",
                                       (directory / "ExportOptions.plist").string()};
    if (project.automaticSigning) {
        arguments.push_back("-allowProvisioningUpdates");
    }
    return arguments;
}

PropertyList::Dictionary exportOptions(const Project& project, DeploymentMode mode) {
    PropertyList::Dictionary options;
    if (project.exportOptionsPath) {
        PropertyList owners = PropertyList::read(*project.exportOptionsPath);
        if (owners.kind() != PropertyList::Kind::dictionary) {
            throw ZUQError("Invalid export-options plist");
        }
        options = owners.fields();
    }
    options["method"] = mode == DeploymentMode::adhoc ? "release-testing" : "debugging";
    options["destination"] = "export";
    options["signingStyle"] = project.automaticSigning ? "automatic" : "manual";
    options["thinning"] = "<none>";
    options["manageAppVersionAndBuildNumber"] = false;
    if (hasTeam(project)) {
        options["teamID"] = *project.teamID;
    }
    return options;
}

} // namespace BuildPipeline
