// Archive and export as zuq runs them, and what a signature protects.
#include "SimulatorTest.hpp"

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* registered = "00008130-0011223344556677";

class BuildTest : public SimulatorTest {
protected:
    void SetUp() override {
        SimulatorTest::SetUp();
        control({"setup", "--enterprise"});
        control({"register-device", registered});
    }
};

void flipByte(const fs::path& path, std::size_t offset) {
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    char byte = 0;
    file.get(byte);
    file.seekp(static_cast<std::streamoff>(offset));
    file.put(static_cast<char>(byte ^ 0x20));
}

TEST_F(BuildTest, ExportedAppsVerifyAndCarryTheirMethodsSigning) {
    struct Case {
        std::string method;
        std::string getTaskAllow;
        std::string push;
        bool listsDevices;
    };
    const Case cases[] = {
        {"debugging", "<true/>", "<string>development</string>", true},
        {"release-testing", "<false/>", "<string>production</string>", true},
        {"enterprise", "<false/>", "<string>production</string>", false},
    };
    for (const Case& example : cases) {
        SCOPED_TRACE(example.method);
        fs::path app = buildApp(example.method, example.method);
        fs::path ipa = directory / example.method / "Export" / "SampleApp.ipa";
        TestSupport::Output names = tool("zipinfo", {"-1", ipa.string()});
        EXPECT_NE(names.out.find("Payload/SampleApp.app/PlugIns/SampleWidgetExtension.appex/"
                                 "embedded.mobileprovision"),
                  std::string::npos);
        EXPECT_EQ(tool("zipinfo", {"-l", ipa.string()}).out.find("\nl"), std::string::npos);

        TestSupport::Output verified = tool("codesign", {"--verify", "--deep", "--strict", app});
        EXPECT_EQ(verified.status, 0) << verified.err;

        fs::path extension = app / "PlugIns" / "SampleWidgetExtension.appex";
        for (const fs::path& bundle : {app, extension}) {
            bool isApp = bundle == app;
            std::string info = plistXML(TestSupport::readFile(bundle / "Info.plist"));
            EXPECT_EQ(plistValue(info, "CFBundleSupportedPlatforms"),
                      "<array>\n\t\t<string>iPhoneOS</string>\n\t</array>");
            EXPECT_EQ(plistValue(info, "MinimumOSVersion"), "<string>17.0</string>");
            EXPECT_EQ(plistValue(info, "CFBundleShortVersionString"), "<string>1.2</string>");

            TestSupport::Output signedWith =
                tool("codesign", {"-d", "--entitlements", ":-", bundle.string()});
            ASSERT_EQ(signedWith.status, 0) << signedWith.err;
            // Current codesign: one line, Apple's DTD by https, and a warning for the ":".
            EXPECT_EQ(signedWith.out.rfind(
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC "
                          "\"-//Apple//DTD PLIST 1.0//EN\" "
                          "\"https://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist "
                          "version=\"1.0\"><dict><key>",
                          0),
                      0u)
                << signedWith.out;
            EXPECT_EQ(signedWith.out.find('\n'), std::string::npos) << signedWith.out;
            EXPECT_TRUE(signedWith.out.ends_with("</dict></plist>")) << signedWith.out;
            EXPECT_NE(signedWith.err.find("\nWarning: Specifying ':' in the path is deprecated "
                                          "and will not work in a future release\n"),
                      std::string::npos)
                << signedWith.err;
            EXPECT_EQ(plistValue(signedWith.out, "get-task-allow"), example.getTaskAllow);
            EXPECT_EQ(plistValue(signedWith.out, "aps-environment"), isApp ? example.push : "");
            EXPECT_EQ(plistValue(signedWith.out, "application-identifier"),
                      std::string("<string>ZUQSIMTEAM.dev.zuq.SampleApp") +
                          (isApp ? "" : ".SampleWidget") + "</string>");

            TestSupport::Output profile =
                tool("security", {"cms", "-D", "-i", (bundle / "embedded.mobileprovision").string()});
            ASSERT_EQ(profile.status, 0) << profile.err;
            EXPECT_EQ(profile.out.find(registered) != std::string::npos, example.listsDevices);
            EXPECT_EQ(plistValue(profile.out, "ProvisionsAllDevices"),
                      example.listsDevices ? "" : "<true/>");
            EXPECT_NE(plistValue(profile.out, "ExpirationDate"), "");
        }
    }
}

