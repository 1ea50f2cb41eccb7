#include "ArtifactCrypto.hpp"
#include "BuildPipeline.hpp"
#include "PipelineTest.hpp"

#include <fstream>

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
    EXPECT_EQ(message.rfind("xcrun failed (1): ", 0), 0u) << message;
    EXPECT_NE(message.find("\nFull log: " + (receive() / "install.log").string()), std::string::npos);
    EXPECT_EQ(world()["installs"].items().size(), 0u);
    EXPECT_EQ(names(receive()), std::vector<std::string>{"install.log"});
}

} // namespace
