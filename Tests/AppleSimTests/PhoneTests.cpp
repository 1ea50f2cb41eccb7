// What a phone accepts: installs and launches through devicectl as zuq runs them.
#include "SimulatorTest.hpp"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class PhoneTest : public SimulatorTest {
protected:
    TestSupport::Output install(const std::string& udid, const fs::path& app) {
        return tool("xcrun", {"devicectl", "device", "install", "app", "--device", udid, app});
    }
    TestSupport::Output launch(const std::string& udid, const std::string& bundle) {
        return tool("xcrun", {"devicectl", "device", "process", "launch", "--device", udid,
                              "--terminate-existing", bundle});
    }
};

TEST_F(PhoneTest, InstallsOnlyWhatTheProfileAndThePhoneAllow) {
    control({"setup", "--enterprise"});
    const std::vector<std::vector<std::string>> phones = {
        {"--udid", "REGISTERED", "--os", "18.1"},
        {"--udid", "UNREGISTERED", "--os", "18.1"},
        {"--udid", "OLD", "--os", "16.4"},
        {"--udid", "DEVMODE-OFF", "--developer-mode", "off"},
        {"--udid", "UNPLUGGED", "--tunnel", "disconnected"},
    };
    for (const std::vector<std::string>& phone : phones) {
        std::vector<std::string> arguments = {"attach-phone"};
        arguments.insert(arguments.end(), phone.begin(), phone.end());
        control(arguments);
        if (phone[1] != "UNREGISTERED") {
            control({"register-device", phone[1]});
        }
    }
    fs::path adHoc = buildApp("adhoc", "release-testing");
    fs::path debug = buildApp("debug", "debugging");
    fs::path enterprise = buildApp("enterprise", "enterprise");

    struct Case {
        const char* name;
        std::string udid;
        fs::path app;
        std::string refusal; // empty: installs
    };
    const Case cases[] = {
        {"registered phone", "REGISTERED", adHoc, ""},
        {"phone missing from the profile", "UNREGISTERED", adHoc,
         "The device UNREGISTERED is not included in the provisioning profile"},
        {"enterprise profile covers every phone", "UNREGISTERED", enterprise, ""},
        {"iOS older than the app's minimum", "OLD", adHoc, "This app requires iOS 17.0 or later"},
        {"development build with Developer Mode off", "DEVMODE-OFF", debug,
         "Developer Mode is disabled"},
        {"distribution build with Developer Mode off", "DEVMODE-OFF", adHoc, ""},
        {"unplugged phone", "UNPLUGGED", adHoc, "Failed to find the device's tunnel"},
        {"unknown phone", "NOPE", adHoc, "The specified device was not found"},
    };
    for (const Case& example : cases) {
        SCOPED_TRACE(example.name);
        TestSupport::Output output = install(example.udid, example.app);
        if (example.refusal.empty()) {
            EXPECT_EQ(output.status, 0) << output.err;
            EXPECT_NE(output.out.find("App installed:"), std::string::npos);
        } else {
            EXPECT_EQ(output.status, 1);
            EXPECT_NE(output.err.find(example.refusal), std::string::npos) << output.err;
        }
    }
    json installs = control({"status"})["installs"];
    ASSERT_EQ(installs.size(), 3u);
    EXPECT_EQ(installs[0]["udid"], "REGISTERED");
    EXPECT_EQ(installs[0]["bundle_id"], "dev.zuq.SampleApp");
    EXPECT_EQ(installs[0]["version"], "1.2");

    TestSupport::Output launched = launch("REGISTERED", "dev.zuq.SampleApp");
    EXPECT_EQ(launched.status, 0) << launched.err;
    EXPECT_EQ(control({"status"})["launches"].size(), 1u);
    TestSupport::Output notInstalled = launch("OLD", "dev.zuq.SampleApp");
    EXPECT_EQ(notInstalled.status, 1);
    EXPECT_NE(notInstalled.err.find("is not installed"), std::string::npos) << notInstalled.err;
    control({"next-launch", "fail"});
    EXPECT_EQ(launch("REGISTERED", "dev.zuq.SampleApp").status, 1);
    EXPECT_EQ(launch("REGISTERED", "dev.zuq.SampleApp").status, 0);

    // A year on, the profile an app was signed with has expired: the phone refuses to install
    // it again and to launch the copy it has.
    control({"clock", "advance", "366"});
    TestSupport::Output expired = install("REGISTERED", adHoc);
    EXPECT_EQ(expired.status, 1);
    EXPECT_NE(expired.err.find("expired on"), std::string::npos) << expired.err;
    TestSupport::Output stale = launch("REGISTERED", "dev.zuq.SampleApp");
    EXPECT_EQ(stale.status, 1);
    EXPECT_NE(stale.err.find("Security"), std::string::npos) << stale.err;
}

} // namespace