TEST_F(BuildTest, AnyChangeToASignedAppFailsVerification) {
    buildApp("signed", "release-testing");
    fs::path ipa = directory / "signed" / "Export" / "SampleApp.ipa";
    control({"attach-phone", "--udid", registered});
    struct Case {
        const char* change;
        std::function<void(const fs::path& app)> apply;
        std::string message;
    };
    const fs::path extension = fs::path("PlugIns") / "SampleWidgetExtension.appex";
    const Case cases[] = {
        {"a resource byte", [](const fs::path& app) { flipByte(app / "Assets.car", 100); },
         "file modified: "},
        {"an executable byte", [](const fs::path& app) { flipByte(app / "SampleApp", 200); },
         "invalid signature (code or signature have been modified)"},
        {"Info.plist", [](const fs::path& app) { flipByte(app / "Info.plist", 60); },
         "invalid Info.plist"},
        {"an added file",
         [](const fs::path& app) { TestSupport::writeFile(app / "Extra.txt", "x"); },
         "file added: "},
        {"a removed file", [](const fs::path& app) { fs::remove(app / "PkgInfo"); },
         "file missing: "},
        {"the resource seal",
         [](const fs::path& app) { flipByte(app / "_CodeSignature" / "CodeResources", 300); },
         "invalid resource directory"},
        {"the extension's executable",
         [&](const fs::path& app) { flipByte(app / extension / "SampleWidgetExtension", 100); },
         "In subcomponent: "},
        {"the extension's profile",
         [&](const fs::path& app) { flipByte(app / extension / "embedded.mobileprovision", 50); },
         "In subcomponent: "},
    };
    int index = 0;
    for (const Case& example : cases) {
        SCOPED_TRACE(example.change);
        fs::path app = extract(ipa, directory / ("changed-" + std::to_string(index++)));
        ASSERT_EQ(tool("codesign", {"--verify", "--deep", "--strict", app}).status, 0);
        example.apply(app);
        TestSupport::Output verified = tool("codesign", {"--verify", "--deep", "--strict", app});
        EXPECT_EQ(verified.status, 1);
        EXPECT_NE(verified.err.find(example.message), std::string::npos) << verified.err;
        TestSupport::Output installed =
            tool("xcrun", {"devicectl", "device", "install", "app", "--device", registered, app});
        EXPECT_NE(installed.status, 0);
        // installd's words for the copy it staged, and what the simulator found.
        EXPECT_NE(installed.err.find("ERROR: Failed to verify code signature of /var/installd/"),
                  std::string::npos)
            << installed.err;
        EXPECT_NE(installed.err.find("(MIInstallerErrorDomain error 13 (0x0D))"), std::string::npos);
        EXPECT_NE(installed.err.find("AppleSimDetail = "), std::string::npos) << installed.err;
    }
    TestSupport::Output garbage = tool("security", {"cms", "-D", "-i", (ipa).string()});
    EXPECT_EQ(garbage.status, 1);
    EXPECT_EQ(garbage.err, "security: failed to decode message\n");
}

TEST_F(BuildTest, RefusesWhatXcodeRefuses) {
    // Before this Mac has downloaded any profile, automatic signing needs to be allowed to.
    TestSupport::Output fresh = archive(directory / "fresh", {"CODE_SIGN_STYLE=Automatic"});
    EXPECT_EQ(fresh.status, 65);
    EXPECT_NE(fresh.out.find("pass -allowProvisioningUpdates to xcodebuild"), std::string::npos);
    ASSERT_EQ(archive(directory / "ok").status, 0);
    EXPECT_EQ(archive(directory / "again", {"CODE_SIGN_STYLE=Automatic"}).status, 0);
    struct Case {
        const char* name;
        std::function<TestSupport::Output()> run;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"a team this Mac has no account for",
         [&] {
             return archive(directory / "team", {"-allowProvisioningUpdates",
                                                 "DEVELOPMENT_TEAM=OTHERTEAM1"});
         },
         65, "No Account for Team \"OTHERTEAM1\""},
        {"manual export without profiles",
         [&] {
             return exportArchive(directory / "ok", "release-testing",
                                  "<key>signingStyle</key><string>manual</string>", false);
         },
         70, "\"SampleWidgetExtension.appex\" requires a provisioning profile."},
        {"a wildcard profile for an app that uses push",
         [&] {
             return exportArchive(
                 directory / "ok", "release-testing",
                 "<key>signingStyle</key><string>manual</string><key>provisioningProfiles</key>"
                 "<dict><key>dev.zuq.SampleApp</key><string>Wildcard Ad Hoc</string>"
                 "<key>dev.zuq.SampleApp.SampleWidget</key><string>Wildcard Ad Hoc</string></dict>",
                 false);
         },
         70, "doesn't support the Push Notifications capability"},
        {"an export method Xcode does not know",
         [&] { return exportArchive(directory / "ok", "sideload"); }, 70,
         "exportOptionsPlist error for key \"method\""},
    };
    for (const Case& example : cases) {
        SCOPED_TRACE(example.name);
        TestSupport::Output output = example.run();
        EXPECT_EQ(output.status, example.status) << output.err;
        EXPECT_NE((output.out + output.err).find(example.message), std::string::npos)
            << output.out.substr(output.out.size() > 1500 ? output.out.size() - 1500 : 0)
            << output.err;
    }
}

