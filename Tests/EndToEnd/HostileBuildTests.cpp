// A receiver's agent given a build that a member of its own group crafted to harm it: the
// build is signed for nobody and encrypted with the group's key, so only the receiver's own
// checks stand between it and the Mac's disk.
#include "API.hpp"
#include "AgentFixture.hpp"
#include "ArtifactCrypto.hpp"
#include "ZipWriter.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using TestSupport::ZipWriter;

namespace {

class HostileBuilds : public TestSupport::AgentTest {
protected:
    // Plays Mac a as a hostile builder for the next job: claims it and delivers `ipa` with a
    // manifest that matches the job in every member, so the receiver gets as far as unpacking.
    std::string deliver(const std::string& ipa) {
        std::string id = submit();
        API builder(credentials("a"));
        std::optional<API::Claim> claimed = builder.claim();
        EXPECT_TRUE(claimed);
        EXPECT_EQ(claimed->job["id"].text(), id);
        fs::path app = directory / "crafted.ipa", package = directory / "crafted.zuqpkg",
                 encrypted = directory / "crafted.zuq";
        TestSupport::writeFile(app, ipa);
        JSON manifest = JSON::object({{"bundle_id", "dev.zuq.SampleApp"},
                                      {"version", "1.0"},
                                      {"build", "1"},
                                      {"minimum_os", "17.0"},
                                      {"aps_environment", "none"},
                                      {"job_id", id},
                                      {"receiver_id", credentials("b").deviceID},
                                      {"udid", udid},
                                      {"mode", "adhoc"},
                                      {"ipa_sha256", ArtifactCrypto::sha256(app)}});
        ArtifactCrypto::package(app, manifest, package);
        ArtifactCrypto::encrypt(package, encrypted, credentials("a").encryptionKey, id);
        builder.upload(id, claimed->lease, encrypted);
        builder.finishBuild(id, claimed->lease, manifest);
        return id;
    }
};

// The attack of a listing cut short: a link out of the app, a file written through it, and
// enough long names after them that a listing of the archive runs past 8 MiB.
TEST_F(HostileBuilds, ALinkHiddenBehindALongArchiveWritesNothingOutsideTheJob) {
    fs::path launchAgents = directory / "b" / "Library" / "LaunchAgents";
    fs::create_directories(launchAgents);
    ZipWriter archive;
    archive.add(ZipWriter::Entry{"Payload/", "", false, 040755})
        .add(ZipWriter::Entry{"Payload/SampleApp.app/", "", false, 040755})
        .add(ZipWriter::Entry{.name = "Payload/SampleApp.app/x",
                              .data = launchAgents.string(),
                              .deflate = false,
                              .mode = 0120777})
        .add("Payload/SampleApp.app/x/dev.zuq.evil.plist", "<plist><dict/></plist>");
    for (int i = 0; i < 34'000; ++i) {
        archive.add(ZipWriter::Entry{.name = "Payload/SampleApp.app/Resources/" +
                                             std::string(250, 'f') + std::to_string(i),
                                     .data = "",
                                     .deflate = false});
    }

    startAgent("b");
    std::string id = deliver(archive.bytes());
    waitForState(id, "failed", 120s);
    EXPECT_EQ(job(id)["error"].text(),
              "IPAs containing symbolic links are not supported by this ZUQ version.");
    EXPECT_TRUE(fs::is_empty(launchAgents)) << "a file was written outside the job";
    fs::path receive = state("b") / "Jobs" / id / "Receive";
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(receive)) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{}) << "refused before any tool ran, so no log either";
}

} // namespace
