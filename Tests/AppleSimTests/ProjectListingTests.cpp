// xcodebuild -list as zuq runs it: real project files on disk, listed as Xcode lists them.
#include "SimulatorTest.hpp"

#include <fstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class ProjectListingTest : public SimulatorTest {};

json listing(const TestSupport::Output& output) {
    EXPECT_EQ(output.status, 0) << output.err;
    return json::parse(output.out, nullptr, false);
}

TEST_F(ProjectListingTest, ListsProjectsAndWorkspacesAsXcodeDoes) {
    struct Case {
        const char* flag;
        fs::path path;
        json expected;
    };
    const Case cases[] = {
        {"-workspace", sample() / "SampleApp.xcworkspace",
         {{"workspace", {{"name", "SampleApp"}, {"schemes", {"SampleApp"}}}}}},
        {"-project", sample() / "SampleApp" / "SampleApp.xcodeproj",
         {{"project",
           {{"configurations", {"Debug", "Release"}},
            {"name", "SampleApp"},
            {"schemes", {"SampleApp"}},
            {"targets", {"SampleApp", "SampleWidgetExtension"}}}}}},
        // Xcode 8 era: objectVersion 46, classic groups, names with spaces, parentheses,
        // ampersands and escaped quotes, a configuration between the usual two.
        {"-project", inputs() / "Legacy" / "Field Notes (Legacy).xcodeproj",
         {{"project",
           {{"configurations", {"Debug", "Ad Hoc (QA)", "Release"}},
            {"name", "Field Notes (Legacy)"},
            {"schemes", {"Field Notes", "Field Notes (Staging)"}},
            {"targets", {"Field Notes", "Lint & Format"}}}}}},
        // Members in nested groups and subfolders, one missing, one a package; a scheme of the
        // workspace's own.
        {"-workspace", inputs() / "Shop" / "Shop.xcworkspace",
         {{"workspace",
           {{"name", "Shop"},
            {"schemes", {"Everything", "Payments", "Payments (Sandbox)", "Shop App"}}}}}},
    };
    for (const Case& example : cases) {
        SCOPED_TRACE(example.path);
        TestSupport::Output output =
            tool("xcrun", {"xcodebuild", "-list", "-json", example.flag, example.path.string()});
        EXPECT_EQ(listing(output), example.expected) << output.out;
        EXPECT_NE(output.out.find("\" : "), std::string::npos) << "Foundation's JSON layout";
    }
}

// `apple-sim next-list noisy`: the next listing prints its build service's status line after
// the JSON, on standard output, as xcodebuild does when the service is slow to start.
TEST_F(ProjectListingTest, ANoisyListingPrintsAStatusLineBesideTheJSON) {
    std::vector<std::string> arguments = {
        "xcodebuild", "-list", "-json", "-project",
        (sample() / "SampleApp" / "SampleApp.xcodeproj").string()};
    std::string quiet = tool("xcrun", arguments).out;
    control({"next-list", "noisy"});
    TestSupport::Output noisy = tool("xcrun", arguments);
    EXPECT_EQ(noisy.status, 0) << noisy.err;
    EXPECT_EQ(noisy.out, quiet + "build session not created after 15 seconds - still waiting\n");
    EXPECT_TRUE(json::parse(noisy.out, nullptr, false).is_discarded()) << "no longer plain JSON";
    EXPECT_EQ(tool("xcrun", arguments).out, quiet) << "once";
}

TEST_F(ProjectListingTest, RefusesWhatXcodeRefuses) {
    struct Case {
        const char* name;
        std::vector<std::string> before; // apple-sim arguments
        std::vector<std::string> arguments;
        int status;
        std::vector<std::string> messages;
    };
    fs::path sampleProject = sample() / "SampleApp" / "SampleApp.xcodeproj";
    const Case cases[] = {
        {"missing project",
         {},
         {"xcodebuild", "-list", "-json", "-project", (directory / "Gone.xcodeproj").string()},
         66,
         {"xcodebuild: error: '" + (directory / "Gone.xcodeproj").string() + "' does not exist."}},
        {"unresolved merge conflict",
         {},
         {"xcodebuild", "-list", "-json", "-project",
          (inputs() / "Damaged" / "Conflicted.xcodeproj").string()},
         74,
         {"Unable to read project 'Conflicted.xcodeproj'",
          "is damaged and cannot be opened due to a parse error", "line 41"}},
        {"project newer than the selected Xcode",
         {"xcode", "set", "15.4"},
         {"xcodebuild", "-list", "-json", "-project", sampleProject.string()},
         74,
         {"future Xcode project file format (77)"}},
        {"no Xcode selected",
         {"xcode", "remove"},
         {"xcodebuild", "-list", "-json", "-project", sampleProject.string()},
         1,
         {"requires Xcode, but active developer directory"}},
    };
    for (const Case& example : cases) {
        SCOPED_TRACE(example.name);
        if (!example.before.empty()) {
            control(example.before);
        }
        TestSupport::Output output = tool("xcrun", example.arguments);
        EXPECT_EQ(output.status, example.status) << output.out << output.err;
        for (const std::string& message : example.messages) {
            EXPECT_NE(output.err.find(message), std::string::npos) << output.err;
        }
        control({"xcode", "set", "16.4"});
    }
}

