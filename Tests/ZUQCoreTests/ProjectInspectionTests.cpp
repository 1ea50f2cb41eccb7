// Registering Xcode projects as typed by a user, against the simulator's xcodebuild reading
// real project files.
#include "AppleSim.hpp"
#include "JSON.hpp"
#include "Platform/Random.hpp"
#include "Storage.hpp"
#include "Support.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using ProjectStore::Signing;
using TestSupport::failure;

namespace {

constexpr const char* selectExisting = "Select an existing .xcodeproj or .xcworkspace.";

// Changes the working directory for the life of the value.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const fs::path& path) : previous_(fs::current_path()) {
        fs::current_path(path);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;
    ~WorkingDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

class ProjectInspectionTest : public TestSupport::SimulatedMacTest {
protected:
    void SetUp() override {
        SimulatedMacTest::SetUp();
        // Under HOME, so that "~" paths reach it; the real path has no links in it.
        projects = fs::canonical(home) / "Projects";
        TestSupport::copySampleApp(projects);
        workspace = projects / "SampleApp.xcworkspace";
        project = projects / "SampleApp/SampleApp.xcodeproj";
    }

    static Project inspect(const std::string& path,
                           const std::optional<std::string>& name = std::nullopt) {
        return ProjectStore::inspect(path, name, std::nullopt, std::nullopt, Signing::automatic);
    }

    // A copy of the sample project at `path` whose configurations named Release are renamed.
    void projectWithConfigurations(const fs::path& path, const std::string& release) {
        fs::create_directories(path.parent_path());
        fs::copy(project, path, fs::copy_options::recursive);
        fs::path file = path / "project.pbxproj";
        std::string text = TestSupport::readFile(file);
        const std::string from = "name = Release;", to = "name = " + release + ";";
        for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
            text.replace(at, from.size(), to);
        }
        TestSupport::writeFile(file, text);
    }

    fs::path projects;
    fs::path workspace;
    fs::path project;
};

TEST_F(ProjectInspectionTest, TypedPathsResolveToTheBundlesRealPath) {
    fs::create_symlink(projects, directory / "link");
    fs::create_directories(directory / "deep/a/b");
    // "jump/.." is the folder the user typed, not the parent of where jump leads.
    fs::create_symlink(directory / "deep/a/b", directory / "jump");
    fs::create_symlink(project, projects / "Alias.xcodeproj");
    WorkingDirectory cwd(projects / "SampleApp");
    struct Case {
        std::string typed;
        fs::path resolved;
    };
    const Case cases[] = {
        {workspace.string(), workspace},
        {project.string() + "/", project},
        {"SampleApp.xcodeproj", project},
        {"./SampleApp.xcodeproj//", project},
        {"../SampleApp.xcworkspace", workspace},
        {"~/Projects/SampleApp/SampleApp.xcodeproj", project},
        {(directory / "link/SampleApp/../SampleApp.xcworkspace").string(), workspace},
        {(directory / "jump/../link/SampleApp/SampleApp.xcodeproj").string(), project},
        {(projects / "Alias.xcodeproj").string(), project},
    };
    for (const auto& c : cases) {
        Project inspected = inspect(c.typed);
        EXPECT_EQ(inspected.path, c.resolved.string()) << c.typed;
        EXPECT_EQ(inspected.name, "SampleApp") << c.typed;
        EXPECT_EQ(inspected.schemes, (std::vector<std::string>{"SampleApp"})) << c.typed;
        EXPECT_EQ(inspected.configurations, (std::vector<std::string>{"Debug", "Release"}));
    }
}

TEST_F(ProjectInspectionTest, WhatIsNotAnExistingBundleIsRefusedBeforeAnyToolRuns) {
    fs::copy(project, projects / "Upper.XCODEPROJ", fs::copy_options::recursive);
    fs::create_directories(projects / "Plain");
    fs::create_symlink(projects / "Gone.xcodeproj", projects / "Dangling.xcodeproj");
    TestSupport::ScopedEnvironment noTools("ZUQ_TOOLS_DIR", (directory / "no-tools").string());
    for (const std::string& typed :
         {(projects / "Upper.XCODEPROJ").string(), (projects / "Missing.xcodeproj").string(),
          (projects / "Plain").string(), (projects / "Dangling.xcodeproj").string(),
          (projects / "SampleApp.xcworkspace/contents.xcworkspacedata").string(),
          (project / "..").string(), std::string(), std::string("/"), std::string("~")}) {
        EXPECT_EQ(failure([&] { inspect(typed); }), selectExisting) << typed;
    }
}

