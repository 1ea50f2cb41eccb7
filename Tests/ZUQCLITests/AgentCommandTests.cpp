// doctor and the agent commands of the real `zuq` binary against the simulated Mac.
#include "AppleSim.hpp"
#include "JSON.hpp"
#include "Platform/PropertyList.hpp"
#include "Storage.hpp"
#include "Support.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::Output;

namespace {

constexpr const char* udid = "00008130-000A11223344556E";

class AgentCommands : public TestSupport::TemporaryDirectoryTest {
protected:
    Output zuq(const std::vector<std::string>& arguments, const fs::path& tools) {
        return TestSupport::run(TestSupport::binaryDirectory() / "zuq", arguments,
                                {{"ZUQ_TOOLS_DIR", tools.string()}});
    }

    // The simulator's tools, with `xcodebuild` replaced by a script that fails as it does on a
    // Mac without Xcode selected.
    fs::path toolsWithoutXcode() {
        fs::path tools = directory / "tools";
        fs::create_directories(tools);
        for (const auto& entry : fs::directory_iterator(TestSupport::appleTools())) {
            if (entry.path().filename() != "xcodebuild") {
                fs::create_symlink(fs::canonical(entry.path()), tools / entry.path().filename());
            }
        }
        TestSupport::writeFile(tools / "xcodebuild",
                               "#!/bin/sh\necho 'xcode-select: error: no developer directory' >&2\n"
                               "exit 1\n");
        fs::permissions(tools / "xcodebuild", fs::perms::owner_all);
        return tools;
    }
};

TEST_F(AgentCommands, DoctorReportsTheMacAsItIs) {
    TestSupport::appleSim({"setup"});
    TestSupport::appleSim({"attach-phone", "--udid", udid, "--name", "Desk iPhone"});
    Output output = zuq({"doctor"}, TestSupport::appleTools());
    ASSERT_EQ(output.status, 0) << output.err;
    JSON report = JSON::decode(output.out);
    EXPECT_EQ(report["version"].text(), "0.1.0");
    EXPECT_EQ(report["xcode"].text(), "Xcode 16.4\nBuild version 16F6\n");
    EXPECT_NE(report["signing_identities"].text().find("Apple Development"), std::string::npos);
    EXPECT_NE(report["signing_identities"].text().find("valid identities found"),
              std::string::npos);
    ASSERT_EQ(report["devices"].items().size(), 1u) << output.out;
    EXPECT_EQ(report["devices"].items()[0]["udid"].text(), udid);
    EXPECT_EQ(report["agent"], JSON::object({{"running", false}}));

    // A tool that answers with an error is reported, not a failure of doctor.
    output = zuq({"doctor"}, toolsWithoutXcode());
    ASSERT_EQ(output.status, 0) << output.err;
    EXPECT_EQ(JSON::decode(output.out)["xcode"].text(),
              "xcode-select: error: no developer directory\n");
}

TEST_F(AgentCommands, DoctorFailsWhenAToolCannotRun) {
    fs::path empty = directory / "no-tools";
    fs::create_directories(empty);
    Output output = zuq({"doctor"}, empty);
    EXPECT_EQ(output.status, 1);
    EXPECT_NE(JSON::decode(output.err)["error"].text().find("Cannot run"), std::string::npos)
        << output.err;
}

// With only the Command Line Tools selected, xcodebuild and the device tool are both missing;
// that is the diagnosis.
TEST_F(AgentCommands, DoctorReportsAMacWithOnlyTheCommandLineTools) {
    TestSupport::appleSim({"setup"});
    TestSupport::appleSim({"attach-phone", "--udid", udid});
    TestSupport::appleSim({"xcode", "remove"});
    Output output = zuq({"doctor"}, TestSupport::appleTools());
    ASSERT_EQ(output.status, 0) << output.err;
    EXPECT_EQ(output.err, "");
    JSON report = JSON::decode(output.out);
    EXPECT_EQ(report["xcode"].text(),
              "xcode-select: error: tool 'xcodebuild' requires Xcode, but active developer "
              "directory '/Library/Developer/CommandLineTools' is a command line tools instance\n");
    EXPECT_NE(report["signing_identities"].text().find("valid identities found"),
              std::string::npos);
    EXPECT_EQ(report["devices"], JSON::array());
    EXPECT_EQ(report["devices_error"].text(),
              "xcrun failed (72): xcrun: error: unable to find utility \"devicectl\", not a "
              "developer tool or in PATH\n");
    EXPECT_EQ(report["agent"], JSON::object({{"running", false}}));

    // With Xcode there is no such member.
    TestSupport::appleSim({"xcode", "set", "16.4"});
    report = JSON::decode(zuq({"doctor"}, TestSupport::appleTools()).out);
    EXPECT_EQ(report["devices"].items().size(), 1u);
    EXPECT_FALSE(report.fields().contains("devices_error"));
}

TEST_F(AgentCommands, StatusAndUninstallNeedNoEnrolment) {
    Output status = zuq({"agent", "status"}, TestSupport::appleTools());
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, JSON::object({{"running", false}}).pretty() + "\n");
    Output uninstall = zuq({"agent", "uninstall"}, TestSupport::appleTools());
    EXPECT_EQ(uninstall.status, 0) << uninstall.err;
    EXPECT_EQ(uninstall.out, JSON::object({{"ok", true}}).pretty() + "\n");
    Output install = zuq({"agent", "install"}, TestSupport::appleTools());
    EXPECT_EQ(install.status, 1);
    EXPECT_EQ(JSON::decode(install.err)["error"].text(),
              "This Mac is not enrolled. Use group create or group join first.");
}

TEST_F(AgentCommands, TheAgentsLimitsAreCheckedAndInstalledWithIt) {
    CredentialStore::save(Credentials{"http://127.0.0.1:9", "mac-1", "tok", "g-1", "Team",
                                      "Mac One", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="});
    fs::path plist = home / "Library" / "LaunchAgents" / "dev.zuq.agent.plist";
    for (const char* bad : {"0", "-1", "12x", "", "18446744073709551616"}) {
        SCOPED_TRACE(bad);
        for (const char* command : {"install", "run"}) {
            Output refused = zuq({"agent", command, "--max-app-bytes", bad}, TestSupport::appleTools());
            EXPECT_EQ(refused.status, 1);
            EXPECT_EQ(JSON::decode(refused.err)["error"].text(),
                      "--max-app-bytes must be a whole number of bytes above 0");
        }
        EXPECT_FALSE(fs::exists(plist));
    }

    Output installed = zuq({"agent", "install", "--max-build-bytes", "1000", "--max-app-bytes",
                            "2000"},
                           TestSupport::appleTools());
    EXPECT_EQ(installed.status, 0) << installed.err;
    Platform::PropertyList arguments = Platform::PropertyList::read(plist)["ProgramArguments"];
    std::vector<std::string> words;
    for (const auto& item : arguments.items()) {
        words.push_back(item.text());
    }
    EXPECT_EQ(words, (std::vector<std::string>{fs::canonical(TestSupport::binaryDirectory() / "zuq").string(),
                                               "agent", "run", "--max-build-bytes", "1000",
                                               "--max-app-bytes", "2000"}));
    EXPECT_EQ(zuq({"agent", "uninstall"}, TestSupport::appleTools()).status, 0);
}

} // namespace