// A project of the size large apps reach: dozens of targets and schemes, hundreds of KiB.
TEST_F(ProjectListingTest, ReadsLargeProjects) {
    fs::path project = directory / "Big Suite" / "Big Suite.xcodeproj";
    fs::create_directories(project / "xcshareddata" / "xcschemes");
    std::string objects;
    std::string targetList;
    json expectedTargets = json::array();
    json expectedSchemes = json::array();
    for (int index = 1; index <= 48; ++index) {
        char id[25];
        std::snprintf(id, sizeof id, "AB%022d", index);
        std::string name = "Feature " + std::to_string(index) + " (iOS)";
        expectedTargets.push_back(name);
        targetList += std::string("\t\t\t\t") + id + " /* " + name + " */,\n";
        std::string configurations;
        for (const char* configuration : {"Debug", "Release"}) {
            std::string settings;
            for (int setting = 0; setting < 60; ++setting) {
                settings += "\t\t\t\tSETTING_" + std::to_string(setting) + " = \"value " +
                            std::to_string(index * setting) + " with $(inherited) text\";\n";
            }
            std::string configurationID = std::string(id) + configuration[0];
            configurationID = configurationID.substr(configurationID.size() - 24);
            configurations += std::string("\t\t") + "C" + configurationID.substr(1) +
                              " = {\n\t\t\tisa = XCBuildConfiguration;\n\t\t\tbuildSettings = {\n" +
                              settings + "\t\t\t};\n\t\t\tname = " + configuration + ";\n\t\t};\n";
        }
        objects += std::string("\t\t") + id + " /* " + name +
                   " */ = {\n\t\t\tisa = PBXNativeTarget;\n\t\t\tname = \"" + name +
                   "\";\n\t\t\tproductType = \"com.apple.product-type.framework\";\n\t\t};\n" +
                   configurations;
        std::string scheme = (index % 2 ? "feature " : "Feature ") + std::to_string(100 + index);
        expectedSchemes.push_back(scheme);
        std::ofstream(project / "xcshareddata" / "xcschemes" / (scheme + ".xcscheme"))
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Scheme version = \"1.7\">\n</Scheme>\n";
    }
    std::string text =
        "// !$*UTF8*$!\n{\n\tarchiveVersion = 1;\n\tclasses = {\n\t};\n\tobjectVersion = 63;\n"
        "\tobjects = {\n" +
        objects +
        "\t\tFF0000000000000000000001 = {isa = XCConfigurationList; buildConfigurations = "
        "(FF0000000000000000000002, ); defaultConfigurationName = Release; };\n"
        "\t\tFF0000000000000000000002 = {isa = XCBuildConfiguration; buildSettings = {}; name = "
        "Release; };\n"
        "\t\tFF0000000000000000000003 = {isa = PBXGroup; children = (); sourceTree = \"<group>\"; "
        "};\n"
        "\t\tFF0000000000000000000000 /* Project object */ = {\n\t\t\tisa = PBXProject;\n"
        "\t\t\tbuildConfigurationList = FF0000000000000000000001;\n"
        "\t\t\tmainGroup = FF0000000000000000000003;\n\t\t\ttargets = (\n" +
        targetList + "\t\t\t);\n\t\t};\n\t};\n\trootObject = FF0000000000000000000000;\n}\n";
    ASSERT_GT(text.size(), 256u * 1024);
    std::ofstream(project / "project.pbxproj") << text;

    json listed = listing(tool("xcrun", {"xcodebuild", "-list", "-json", "-project", project}));
    EXPECT_EQ(listed["project"]["targets"], expectedTargets);
    EXPECT_EQ(listed["project"]["configurations"], json({"Release"}));
    // Schemes in Xcode's order, which ignores letter case.
    EXPECT_EQ(listed["project"]["schemes"], expectedSchemes);
}

} // namespace
