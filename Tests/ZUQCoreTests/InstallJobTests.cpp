#include "ArtifactCrypto.hpp"
#include "BuildPipeline.hpp"
#include "Devices.hpp"
#include "PipelineTest.hpp"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::failure;

namespace {

const std::string mismatch = "Encrypted manifest does not match this deployment";

class InstallJobTest : public JobTest {
protected:
    // Plays the builder by hand for the job it claims: packs `ipa` with the manifest a build
    // would write, changed by `changes`, encrypts it for `encryptedFor` (the job by default),
    // uploads it and reports the build finished. Returns the job's id.
    std::string deliver(const fs::path& ipa, const JSON::Object& changes = {},
                        std::optional<std::string> encryptedFor = std::nullopt) {
        submit();
        API::Claim claimed = claim(builder);
        std::string job = claimed.job["id"].text();
        JSON::Object manifest{{"bundle_id", "dev.zuq.SampleApp"},
                              {"version", "1.2"},
                              {"build", "7"},
                              {"minimum_os", "17.0"},
                              {"aps_environment", "production"},
                              {"job_id", job},
                              {"receiver_id", receiver.credentials.deviceID},
                              {"udid", registered},
                              {"mode", "adhoc"},
                              {"ipa_sha256", ArtifactCrypto::sha256(ipa)}};
        for (const auto& [key, value] : changes) {
            manifest[key] = value;
        }
        fs::path package = directory / "delivery.zuqpkg", encrypted = directory / "delivery.zuq";
        ArtifactCrypto::package(ipa, manifest, package);
        ArtifactCrypto::encrypt(package, encrypted, builder.credentials.encryptionKey,
                                encryptedFor.value_or(job));
        builder.api->upload(job, claimed.lease, encrypted);
        builder.api->finishBuild(job, claimed.lease, manifest);
        return job;
    }

    // Installs the job waiting for the receiver; returns the error's message or "no error".
    std::string install(const BuildPipeline::Event& event = [](const std::string&) {}) {
        API::Claim claimed = claim(receiver);
        id = claimed.job["id"].text();
        As as(receiver);
        return failure([&] {
            BuildPipeline::install(claimed.job, claimed.lease, receiver.credentials,
                                   *receiver.api, event);
        });
    }

    fs::path receive() { return receiver.state / "Jobs" / id / "Receive"; }

    JSON world() {
        As as(receiver);
        return simulate({"status"});
    }

