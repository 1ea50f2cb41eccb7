// Drives the real `zuq` binary and checks the output contract byte for byte.
#include "Support.hpp"

#include <gtest/gtest.h>

namespace {

using TestSupport::Output;

class EntryPoint : public TestSupport::TemporaryDirectoryTest {
protected:
    Output zuq(const std::vector<std::string>& arguments) {
        return TestSupport::run(TestSupport::binaryDirectory() / "zuq", arguments);
    }

    static std::string errorObject(const std::string& message) {
        return "{\n  \"error\" : \"" + message + "\"\n}\n";
    }
};

TEST_F(EntryPoint, HelpAndVersion) {
    std::string help = TestSupport::readFile(std::filesystem::path(ZUQ_SOURCE_DIRECTORY) /
                                             "Tests/ZUQCLITests/help.txt");
    struct Case {
        std::vector<std::string> arguments;
        std::string out;
    };
    const Case cases[] = {
        {{}, help},
        {{"--help"}, help},
        {{"run", "--help"}, help},
        {{"frobnicate", "--help"}, help},
        {{"--version"}, "0.1.0\n"},
        {{"--version", "--help"}, "0.1.0\n"},
        {{"--help", "jobs", "--version"}, "0.1.0\n"},
    };
    for (const auto& c : cases) {
        Output output = zuq(c.arguments);
        EXPECT_EQ(output.out, c.out);
        EXPECT_EQ(output.err, "");
        EXPECT_EQ(output.status, 0);
    }
}

TEST_F(EntryPoint, ErrorsAreOneObjectOnStandardError) {
    const std::string notEnrolled =
        "This Mac is not enrolled. Use group create or group join first.";
    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const Case cases[] = {
        {{"--help", "--bogus"}, "Unknown option: --bogus"},
        {{"jobs", "--bogus"}, "Unknown option: --bogus"},
        {{"run", "--project"}, "Missing value for --project"},
        // Unknown words, and every enrolled row, meet the enrolment check first.
        {{"frobnicate"}, notEnrolled},
        {{"group", "list"}, notEnrolled},
        {{"group"}, notEnrolled},
        {{"projects", "list"}, notEnrolled},
        {{"devices"}, notEnrolled},
        {{"agent", "run"}, notEnrolled},
        {{"jobs"}, notEnrolled},
        {{"cancel", "x"}, notEnrolled},
    };
    for (const auto& c : cases) {
        Output output = zuq(c.arguments);
        EXPECT_EQ(output.out, "");
        EXPECT_EQ(output.err, errorObject(c.message));
        EXPECT_EQ(output.status, 1);
    }
}

TEST_F(EntryPoint, UnenrolledRowsRunWithoutACredential) {
    // Rows that need no enrolment never ask for the credential, whatever they then do.
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"projects", "list", "--local"},
          {"devices", "--local"},
          {"agent", "status"},
          {"doctor"}}) {
        Output output = zuq(arguments);
        EXPECT_EQ(output.err.find("not enrolled"), std::string::npos) << arguments[0] << output.err;
    }
}

} // namespace