TEST_F(ProjectInspectionTest, RegisteringAgainKeepsTheIdAndMovesTheEntryLast) {
    fs::create_symlink(projects, directory / "link");
    Project first = inspect(workspace.string());
    ProjectStore::upsert(first);
    ProjectStore::upsert(inspect(project.string()));
    EXPECT_TRUE(Platform::isUUID(first.id) && first.id.find_first_of("ABCDEF") == std::string::npos)
        << "a lower-case UUID: " << first.id;

    Project again = ProjectStore::inspect((directory / "link/SampleApp.xcworkspace").string(),
                                          "Shop", "TEAM123456", "Export.plist", Signing::manual);
    EXPECT_EQ(again.id, first.id) << "jobs that name the project keep working";
    EXPECT_EQ(again.name, "Shop");
    EXPECT_EQ(again.teamID, "TEAM123456");
    EXPECT_EQ(again.exportOptionsPath, (fs::current_path() / "Export.plist").string())
        << "pinned to where it was typed: the agent runs elsewhere";
    EXPECT_FALSE(again.automaticSigning);
    ProjectStore::upsert(again);
    std::vector<Project> stored = ProjectStore::load();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].path, project.string());
    EXPECT_EQ(stored[1], again);

    EXPECT_EQ(inspect(project.string() + "/../SampleApp.xcodeproj").id, stored[0].id);
    // A name given empty is a name.
    EXPECT_EQ(inspect(workspace.string(), "").name, "");
    EXPECT_EQ(ProjectStore::inspect(workspace.string(), std::nullopt, std::nullopt,
                                    "~/Export.plist", Signing::manual)
                  .exportOptionsPath,
              (home / "Export.plist").string());
}

TEST_F(ProjectInspectionTest, AWorkspaceTakesItsConfigurationsFromTheProjectsBesideIt) {
    // Shop.xcworkspace next to A (Debug, Release), B (Debug, Profile), a damaged project and
    // a file that only looks like one.
    fs::path shop = directory / "Shop";
    projectWithConfigurations(shop / "A.xcodeproj", "Release");
    projectWithConfigurations(shop / "B.xcodeproj", "Profile");
    fs::create_directories(shop / "Broken.xcodeproj");
    TestSupport::writeFile(shop / "Broken.xcodeproj/project.pbxproj", "{ not a project");
    TestSupport::writeFile(shop / "Notes.xcodeproj.txt", "");
    TestSupport::writeFile(shop / "Shop.xcworkspace/contents.xcworkspacedata",
                           R"(<?xml version="1.0" encoding="UTF-8"?>
<Workspace version = "1.0">
   <FileRef location = "group:A.xcodeproj"></FileRef>
   <FileRef location = "group:B.xcodeproj"></FileRef>
</Workspace>
)");
    Project inspected = inspect((shop / "Shop.xcworkspace").string());
    EXPECT_EQ(inspected.name, "Shop");
    EXPECT_EQ(inspected.schemes, (std::vector<std::string>{"SampleApp"}));
    EXPECT_EQ(inspected.configurations, (std::vector<std::string>{"Debug", "Profile", "Release"}));

    // The sample workspace has its project in a subfolder, not beside it.
    EXPECT_EQ(inspect(workspace.string()).configurations,
              (std::vector<std::string>{"Debug", "Release"}));
    projectWithConfigurations(directory / "Solo/Solo.xcodeproj", "Staging");
    EXPECT_EQ(inspect((directory / "Solo/Solo.xcodeproj").string()).configurations,
              (std::vector<std::string>{"Debug", "Staging"}));
}

