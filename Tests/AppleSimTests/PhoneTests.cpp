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
        {"--udid", "UNPLUGGED", "--tunnel", "unavailable"},
        {"--udid", "IDLE", "--tunnel", "disconnected", "--transport", "localNetwork"},
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
        {"paired phone whose tunnel is not open yet", "IDLE", adHoc, ""},
        {"unknown phone", "NOPE", adHoc, "The specified device was not found"},
    };
    for (const Case& example : cases) {
        SCOPED_TRACE(example.name);
        TestSupport::Output output = install(example.udid, example.app);
        if (example.refusal.empty()) {
            EXPECT_EQ(output.status, 0) << output.err;
            EXPECT_NE(output.out.find("Acquired tunnel connection to device."), std::string::npos);
            EXPECT_NE(output.out.find("App installed:"), std::string::npos);
        } else {
            EXPECT_EQ(output.status, 1);
            EXPECT_NE(output.err.find(example.refusal), std::string::npos) << output.err;
        }
    }
    json installs = control({"status"})["installs"];
    ASSERT_EQ(installs.size(), 4u);
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

// With --json-output, devicectl writes its document whatever the outcome: the result, or the
// NSError that ended the command with the errors beneath it, which it also prints.
TEST_F(PhoneTest, WritesItsJSONDocumentForEveryOutcome) {
    control({"setup"});
    control({"attach-phone", "--udid", "REGISTERED"});
    control({"register-device", "REGISTERED"});
    control({"attach-phone", "--udid", "STRANGER", "--name", "Guest"});
    fs::path app = buildApp("adhoc", "release-testing");
    fs::path document = directory / "out.json";
    auto run = [&](std::vector<std::string> arguments) {
        std::vector<std::string> words = {"devicectl", "device"};
        words.insert(words.end(), arguments.begin(), arguments.end());
        TestSupport::Output output = tool("xcrun", words);
        json written = json::parse(TestSupport::readFile(document), nullptr, false);
        fs::remove(document);
        return std::pair(output, written);
    };

    auto [installed, result] = run({"install", "app", "--device", "REGISTERED", "--json-output",
                                     document.string(), app.string()});
    EXPECT_EQ(installed.status, 0) << installed.err;
    EXPECT_EQ(result["info"]["outcome"], "success");
    EXPECT_EQ(result["info"]["commandType"], "devicectl.device.install.app");
    EXPECT_EQ(result["result"]["installedApplications"][0]["bundleID"], "dev.zuq.SampleApp");

    auto [refused, failed] = run({"install", "app", "--device", "STRANGER", "-j",
                                  document.string(), app.string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(failed["info"]["outcome"], "failed");
    const json& outer = failed["error"];
    EXPECT_EQ(outer["domain"], "com.apple.dt.CoreDeviceError");
    EXPECT_EQ(outer["code"], 3002);
    EXPECT_EQ(outer["userInfo"]["NSLocalizedDescription"]["string"],
              "Failed to install the app on the device.");
    EXPECT_EQ(outer["userInfo"]["NSURL"]["url"], "file://" + app.string() + "/");
    const json& inner = outer["userInfo"]["NSUnderlyingError"]["error"];
    EXPECT_EQ(inner["domain"], "MIInstallerErrorDomain");
    EXPECT_EQ(inner["code"], 13);
    std::string description = inner["userInfo"]["NSLocalizedDescription"]["string"];
    EXPECT_TRUE(description.starts_with("Failed to verify code signature of /var/installd/"))
        << description;
    EXPECT_TRUE(description.ends_with(
        "SampleApp.app : 0xe8008015 (A valid provisioning profile for this executable was not "
        "found.)"))
        << description;
    EXPECT_EQ(inner["userInfo"]["LegacyErrorString"]["string"], "ApplicationVerificationFailed");
    // The same error for people: each level, the one beneath after a line of dashes.
    EXPECT_EQ(refused.err.rfind("ERROR: Failed to install the app on the device. "
                                "(com.apple.dt.CoreDeviceError error 3002 (0xBBA))\n       NSURL = file://",
                                0),
              0u)
        << refused.err;
    EXPECT_NE(refused.err.find("\n----------------------------------------------------------------"
                               "----------------\nERROR: " + description +
                               " (MIInstallerErrorDomain error 13 (0x0D))\n"),
              std::string::npos)
        << refused.err;

    auto [launched, process] = run({"process", "launch", "--device", "REGISTERED",
                                    "--terminate-existing", "--json-output", document.string(),
                                    "--", "dev.zuq.SampleApp"});
    EXPECT_EQ(launched.status, 0) << launched.err;
    EXPECT_GT(process["result"]["process"]["processIdentifier"], 0);
    // After "--" a word is the bundle identifier even when it looks like an option; before it,
    // devicectl refuses an option it does not know.
    auto [odd, missing] = run({"process", "launch", "--device", "REGISTERED", "--json-output",
                               document.string(), "--", "-dev.zuq.SampleApp"});
    EXPECT_EQ(odd.status, 1);
    EXPECT_EQ(missing["error"]["userInfo"]["NSUnderlyingError"]["error"]["code"], 4);
    TestSupport::Output option = tool("xcrun", {"devicectl", "device", "process", "launch",
                                                "--device", "REGISTERED", "-dev.zuq.SampleApp"});
    EXPECT_EQ(option.status, 64);
    EXPECT_NE(option.err.find("unknown option -dev.zuq.SampleApp"), std::string::npos) << option.err;
}

TEST_F(PhoneTest, ALockedPhoneABusyOneAndAFullOne) {
    control({"setup"});
    control({"attach-phone", "--udid", "PHONE", "--locked"});
    control({"register-device", "PHONE"});
    fs::path app = buildApp("adhoc", "release-testing");

    // Locked from the start, the developer disk image cannot be mounted.
    TestSupport::Output locked = install("PHONE", app);
    EXPECT_EQ(locked.status, 1);
    EXPECT_NE(locked.err.find("The developer disk image could not be mounted on this device. "
                              "(com.apple.dt.CoreDeviceError error 12040 (0x2F08))"),
              std::string::npos)
        << locked.err;
    EXPECT_NE(locked.err.find("(kAMDMobileImageMounterDeviceLocked: The device is locked.) "
                              "(com.apple.mobiledevice error -402652958 (0xE80000E2))"),
              std::string::npos)
        << locked.err;

    // A phone that unlocks itself, as its owner would: refused until then.
    control({"lock-phone", "PHONE", "--unlock-after", "1"});
    EXPECT_EQ(install("PHONE", app).status, 1);
    EXPECT_TRUE(eventually([&] { return install("PHONE", app).status == 0; }));
    EXPECT_FALSE(control({"status"})["phones"][0]["locked"].get<bool>());

    // The image stays mounted: installs go on while locked, but the app does not open.
    control({"lock-phone", "PHONE"});
    EXPECT_EQ(install("PHONE", app).status, 0);
    TestSupport::Output closed = launch("PHONE", "dev.zuq.SampleApp");
    EXPECT_EQ(closed.status, 1);
    EXPECT_NE(closed.err.find("for reason: Locked (\"Unable to launch dev.zuq.SampleApp because "
                              "the device was not, or could not be, unlocked.\")"),
              std::string::npos)
        << closed.err;
    control({"unlock-phone", "PHONE"});
    EXPECT_EQ(launch("PHONE", "dev.zuq.SampleApp").status, 0);

    control({"next-install", "busy"});
    TestSupport::Output busy = install("PHONE", app);
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.err.find("(IXErrorDomain error 46 (0x2E))"), std::string::npos) << busy.err;
    EXPECT_EQ(install("PHONE", app).status, 0) << "busy once";
    control({"next-install", "no-space"});
    TestSupport::Output full = install("PHONE", app);
    EXPECT_NE(full.err.find("failed: No space left on device (NSPOSIXErrorDomain error 28 (0x1C))"),
              std::string::npos)
        << full.err;
    EXPECT_EQ(control({"status"})["next_install"], json({{"slow", 0}, {"refusal", nullptr}}));
}

} // namespace