TEST_F(BuildTest, TheNextBuildDoesWhatItWasToldOnce) {
    control({"next-build", "fail"});
    TestSupport::Output failed = archive(directory / "failed");
    EXPECT_EQ(failed.status, 65);
    EXPECT_NE(failed.out.find("** ARCHIVE FAILED **"), std::string::npos);
    EXPECT_NE(failed.err.find("The following build commands failed:"), std::string::npos);
    EXPECT_FALSE(fs::exists(directory / "failed" / "App.xcarchive"));

    control({"next-build", "flood", "48M"});
    control({"next-build", "payload", "6M"});
    TestSupport::Output flooded = archive(directory / "flooded");
    ASSERT_EQ(flooded.status, 0) << flooded.err;
    EXPECT_GE(flooded.out.size(), 48u << 20);
    ASSERT_EQ(exportArchive(directory / "flooded", "release-testing").status, 0);
    EXPECT_GE(fs::file_size(directory / "flooded" / "Export" / "SampleApp.ipa"), 6u << 20);

    TestSupport::Output plain = archive(directory / "plain");
    ASSERT_EQ(plain.status, 0);
    EXPECT_LT(plain.out.size(), 1u << 20);
    EXPECT_EQ(control({"status"})["next_build"],
              json({{"outcome", nullptr}, {"flood", 0}, {"payload", 0}, {"slow", 0.0}}));
}

} // namespace

namespace {

TEST_F(BuildTest, DittoKeepsLinksAsLinks) {
    fs::path tree = directory / "tree";
    TestSupport::writeFile(tree / "Payload" / "Deep.app" / "Resources" / "real.txt", "real");
    fs::create_symlink("Resources/real.txt", tree / "Payload" / "Deep.app" / "alias.txt");
    TestSupport::Output zipped = TestSupport::run(
        "/bin/sh", {"-c", "cd '" + tree.string() + "' && zip -q -r -y ../linked.ipa Payload"});
    ASSERT_EQ(zipped.status, 0) << zipped.err;
    TestSupport::Output expanded =
        tool("ditto", {"-x", "-k", (directory / "linked.ipa").string(), (directory / "out").string()});
    ASSERT_EQ(expanded.status, 0) << expanded.err;
    fs::path alias = directory / "out" / "Payload" / "Deep.app" / "alias.txt";
    ASSERT_TRUE(fs::is_symlink(alias));
    EXPECT_EQ(fs::read_symlink(alias), "Resources/real.txt");
    EXPECT_EQ(TestSupport::readFile(alias), "real");
    EXPECT_EQ(tool("ditto", {"-x", "-k", (directory / "missing.ipa").string(), "out"}).status, 1);
}

TEST_F(BuildTest, ReportsXcodeAndIdentitiesAsTheMacDoes) {
    TestSupport::Output version = tool("xcodebuild", {"-version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "Xcode 16.4\nBuild version 16F6\n");

    TestSupport::Output identities = tool("security", {"find-identity", "-v", "-p", "codesigning"});
    EXPECT_EQ(identities.status, 0);
    // "  1) <40 hex digits> "<name>"" per identity, then the count.
    std::istringstream lines(identities.out);
    std::vector<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 3u) << identities.out;
    const std::string names[] = {"\"Apple Development: Simulated Developer (",
                                 "\"Apple Distribution: Simulated Team (ZUQSIMTEAM)\""};
    for (std::size_t index = 0; index < 2; ++index) {
        EXPECT_EQ(rows[index].substr(0, 5), "  " + std::to_string(index + 1) + ") ");
        EXPECT_EQ(rows[index].find_first_not_of("0123456789ABCDEF", 5), 45u) << rows[index];
        EXPECT_EQ(rows[index].substr(46, names[index].size()), names[index]);
    }
    EXPECT_EQ(rows[2], "     2 valid identities found");

    // Certificates last a year: then none is valid and nothing can be signed.
    control({"clock", "advance", "366"});
    EXPECT_EQ(tool("security", {"find-identity", "-v", "-p", "codesigning"}).out,
              "     0 valid identities found\n");
    TestSupport::Output unsigned_ = archive(directory / "late");
    EXPECT_EQ(unsigned_.status, 65);
    EXPECT_NE(unsigned_.out.find("No signing certificate \"iOS Development\" found"),
              std::string::npos);

    control({"xcode", "remove"});
    TestSupport::Output none = tool("xcodebuild", {"-version"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("requires Xcode"), std::string::npos);
    EXPECT_EQ(tool("xcrun", {"devicectl", "list", "devices"}).status, 72);
}

} // namespace