    std::string id; // of the last job installed
};

// `ipa` with one byte of the app's executable changed, zipped again.
fs::path tampered(const fs::path& ipa, const fs::path& work) {
    fs::path app = BuildPipeline::extractIPA(ipa, work / "Extracted", std::nullopt, std::nullopt);
    flipByte(app / "SampleApp", 200);
    fs::path result = work / "Tampered.ipa";
    TestSupport::Output zipped = TestSupport::run(
        "/bin/sh", {"-c", "cd \"$0\" && zip -qry \"$1\" Payload", (work / "Extracted").string(),
                    result.string()});
    EXPECT_EQ(zipped.status, 0) << zipped.err;
    return result;
}

TEST_F(InstallJobTest, RefusesABuildNotMeantForThisDeployment) {
    fs::path good, unlisted;
    {
        As as(builder);
        good = exportSample(directory / "good", "release-testing");
    }
    {
        // A Mac whose team has never heard of the phone.
        fs::path strangersHome = directory / "stranger";
        fs::create_directories(strangersHome);
        TestSupport::ScopedEnvironment mac("HOME", strangersHome.string());
        simulate({"setup"});
        unlisted = exportSample(directory / "stranger-build", "release-testing");
    }
    fs::path broken = tampered(good, directory / "tampered");
    const std::string otherMac = "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d";

    struct Case {
        const char* name;
        fs::path ipa;
        JSON::Object changes;
        std::optional<std::string> encryptedFor;
        std::string expected; // or its start, ending with "…"
    };
    const Case cases[] = {
        {"another job's package", good, {{"job_id", "5f0c1a2b-3d4e-4f60-8172-93a4b5c6d7e8"}},
         std::nullopt, mismatch},
        {"another Mac's package", good, {{"receiver_id", otherMac}}, std::nullopt, mismatch},
        {"another phone's package", good, {{"udid", "00008130-00AABBCCDDEEFF00"}}, std::nullopt,
         mismatch},
        {"a debug package for an ad hoc job", good, {{"mode", "debug"}}, std::nullopt, mismatch},
        {"a manifest without members", good,
         {{"receiver_id", nullptr}, {"udid", 7}}, std::nullopt, mismatch},
        {"another app than the manifest names", good, {{"bundle_id", "dev.zuq.Other"}},
         std::nullopt, "App bundle ID does not match the encrypted manifest"},
        {"encrypted for another job", good, {}, "5f0c1a2b-3d4e-4f60-8172-93a4b5c6d7e8",
         std::string(ArtifactCrypto::authenticationFailure)},
        {"a profile without the phone", unlisted, {}, std::nullopt,
         "The selected iPhone UDID is missing from the provisioning profile for "
         "dev.zuq.SampleApp. Register it in the Apple Developer team and regenerate the "
         "profile."},
        {"a signature broken by one byte", broken, {}, std::nullopt, "codesign failed (1): …"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t installs = world()["installs"].items().size();
        deliver(c.ipa, c.changes, c.encryptedFor);
        std::string message = install();
        if (c.expected.ends_with("…")) {
            EXPECT_EQ(message.rfind(c.expected.substr(0, c.expected.size() - 3), 0), 0u)
                << message;
        } else {
            EXPECT_EQ(message, c.expected);
        }
        EXPECT_EQ(world()["installs"].items().size(), installs) << "installed anyway";
        for (const std::string& name : names(receive())) {
            EXPECT_EQ(name, "install.log") << "left behind";
        }
    }
}

TEST_F(InstallJobTest, ABuildAlteredOnTheRelayIsRefusedBeforeDecryption) {
    fs::path ipa;
    {
        As as(builder);
        ipa = exportSample(directory / "good", "release-testing");
    }
    std::string job = deliver(ipa);
    std::vector<fs::path> stored;
    for (const auto& entry : fs::directory_iterator(relay->dataDirectory() / "artifacts")) {
        stored.push_back(entry.path());
    }
    ASSERT_EQ(stored.size(), 1u);
    {
        std::fstream file(stored[0], std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(1000);
        file.put('!');
    }
    EXPECT_EQ(install(), "Downloaded build checksum mismatch");
    EXPECT_EQ(names(receive()), std::vector<std::string>{});
}

TEST_F(InstallJobTest, NothingIsDownloadedForAnotherMacOrAMissingPhone) {
    fs::path ipa;
    {
        As as(builder);
        ipa = exportSample(directory / "good", "release-testing");
    }
    deliver(ipa);
    API::Claim claimed = claim(receiver);
    id = claimed.job["id"].text();
    As as(receiver);
    JSON::Object elsewhere = claimed.job.fields();
    elsewhere["receiver_id"] = builder.credentials.deviceID;
    EXPECT_EQ(failure([&] {
                  BuildPipeline::install(elsewhere, claimed.lease, receiver.credentials,
                                         *receiver.api, [](const std::string&) {});
              }),
              "Job is addressed to another Mac");
    simulate({"detach-phone", registered});
    EXPECT_EQ(failure([&] {
                  BuildPipeline::install(claimed.job, claimed.lease, receiver.credentials,
                                         *receiver.api, [](const std::string&) {});
              }),
              "The selected iPhone/iPad is unavailable. Connect it, trust this Mac, enable "
              "Developer Mode, and unlock it.");
    EXPECT_FALSE(fs::exists(receiver.state / "Jobs" / id));
}

TEST_F(InstallJobTest, AJobCancelledDuringTheInstallIsNotLaunched) {
    fs::path ipa;
    {
        As as(builder);
        ipa = exportSample(directory / "good", "release-testing");
    }
    deliver(ipa);
    std::string message = install([&](const std::string& text) {
        if (text.starts_with("Installing on ")) {
            builder.api->cancel(id);
        }
    });
    EXPECT_EQ(message, "Job stopped: cancelled");
    JSON status = world();
    EXPECT_EQ(status["installs"].items().size(), 1u);
    EXPECT_EQ(status["launches"].items().size(), 0u);
    EXPECT_EQ(names(receive()), std::vector<std::string>{"install.log"});
}

TEST_F(InstallJobTest, APhoneRefusesAProfileThatExpiredSinceTheBuild) {
    fs::path ipa;
    {
        As as(builder);
        ipa = exportSample(directory / "good", "release-testing");
    }
    deliver(ipa);
    {
        As as(receiver);
        simulate({"clock", "advance", "400"});
    }
    std::string message = install();
    EXPECT_EQ(message.rfind("The app's provisioning profile does not list this device or has "
                            "expired. Register the device with the team, let Xcode make a new "
                            "profile, and build again.\ndevicectl: Failed to verify code "
                            "signature of ",
                            0),
              0u)
        << message;
    EXPECT_NE(message.find(": 0xe8008015 (A valid provisioning profile for this executable was "
                           "not found.)\nxcrun failed (1): ERROR: Failed to install the app on "
                           "the device."),
              std::string::npos)
        << message;
    EXPECT_TRUE(message.ends_with("\nFull log: " + (receive() / "install.log").string()));
    EXPECT_EQ(world()["installs"].items().size(), 0u);
    EXPECT_EQ(names(receive()), std::vector<std::string>{"install.log"});
}

} // namespace

namespace {

const std::string lockedAdvice = "The device is locked. Unlock it and keep it unlocked until the "
                                 "app has launched, then run the job again.";

TEST_F(InstallJobTest, ALockedPhoneUnlockedAfterTenSecondsGetsTheApp) {
    fs::path ipa;
    {
        As as(builder);
        ipa = exportSample(directory / "good", "release-testing");
    }
    deliver(ipa);
    {
        As as(receiver);
        EXPECT_EQ(simulate({"status"})["phones"].items()[0]["tunnel"], JSON("disconnected"))
            << "attached as a phone idles: devicectl opens the tunnel itself";
        simulate({"lock-phone", registered, "--unlock-after", "10"});
    }
    std::vector<std::string> events;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(install([&](const std::string& text) { events.push_back(text); }), "no error");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(9));
    EXPECT_EQ(std::count(events.begin(), events.end(),
                         "The device is locked: unlock it to go on. Trying again for up to 120 "
                         "seconds."),
              1)
        << "told once, not at every try";
    JSON status = world();
    EXPECT_EQ(status["installs"].items().size(), 1u);
    EXPECT_EQ(status["launches"].items().size(), 1u);
    EXPECT_EQ(state(id), "succeeded");
}

// The device tool's side of an install, against the simulated phone of this Mac: the requests
// as the job makes them, with what devicectl answers when it refuses.
class DeviceRequestTest : public PipelineTest {
protected:
    void SetUp() override {
        PipelineTest::SetUp();
        simulate({"setup"});
        simulate({"register-device", registered});
        simulate({"attach-phone", "--udid", registered, "--name", "Test iPhone"});
        log = directory / "install.log";
    }

    fs::path app(const std::string& method = "release-testing") {
        fs::path work = directory / method;
        if (!fs::exists(work / "Extracted")) {
            BuildPipeline::extractIPA(exportSample(work, method), work / "Extracted", std::nullopt,
                                      std::nullopt);
        }
        return work / "Extracted/Payload/SampleApp.app";
    }

    std::string install(const std::string& udid, const fs::path& bundle,
                        Devices::Patience patience = {}) {
        return failure([&] {
            Devices::install(udid, bundle, log, "job", {}, [&](const std::string& text) {
                notices.push_back(text);
            }, patience);
        });
    }

    std::string launch(const std::string& udid, const std::string& bundleID,
                       Devices::Patience patience = {}) {
        return failure([&] {
            Devices::launch(udid, bundleID, log, "job", {}, [&](const std::string& text) {
                notices.push_back(text);
            }, patience);
        });
    }

    fs::path log;
    std::vector<std::string> notices;
};

TEST_F(DeviceRequestTest, EachRefusalSaysWhatToDoThenTheToolsWords) {
    const std::string stranger = "00008130-00AABBCCDDEEFF00";
    simulate({"attach-phone", "--udid", stranger, "--name", "Guest iPhone"});
    simulate({"attach-phone", "--udid", "00008130-0000000000000DEF", "--name", "Locked-down",
              "--developer-mode", "off"});
    simulate({"register-device", "00008130-0000000000000DEF"});
    fs::path adhoc = app(), debug = app("debugging");
    fs::path broken = directory / "broken/SampleApp.app";
    fs::create_directories(broken.parent_path());
    fs::copy(adhoc, broken, fs::copy_options::recursive);
    flipByte(broken / "SampleApp", 300);

    struct Case {
        const char* name;
        std::function<std::string()> request;
        std::string headline; // the first line
        std::string tool;     // what follows "devicectl: ", or its start
    };
    const Case cases[] = {
        {"a phone the profile does not list", [&] { return install(stranger, adhoc); },
         "The app's provisioning profile does not list this device or has expired. Register the "
         "device with the team, let Xcode make a new profile, and build again.",
         "Failed to verify code signature of /var/installd/"},
        {"a development build with Developer Mode off",
         [&] { return install("00008130-0000000000000DEF", debug); },
         "Developer Mode is off on the device. Turn it on in Settings > Privacy & Security > "
         "Developer Mode, restart the device when asked, then run the job again.",
         "Developer Mode is disabled on Locked-down."},
        {"a signature broken by one byte", [&] { return install(registered, broken); },
         "The app's signature or entitlements are not valid for this device. Check the signing "
         "settings and the capabilities the provisioning profile allows, and build again.",
         "Failed to verify code signature of "},
        {"a full phone",
         [&] {
             simulate({"next-install", "no-space"});
             return install(registered, adhoc);
         },
         "The device does not have enough free storage for the app. Free some space on it, then "
         "run the job again.",
         "copyfile of file:///private/var/mobile/Media/PublicStaging/SampleApp.app/ failed: No "
         "space left on device"},
        {"an app that is not installed", [&] { return launch(stranger, "dev.zuq.SampleApp"); },
         "Launching the app on the device failed: The application dev.zuq.SampleApp is not "
         "installed on Guest iPhone.",
         ""},
        {"a profile that expired since the install",
         [&] {
             EXPECT_EQ(install(registered, adhoc), "no error");
             simulate({"clock", "advance", "400"});
             return launch(registered, "dev.zuq.SampleApp");
         },
         "The app's signature or entitlements are not valid for this device. Check the signing "
         "settings and the capabilities the provisioning profile allows, and build again.",
         "The request was denied by service delegate (SBMainWorkspace) for reason: Security"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string message = c.request();
        std::size_t firstLine = message.find('\n');
        ASSERT_NE(firstLine, std::string::npos) << message;
        EXPECT_EQ(message.substr(0, firstLine), c.headline);
        std::string rest = message.substr(firstLine + 1);
        if (!c.tool.empty()) {
            EXPECT_EQ(rest.rfind("devicectl: " + c.tool, 0), 0u) << rest;
            rest = rest.substr(rest.find('\n') + 1);
        }
        // Then the tool's own words and the log, as the process runner words them.
        EXPECT_EQ(rest.rfind("xcrun failed (1): ERROR: ", 0), 0u) << rest;
        EXPECT_TRUE(message.ends_with("\nFull log: " + log.string())) << message;
    }
    EXPECT_TRUE(notices.empty()) << "none of these is worth waiting for";
    EXPECT_EQ(simulate({"status"})["clock"]["offset_days"], JSON(400));
}

TEST_F(DeviceRequestTest, ABusyPhoneIsTriedAgain) {
    simulate({"next-install", "busy"});
    EXPECT_EQ(install(registered, app(), {std::chrono::seconds(20), std::chrono::seconds(1)}),
              "no error");
    EXPECT_EQ(notices, std::vector<std::string>{
                           "The device is busy. Trying again for up to 20 seconds."});
    std::string transcript = TestSupport::readFile(log);
    std::size_t tries = 0;
    for (std::size_t at = 0; (at = transcript.find("$ xcrun devicectl device install app", at)) !=
                             std::string::npos;
         ++at) {
        ++tries;
    }
    EXPECT_EQ(tries, 2u) << transcript;
    EXPECT_NE(transcript.find("A coordinated app install already exists"), std::string::npos);
    EXPECT_EQ(simulate({"status"})["installs"].items().size(), 1u);
}

TEST_F(DeviceRequestTest, APhoneThatStaysLockedFailsWithinTheBound) {
    fs::path bundle = app();
    // Locked since it was plugged in: the developer disk image cannot be mounted.
    simulate({"lock-phone", registered});
    auto started = std::chrono::steady_clock::now();
    std::string message =
        install(registered, bundle, {std::chrono::seconds(3), std::chrono::seconds(1)});
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(message.substr(0, message.find('\n')), lockedAdvice);
    EXPECT_NE(message.find("\ndevicectl: Failed to mount "), std::string::npos) << message;
    EXPECT_NE(message.find("kAMDMobileImageMounterDeviceLocked: The device is locked."),
              std::string::npos);
    EXPECT_GE(took, std::chrono::seconds(2));
    EXPECT_LT(took, std::chrono::seconds(8));
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_TRUE(simulate({"status"})["installs"].items().empty());

    // Unlocked, it takes the app; locked again, the app is there but does not open.
    simulate({"unlock-phone", registered});
    EXPECT_EQ(install(registered, bundle), "no error");
    simulate({"lock-phone", registered});
    message = launch(registered, "dev.zuq.SampleApp", {std::chrono::seconds(2), std::chrono::seconds(1)});
    EXPECT_EQ(message.substr(0, message.find('\n')), lockedAdvice);
    EXPECT_NE(message.find("could not be, unlocked"), std::string::npos) << message;
    EXPECT_TRUE(simulate({"status"})["launches"].items().empty());
    simulate({"unlock-phone", registered});
    EXPECT_EQ(launch(registered, "dev.zuq.SampleApp"), "no error");
}

TEST_F(DeviceRequestTest, ABundleIdentifierBeginningWithAHyphenIsNeverAnOption) {
    // Were it read as an option, devicectl would refuse it as one it does not know.
    EXPECT_EQ(launch(registered, "-dev.zuq.SampleApp"),
              "Launching the app on the device failed: The application -dev.zuq.SampleApp is not "
              "installed on Test iPhone.\nxcrun failed (1): ERROR: The request to open "
              "\"-dev.zuq.SampleApp\" failed. (FBSOpenApplicationServiceErrorDomain error 1 "
              "(0x01))\n       BSErrorCodeDescription = RequestDenied\n"
              "--------------------------------------------------------------------------------\n"
              "ERROR: The application -dev.zuq.SampleApp is not installed on Test iPhone. "
              "(FBSOpenApplicationErrorDomain error 4 (0x04))\n       BSErrorCodeDescription = "
              "NotFound\n\nFull log: " +
                  log.string());
    EXPECT_NE(TestSupport::readFile(log).find(
                  " --terminate-existing --json-output "),
              std::string::npos);
    EXPECT_NE(TestSupport::readFile(log).find(" -- -dev.zuq.SampleApp\n"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(temporary)) << "the tool's documents are gone";
}

} // namespace
