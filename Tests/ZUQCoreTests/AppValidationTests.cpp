#include "BuildPipeline.hpp"
#include "PipelineTest.hpp"
#include "Platform/PropertyList.hpp"

#include <functional>
#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using Platform::PropertyList;
using TestSupport::failure;

namespace {

class AppValidationTest : public PipelineTest {
protected:
    void SetUp() override {
        PipelineTest::SetUp();
        simulate({"setup"});
        simulate({"register-device", registered});
    }

    // A copy of the app in `ipa`, to change freely.
    fs::path unpack(const fs::path& ipa, const std::string& name) {
        return BuildPipeline::extractIPA(ipa, directory / "apps" / name, std::nullopt, "job");
    }

    // A tools directory like the simulator's, whose codesign accepts every signature, for
    // changes that a real signature check would catch first.
    fs::path lenientTools() {
        fs::path tools = directory / "lenient-tools";
        fs::path real = TestSupport::binaryDirectory() / "apple-tools";
        fs::create_directories(tools);
        for (const auto& entry : fs::directory_iterator(real)) {
            if (entry.path().filename() != "codesign") {
                fs::create_symlink(entry.path(), tools / entry.path().filename());
            }
        }
        TestSupport::writeFile(tools / "codesign",
                               "#!/bin/sh\n[ \"$1\" = --verify ] && exit 0\nexec '" +
                                   (real / "codesign").string() + "' \"$@\"\n");
        ::chmod((tools / "codesign").c_str(), 0755);
        return tools;
    }
};

void editInfo(const fs::path& bundle, const std::function<void(PropertyList::Dictionary&)>& edit) {
    PropertyList::Dictionary info = PropertyList::read(bundle / "Info.plist").fields();
    edit(info);
    TestSupport::writeFile(bundle / "Info.plist", PropertyList(info).xml());
}

// A change that gives the app another bundle identifier.
std::function<void(const fs::path&)> bundleIdentifier(const std::string& identifier) {
    return [identifier](const fs::path& app) {
        editInfo(app, [&](auto& info) { info["CFBundleIdentifier"] = identifier; });
    };
}

JSON summary(const std::string& push, const std::string& minimum = "17.0") {
    return JSON::object({{"bundle_id", "dev.zuq.SampleApp"},
                         {"version", "1.2"},
                         {"build", "7"},
                         {"minimum_os", minimum},
                         {"aps_environment", push}});
}

TEST_F(AppValidationTest, DecidesWhetherTheAppRunsOnThePhoneInTheMode) {
    fs::path adhocIPA = exportSample(directory / "adhoc", "release-testing");
    fs::path debugIPA = exportSample(directory / "debug", "debugging");
    fs::path lenient = lenientTools();
    const std::string unregistered = "00008130-00AABBCCDDEEFF00";

    struct Case {
        const char* name;
        bool debugBuild;
        std::string mode, udid, phoneOS;
        std::function<void(const fs::path& app)> change; // applied with a lenient codesign
        std::string expected;                            // an error, or the summary's pretty form
    };
    const Case cases[] = {
        {"ad hoc", false, "adhoc", registered, "18.1", {}, summary("production").pretty()},
        {"debug", true, "debug", registered, "", {}, summary("development").pretty()},
        {"phone on the minimum, written shorter", false, "adhoc", registered, "17", {},
         summary("production").pretty()},
        {"ad hoc build for a debug job", false, "debug", registered, "18.1", {},
         "Debug export is not development signed"},
        {"debug build for an ad hoc job", true, "adhoc", registered, "18.1", {},
         "Ad Hoc export still has development debugger entitlements"},
        {"phone not in the profile", false, "adhoc", unregistered, "18.1", {},
         "The selected iPhone UDID is missing from the provisioning profile for "
         "dev.zuq.SampleApp. Register it in the Apple Developer team and regenerate the "
         "profile."},
        {"phone too old", false, "adhoc", registered, "16.4", {},
         "App requires iOS 17.0; selected device has 16.4"},
        {"extension without a profile", false, "adhoc", registered, "18.1",
         [](const fs::path& app) {
             fs::remove(app / "PlugIns/SampleWidgetExtension.appex/embedded.mobileprovision");
         },
         "Missing provisioning profile in SampleWidgetExtension.appex"},
        {"embedded Watch app", false, "adhoc", registered, "18.1",
         [](const fs::path& app) { fs::create_directories(app / "Watch/Face.app"); },
         "Apps with embedded Watch apps need companion-device provisioning, which this ZUQ "
         "version does not yet support."},
        {"built for the simulator", false, "adhoc", registered, "18.1",
         [](const fs::path& app) {
             editInfo(app, [](auto& info) {
                 info["CFBundleSupportedPlatforms"] = PropertyList::Array{"iPhoneSimulator"};
             });
         },
         "The build is not a physical-device iOS app"},
        {"no bundle identifier", false, "adhoc", registered, "18.1",
         [](const fs::path& app) {
             editInfo(app, [](auto& info) { info.erase("CFBundleIdentifier"); });
         },
         "The build is not a physical-device iOS app"},
        // The identifier goes to the device tool's command line: Apple's alphabet only.
        {"a bundle identifier with a space", false, "adhoc", registered, "18.1",
         bundleIdentifier("dev.zuq.Sample App"),
         "The app's bundle identifier \"dev.zuq.Sample App\" is not valid: it may hold only "
         "letters, digits, hyphens and periods."},
        {"a bundle identifier with an underscore", false, "adhoc", registered, "18.1",
         bundleIdentifier("dev.zuq.Sample_App"),
         "The app's bundle identifier \"dev.zuq.Sample_App\" is not valid: it may hold only "
         "letters, digits, hyphens and periods."},
        {"a bundle identifier with a letter beyond ASCII", false, "adhoc", registered, "18.1",
         bundleIdentifier("dev.zuq.Sampl\u00e9App"),
         "The app's bundle identifier \"dev.zuq.Sampl\u00e9App\" is not valid: it may hold only "
         "letters, digits, hyphens and periods."},
        {"a bundle identifier with a slash and a line break", false, "adhoc", registered, "18.1",
         bundleIdentifier("dev/zuq\nx"),
         "The app's bundle identifier \"dev/zuq\nx\" is not valid: it may hold only letters, "
         "digits, hyphens and periods."},
        // Allowed characters all; the profile decides (and the device tool is told where its
        // options end).
        {"a bundle identifier beginning with a hyphen", false, "adhoc", registered, "18.1",
         bundleIdentifier("-dev.zuq.SampleApp"), "Bundle ID and signing profile do not match"},
        {"Info.plist not a dictionary", false, "adhoc", registered, "18.1",
         [](const fs::path& app) {
             TestSupport::writeFile(app / "Info.plist", PropertyList(PropertyList::Array{}).xml());
         },
         "Invalid plist: Info.plist"},
        {"no minimum OS", false, "adhoc", registered, "1.0",
         [](const fs::path& app) {
             editInfo(app, [](auto& info) { info.erase("MinimumOSVersion"); });
         },
         summary("production", "0").pretty()},
    };
    int number = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path app = unpack(c.debugBuild ? debugIPA : adhocIPA, std::to_string(++number));
        std::unique_ptr<TestSupport::ScopedEnvironment> tools;
        if (c.change) {
            c.change(app);
            tools = std::make_unique<TestSupport::ScopedEnvironment>("ZUQ_TOOLS_DIR",
                                                                     lenient.string());
        }
        std::string result;
        try {
            result = BuildPipeline::validateApp(app, c.udid, deploymentMode(c.mode).value(), c.phoneOS, std::nullopt,
                                                "job")
                         .pretty();
        } catch (const std::exception& error) {
            result = error.what();
        }
        EXPECT_EQ(result, c.expected);
    }
}

TEST_F(AppValidationTest, ASignatureBrokenByOneByteFailsWithCodesignsWords) {
    fs::path app = unpack(exportSample(directory / "adhoc", "release-testing"), "broken");
    flipByte(app / "SampleApp", 100);
    fs::path log = directory / "build.log";
    std::string message = failure([&] {
        BuildPipeline::validateApp(app, registered, DeploymentMode::adhoc, "18.1", log, "job");
    });
    EXPECT_EQ(message.rfind("codesign failed (1): ", 0), 0u) << message;
    EXPECT_TRUE(message.ends_with("\nFull log: " + log.string())) << message;
    EXPECT_EQ(TestSupport::readFile(log).rfind("\n$ codesign --verify --deep --strict " +
                                                   app.string() + "\n",
                                               0),
              0u);
}

} // namespace
