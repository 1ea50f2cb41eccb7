#include "BuildPipeline.hpp"
#include "Support.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using Platform::PropertyList;
using TestSupport::failure;

namespace {

const std::string notAllowed = "Scheme/configuration is not allowed by this Mac's registered "
                               "project. Refresh the project registration.";

Project project(const std::string& path, bool automatic, std::optional<std::string> team) {
    Project result;
    result.id = "4c1e2f9a-0000-4000-8000-000000000001";
    result.name = "Sample";
    result.path = path;
    result.schemes = {"SampleApp", "SampleWidget"};
    result.configurations = {"Debug", "Release"};
    result.teamID = std::move(team);
    result.automaticSigning = automatic;
    return result;
}

TEST(ArchiveArguments, FollowTheRegisteredProjectAndItsSigning) {
    const fs::path work = "/state/Jobs/J";
    const std::vector<std::string> common{
        "-scheme", "SampleApp", "-configuration", "Release", "-destination",
        "generic/platform=iOS", "-archivePath", "/state/Jobs/J/App.xcarchive",
        "-derivedDataPath", "/state/Jobs/J/DerivedData"};
    auto expect = [&](std::vector<std::string> selection, std::vector<std::string> tail) {
        std::vector<std::string> all{"xcodebuild", "archive"};
        all.insert(all.end(), selection.begin(), selection.end());
        all.insert(all.end(), common.begin(), common.end());
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    struct Case {
        Project project;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {project("/p/App.xcworkspace", true, "TEAM123456"),
         expect({"-workspace", "/p/App.xcworkspace"},
                {"-allowProvisioningUpdates", "CODE_SIGN_STYLE=Automatic",
                 "DEVELOPMENT_TEAM=TEAM123456"})},
        {project("/p/App.xcodeproj", false, std::nullopt),
         expect({"-project", "/p/App.xcodeproj"}, {})},
        {project("/p/App.XCWORKSPACE", false, "TEAM123456"),
         expect({"-project", "/p/App.XCWORKSPACE"}, {"DEVELOPMENT_TEAM=TEAM123456"})},
        {project("/p/My App (2).xcworkspace", true, ""),
         expect({"-workspace", "/p/My App (2).xcworkspace"},
                {"-allowProvisioningUpdates", "CODE_SIGN_STYLE=Automatic"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.project.path);
        EXPECT_EQ(BuildPipeline::archiveArguments(c.project, "SampleApp", "Release", work),
                  c.expected);
    }

    Project registered = project("/p/App.xcworkspace", true, std::nullopt);
    for (auto [scheme, configuration] : {std::pair{"sampleapp", "Release"}, {"SampleApp", "release"},
                                         {"Other", "Release"}, {"SampleApp", "Profile"},
                                         {"", ""}}) {
        SCOPED_TRACE(std::string(scheme) + " " + configuration);
        EXPECT_EQ(failure([&] {
                      BuildPipeline::archiveArguments(registered, scheme, configuration, work);
                  }),
                  notAllowed);
    }
}

TEST(ExportArguments, AskForProvisioningUpdatesOnlyForAutomaticSigning) {
    const std::vector<std::string> manual{
        "xcodebuild",  "-exportArchive",           "-archivePath",
        "/w/App.xcarchive", "-exportPath",         "/w/Export",
        "-exportOptionsPlist", "/w/ExportOptions.plist"};
    std::vector<std::string> automatic = manual;
    automatic.push_back("-allowProvisioningUpdates");
    EXPECT_EQ(BuildPipeline::exportArguments(project("/p/A.xcodeproj", false, "T"), "/w"), manual);
    EXPECT_EQ(BuildPipeline::exportArguments(project("/p/A.xcodeproj", true, "T"), "/w"),
              automatic);
}

class ExportOptionsTest : public TestSupport::TemporaryDirectoryTest {};

TEST_F(ExportOptionsTest, SetTheModesKeysOverTheOwnersFile) {
    fs::path owners = directory / "ExportOptions.plist";
    TestSupport::writeFile(owners, PropertyList(PropertyList::Dictionary{
                                                    {"method", "app-store-connect"},
                                                    {"thinning", "iPhone15,2"},
                                                    {"teamID", "OWNERTEAM1"},
                                                    {"provisioningProfiles",
                                                     PropertyList::Dictionary{
                                                         {"dev.zuq.SampleApp", "Sample Ad Hoc"}}},
                                                    {"compileBitcode", true},
                                                })
                                           .xml());
    auto fixed = [](const std::string& method, const std::string& style) {
        return PropertyList::Dictionary{{"method", method},
                                        {"destination", "export"},
                                        {"signingStyle", style},
                                        {"thinning", "<none>"},
                                        {"manageAppVersionAndBuildNumber", false}};
    };
    auto with = [](PropertyList::Dictionary options, const PropertyList::Dictionary& more) {
        for (const auto& [key, value] : more) {
            options[key] = value;
        }
        return options;
    };
    const PropertyList::Dictionary ownersKeys{
        {"teamID", "OWNERTEAM1"},
        {"provisioningProfiles",
         PropertyList::Dictionary{{"dev.zuq.SampleApp", "Sample Ad Hoc"}}},
        {"compileBitcode", true}};
    struct Case {
        const char* name;
        Project project;
        std::string mode;
        PropertyList::Dictionary expected;
    };
    Project withFile = project("/p/A.xcworkspace", false, "TEAM123456");
    withFile.exportOptionsPath = owners.string();
    Project withFileNoTeam = project("/p/A.xcworkspace", false, "");
    withFileNoTeam.exportOptionsPath = owners.string();
    const Case cases[] = {
        {"ad hoc, automatic, team", project("/p/A.xcworkspace", true, "TEAM123456"), "adhoc",
         with(fixed("release-testing", "automatic"), {{"teamID", "TEAM123456"}})},
        {"debug, manual, no team", project("/p/A.xcworkspace", false, std::nullopt), "debug",
         fixed("debugging", "manual")},
        {"empty team", project("/p/A.xcworkspace", true, ""), "adhoc",
         fixed("release-testing", "automatic")},
        {"owner's file and team", withFile, "adhoc",
         with(fixed("release-testing", "manual"),
              with(ownersKeys, {{"teamID", "TEAM123456"}}))},
        {"owner's file, no team", withFileNoTeam, "debug",
         with(fixed("debugging", "manual"), ownersKeys)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeploymentMode mode = deploymentMode(c.mode).value();
        EXPECT_TRUE(BuildPipeline::exportOptions(c.project, mode) == c.expected)
            << PropertyList(BuildPipeline::exportOptions(c.project, mode)).xml();
    }
}

TEST_F(ExportOptionsTest, RefusesBadFiles) {
    fs::path array = directory / "array.plist";
    TestSupport::writeFile(array, PropertyList(PropertyList::Array{"method"}).xml());
    fs::path text = directory / "text.plist";
    TestSupport::writeFile(text, "method = adhoc");
    fs::path missing = directory / "missing.plist";
    auto owned = [](const fs::path& path) {
        Project result = project("/p/A.xcworkspace", false, std::nullopt);
        result.exportOptionsPath = path.string();
        return result;
    };
    struct Case {
        Project project;
        std::string mode;
        std::string expected;
    };
    const Case cases[] = {
        {owned(array), "adhoc", "Invalid export-options plist"},
        {owned(text), "debug", text.string() + " is not a property list"},
        {owned(missing), "adhoc",
         "Cannot open " + missing.string() + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(*c.project.exportOptionsPath + " " + c.mode);
        EXPECT_EQ(failure([&] {
                      BuildPipeline::exportOptions(c.project, deploymentMode(c.mode).value());
                  }),
                  c.expected);
    }
}

} // namespace
