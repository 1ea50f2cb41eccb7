#include "PipelineTest.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;

void PipelineTest::SetUp() {
    TemporaryDirectoryTest::SetUp();
    tools_ = std::make_unique<TestSupport::ScopedEnvironment>(
        "ZUQ_TOOLS_DIR", (TestSupport::binaryDirectory() / "apple-tools").string());
}

JSON PipelineTest::simulate(const std::vector<std::string>& arguments) {
    TestSupport::Output output =
        TestSupport::run(TestSupport::binaryDirectory() / "apple-sim", arguments);
    EXPECT_EQ(output.status, 0) << output.err;
    return output.status == 0 ? JSON::decode(output.out) : JSON();
}

fs::path PipelineTest::sampleWorkspace() {
    return fs::path(ZUQ_SOURCE_DIRECTORY) / "Tools/AppleSim/SampleApp/SampleApp.xcworkspace";
}

fs::path PipelineTest::exportSample(const fs::path& work, const std::string& method) {
    fs::path xcrun = TestSupport::binaryDirectory() / "apple-tools" / "xcrun";
    TestSupport::Output archived = TestSupport::run(
        xcrun, {"xcodebuild", "archive", "-workspace", sampleWorkspace().string(), "-scheme",
                "SampleApp", "-configuration", "Release", "-destination", "generic/platform=iOS",
                "-archivePath", (work / "App.xcarchive").string(), "-derivedDataPath",
                (work / "DerivedData").string(), "-allowProvisioningUpdates",
                "CODE_SIGN_STYLE=Automatic", "DEVELOPMENT_TEAM=ZUQSIMTEAM"});
    EXPECT_EQ(archived.status, 0) << archived.err;
    TestSupport::writeFile(work / "ExportOptions.plist",
                           "<plist version=\"1.0\"><dict><key>method</key><string>" + method +
                               "</string><key>signingStyle</key><string>automatic</string>"
                               "<key>teamID</key><string>ZUQSIMTEAM</string></dict></plist>");
    TestSupport::Output exported = TestSupport::run(
        xcrun, {"xcodebuild", "-exportArchive", "-archivePath", (work / "App.xcarchive").string(),
                "-exportPath", (work / "Export").string(), "-exportOptionsPlist",
                (work / "ExportOptions.plist").string(), "-allowProvisioningUpdates"});
    EXPECT_EQ(exported.status, 0) << exported.out << exported.err;
    return work / "Export" / "SampleApp.ipa";
}
