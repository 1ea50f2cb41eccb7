// What one Mac contributes, through the real `zuq` binary on a simulated Mac that is not
// enrolled: projects add, remove and list --local, and devices --local.
#include "AppleSim.hpp"
#include "JSON.hpp"
#include "Support.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::Output;

namespace {

class LocalCommands : public TestSupport::SimulatedMacTest {
protected:
    void SetUp() override {
        SimulatedMacTest::SetUp();
        workspace = (TestSupport::sampleApp() / "SampleApp.xcworkspace").string();
        project = (TestSupport::sampleApp() / "SampleApp/SampleApp.xcodeproj").string();
    }

    Output zuq(const std::vector<std::string>& arguments) {
        return TestSupport::run(TestSupport::binaryDirectory() / "zuq", arguments);
    }

    // The result of a command that must succeed.
    JSON ok(const std::vector<std::string>& arguments) {
        Output output = zuq(arguments);
        EXPECT_EQ(output.status, 0) << arguments[0] << " " << arguments[1] << ": " << output.err;
        EXPECT_EQ(output.err, "");
        return output.status == 0 ? JSON::decode(output.out) : JSON();
    }

    // The error sentence of a command that must fail, having printed nothing else.
    std::string error(const std::vector<std::string>& arguments) {
        Output output = zuq(arguments);
        EXPECT_EQ(output.status, 1);
        EXPECT_EQ(output.out, "");
        return JSON::decode(output.err)["error"].text();
    }

    static std::vector<std::string> ids(const JSON& list) {
        std::vector<std::string> result;
        for (const JSON& item : list.items()) {
            result.push_back(item["id"].text());
        }
        return result;
    }

    std::string workspace;
    std::string project;
};

TEST_F(LocalCommands, BadUsageIsRefusedBeforeAnythingRuns) {
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"projects", "add"}, "Usage: zuq projects add /path/App.xcodeproj"},
        {{"projects", "add", "A.xcodeproj", "B.xcodeproj"},
         "Usage: zuq projects add /path/App.xcodeproj"},
        {{"projects", "add", "--name", "A.xcodeproj"},
         "Usage: zuq projects add /path/App.xcodeproj"},
        {{"projects", "add", "A.xcodeproj", "--manual"},
         "Manual signing requires --export-options"},
        {{"projects", "add", "A.xcodeproj", "--export-options"},
         "Missing value for --export-options"},
        {{"projects", "add", "Missing.xcodeproj"},
         "Select an existing .xcodeproj or .xcworkspace."},
        {{"projects", "remove"}, "Provide the local project ID"},
        {{"projects", "remove", "a", "b"}, "Provide the local project ID"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error(c.arguments), c.message) << c.arguments.back();
    }
    EXPECT_FALSE(fs::exists(stateDirectory)) << "nothing was written";
}

TEST_F(LocalCommands, ProjectsAreAddedListedAndRemovedWithoutEnrolment) {
    EXPECT_EQ(zuq({"projects", "list", "--local"}).out, "[]\n");

    JSON added = ok({"projects", "add", workspace});
    EXPECT_EQ(added, JSON::object({{"id", added["id"]},
                                   {"name", "SampleApp"},
                                   {"schemes", JSON::strings({"SampleApp"})},
                                   {"configurations", JSON::strings({"Debug", "Release"})}}))
        << "only the relay form is printed";
    JSON manual = ok({"projects", "add", project, "--name", "Sample (manual)", "--team",
                      "ZUQSIMTEAM", "--manual", "--export-options", "Export.plist"});
    EXPECT_EQ(manual["name"].text(), "Sample (manual)");
    EXPECT_EQ(manual.fields().size(), 4u);

    JSON stored = JSON::decode(TestSupport::readFile(stateDirectory / "projects.json"));
    EXPECT_EQ(stored.items()[1]["teamID"], JSON("ZUQSIMTEAM"));
    EXPECT_EQ(stored.items()[1]["automaticSigning"], JSON(false));
    EXPECT_EQ(stored.items()[1]["exportOptionsPath"],
              JSON((fs::current_path() / "Export.plist").string()));
    EXPECT_EQ(stored.items()[0]["automaticSigning"], JSON(true));
    EXPECT_EQ(stored.items()[0].fields().count("teamID"), 0u);

    JSON listed = ok({"projects", "list", "--local"});
    EXPECT_EQ(listed, JSON::array({added, manual}));

    // Registering the workspace again keeps its id and moves it to the end.
    JSON again = ok({"projects", "add", workspace + "/"});
    EXPECT_EQ(again["id"], added["id"]);
    EXPECT_EQ(ids(ok({"projects", "list", "--local"})),
              (std::vector<std::string>{manual["id"].text(), added["id"].text()}));

    EXPECT_EQ(ok({"projects", "remove", manual["id"].text()}), JSON::object({{"ok", true}}));
    EXPECT_EQ(ok({"projects", "remove", "not-registered"}), JSON::object({{"ok", true}}));
    EXPECT_EQ(ids(ok({"projects", "list", "--local"})),
              (std::vector<std::string>{added["id"].text()}));
}

TEST_F(LocalCommands, ADamagedRegistryIsReportedAndKept) {
    const std::string damaged = R"([{"id": "x", "name": "A"}])";
    TestSupport::writeFile(stateDirectory / "projects.json", damaged);
    std::string message = "The project registry " + (stateDirectory / "projects.json").string() +
                          " is damaged: entry 1 has no text \"path\"";
    EXPECT_EQ(error({"projects", "list", "--local"}), message);
    EXPECT_EQ(error({"projects", "add", workspace}), message);
    EXPECT_EQ(error({"projects", "remove", "x"}), message);
    EXPECT_EQ(TestSupport::readFile(stateDirectory / "projects.json"), damaged);
}

TEST_F(LocalCommands, DevicesLocalListsTheAttachedPhones) {
    EXPECT_EQ(zuq({"devices", "--local"}).out, "[]\n");
    TestSupport::appleSim({"attach-phone", "--udid", "00008130-0011223344556677", "--name",
                           "Test iPhone", "--os", "18.1"});
    TestSupport::appleSim({"attach-phone", "--udid", "W", "--type", "watch"});
    TestSupport::appleSim({"attach-phone", "--udid", "00008027-0011223344556677", "--type", "iPad",
                           "--form", "nested", "--developer-mode", "off"});
    JSON phones = ok({"devices", "--local"});
    ASSERT_EQ(phones.items().size(), 2u) << phones.pretty();
    const JSON& phone = phones.items()[0];
    EXPECT_EQ(phone, JSON::object({{"udid", "00008130-0011223344556677"},
                                   {"core_id", phone["core_id"]},
                                   {"name", "Test iPhone"},
                                   {"model", "iPhone 15 Pro"},
                                   {"product_type", "iPhone16,1"},
                                   {"os", "18.1"},
                                   {"state", "disconnected"},
                                   {"developer_mode", true},
                                   {"available", true},
                                   {"transport", "wired"}}));
    EXPECT_EQ(phones.items()[1]["available"], JSON(false));

    TestSupport::ScopedEnvironment noTools("ZUQ_TOOLS_DIR", (directory / "none").string());
    EXPECT_EQ(error({"devices", "--local"}),
              "Cannot run " + (directory / "none/xcrun").string() + ": No such file or directory");
}

} // namespace