TEST_F(ProjectInspectionTest, ListingFailuresPassThroughAndNothingIsWritten) {
    TestSupport::writeFile(stateDirectory / "projects.json", "{}");
    EXPECT_TRUE(failure([&] { inspect(workspace.string()); })
                    .starts_with("The project registry " +
                                 (stateDirectory / "projects.json").string() + " is damaged"));
    EXPECT_EQ(TestSupport::readFile(stateDirectory / "projects.json"), "{}");
    fs::remove_all(stateDirectory);
    inspect(workspace.string());
    EXPECT_FALSE(fs::exists(stateDirectory)) << "inspection writes nothing";

    fs::remove_all(project / "xcshareddata");
    EXPECT_EQ(failure([&] { inspect(project.string()); }),
              "No schemes found. Share your app scheme in Xcode and try again.");
    EXPECT_EQ(failure([&] { inspect(workspace.string()); }),
              "No schemes found. Share your app scheme in Xcode and try again.");

    TestSupport::writeFile(project / "project.pbxproj", "{ damaged");
    std::string damaged = failure([&] { inspect(project.string()); });
    EXPECT_TRUE(damaged.starts_with("xcrun failed (")) << damaged;
    EXPECT_NE(damaged.find(project.string()), std::string::npos) << damaged;
}

// xcodebuild's build service prints status lines on standard output beside the JSON.
TEST_F(ProjectInspectionTest, StatusLinesBesideTheListingAreNotTheListing) {
    TestSupport::appleSim({"next-list", "noisy"});
    Project inspected = inspect(project.string());
    EXPECT_EQ(inspected.schemes, (std::vector<std::string>{"SampleApp"}));
    EXPECT_EQ(inspected.configurations, (std::vector<std::string>{"Debug", "Release"}));
    EXPECT_EQ(JSON::decode(TestSupport::appleSim({"status"}))["next_list"]["noisy"], JSON(false))
        << "the simulator's xcodebuild printed the line";

    // Other shapes of noise, from an xcodebuild that prints what the test says.
    fs::path tools = directory / "tools";
    fs::create_directories(tools);
    TestSupport::writeFile(tools / "xcrun", "#!/bin/sh\ncat '" + (directory / "out").string() + "'\n");
    fs::permissions(tools / "xcrun", fs::perms::owner_all);
    TestSupport::ScopedEnvironment fake("ZUQ_TOOLS_DIR", tools.string());
    const std::string listing =
        R"({ "project" : { "configurations" : [ "Debug", "Beta" ], "name" : "App",)"
        R"( "schemes" : [ "App {beta}", "App \"}\"" ], "targets" : [ "App" ] } })";
    struct Case {
        const char* name;
        std::string output;
        std::string result; // the schemes, or the error's start
    };
    const Case cases[] = {
        {"a line before", "build session not created after 15 seconds - still waiting\n" + listing + "\n",
         "App {beta}|App \"}\""},
        {"a line after", listing + "\nbuild session not created after 15 seconds - still waiting\n",
         "App {beta}|App \"}\""},
        {"braces in a line before",
         "--- xcodebuild: WARNING: Using the first of multiple matching destinations:\n"
         "{ platform:macOS, arch:arm64, name:My Mac }\n" + listing + "\n",
         "App {beta}|App \"}\""},
        {"an object that is no listing first", "{}\n" + listing, "App {beta}|App \"}\""},
        {"an unmatched brace first", "waiting {\n" + listing, "App {beta}|App \"}\""},
        {"only an object that is no listing", "note: {}\n",
         "No schemes found. Share your app scheme in Xcode and try again."},
        {"no JSON at all", "build session not created after 15 seconds - still waiting\n",
         "[json.exception.parse_error.101]"},
        {"a document cut short", "{ \"project\" : { \"schemes\" : [ \"App\"", "[json.exception.parse_error"},
    };
    for (const auto& c : cases) {
        TestSupport::writeFile(directory / "out", c.output);
        std::string result;
        try {
            std::vector<std::string> schemes = inspect(project.string()).schemes;
            for (const std::string& scheme : schemes) {
                result += (result.empty() ? "" : "|") + scheme;
            }
        } catch (const std::exception& error) {
            result = error.what();
        }
        EXPECT_EQ(result.rfind(c.result, 0), 0u) << c.name << ": " << result;
    }
}

} // namespace
