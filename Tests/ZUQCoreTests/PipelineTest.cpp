#include "PipelineTest.hpp"

#include "ArtifactCrypto.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <signal.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

bool processEnded(pid_t pid) {
    if (::kill(pid, 0) != 0) {
        return errno == ESRCH;
    }
    std::string stat = TestSupport::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

void flipByte(const fs::path& path, std::size_t offset) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    char byte = 0;
    file.get(byte);
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(static_cast<char>(byte ^ 1));
}

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

JobTest::As::As(const Mac& mac) : home_("HOME", mac.home.string()), state_("ZUQ_STATE_DIR", mac.state.string()) {}

void JobTest::SetUp() {
    PipelineTest::SetUp();
    relay = std::make_unique<TestSupport::RelayProcess>(directory / "relay");
    std::string key = ArtifactCrypto::newKey();
    API anonymous(relay->url(), std::nullopt);
    JSON created = anonymous.createGroup("Studio", "Builder", relay->bootstrapSecret());
    builder.credentials = Credentials::fromResponse(relay->url(), created, "Builder", key);
    builder.api.emplace(builder.credentials);
    JSON joined = anonymous.join(builder.api->createInvite()["code"], "Receiver");
    receiver.credentials = Credentials::fromResponse(relay->url(), joined, "Receiver", key);
    receiver.api.emplace(receiver.credentials);

    builder.home = directory / "builder";
    builder.state = builder.home / "state";
    receiver.home = directory / "receiver";
    receiver.state = receiver.home / "state";
    fs::create_directories(builder.home);
    fs::create_directories(receiver.home);

    project.id = "7d3c6a8e-1f52-4b7a-9c0e-2a4b6c8d0e1f";
    project.name = "SampleApp";
    project.path = sampleWorkspace().string();
    project.schemes = {"SampleApp"};
    project.configurations = {"Debug", "Release"};
    project.teamID = "ZUQSIMTEAM";
    project.automaticSigning = true;
    {
        As mac(builder);
        simulate({"setup"});
        simulate({"register-device", registered});
        ProjectStore::upsert(project);
    }
    As mac(receiver);
    simulate({"attach-phone", "--udid", registered, "--name", phoneName, "--os", "18.1"});
}

void JobTest::TearDown() {
    for (const Mac* mac : {&builder, &receiver}) {
        As as(*mac);
        TestSupport::run(TestSupport::binaryDirectory() / "apple-sim", {"stop-all"});
    }
    relay.reset();
    PipelineTest::TearDown();
}

JSON JobTest::submit(const std::string& mode, const std::string& configuration,
                     const std::string& scheme) {
    return builder.api->submit({builder.credentials.deviceID, receiver.credentials.deviceID,
                                project.id, scheme, configuration, deploymentMode(mode).value(),
                                registered});
}

API::Claim JobTest::claim(Mac& mac) {
    std::optional<API::Claim> claimed = mac.api->claim();
    EXPECT_TRUE(claimed.has_value());
    return claimed.value_or(API::Claim{});
}

std::string JobTest::state(const std::string& id) {
    return builder.api->job(id)["state"].text();
}

std::vector<std::string> JobTest::names(const fs::path& directory) {
    std::vector<std::string> result;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(directory, ignored)) {
        result.push_back(entry.path().filename().string());
    }
    std::sort(result.begin(), result.end());
    return result;
}
