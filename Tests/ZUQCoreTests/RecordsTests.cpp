// The documents Macs pass through the relay, read as clients have always read them: what is
// missing or of another kind reads as empty, and the caller decides.
#include "Records.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Records, AJobRecordReadsEveryMemberAndFallsBackOnEachAlone) {
    JSON job = JSON::decode(R"({
        "id": "j1", "state": "installing", "error": null, "builder_id": "b", "receiver_id": "r",
        "artifact_sha": "abc", "created_at": 1.5,
        "spec": {"project_id": "p", "scheme": "App", "configuration": "Release", "mode": "debug",
                 "udid": "U", "phone": {"name": "Phone", "os": "18.1"}, "builder_id": "b"}})");
    JobRecord record = JobRecord::read(job);
    EXPECT_EQ(record.id, "j1");
    EXPECT_EQ(record.state, Protocol::JobState::installing);
    EXPECT_EQ(record.error, "");
    EXPECT_EQ(record.builderID, "b");
    EXPECT_EQ(record.receiverID, "r");
    EXPECT_EQ(record.artifactSHA, "abc");
    EXPECT_EQ(record.wanted.projectID, "p");
    EXPECT_EQ(record.wanted.scheme, "App");
    EXPECT_EQ(record.wanted.configuration, "Release");
    EXPECT_EQ(record.wanted.mode, DeploymentMode::debug);
    EXPECT_EQ(record.wanted.udid, "U");
    ASSERT_TRUE(record.wanted.phone);
    EXPECT_EQ(record.wanted.phone->os, "18.1");
    EXPECT_EQ(record.wanted.phone->name, "Phone");

    // Each member mistyped or missing in turn: only it reads as empty.
    struct Case {
        const char* member;
        JSON value;
    };
    const Case cases[] = {
        {"id", JSON(12)}, {"state", JSON("paused")}, {"receiver_id", JSON::array()},
        {"spec", JSON("text")}, {"artifact_sha", JSON(true)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.member);
        JSON::Object changed = job.fields();
        changed[c.member] = c.value;
        JobRecord read = JobRecord::read(JSON(changed));
        std::string member = c.member;
        EXPECT_EQ(read.id, member == "id" ? "" : "j1");
        EXPECT_EQ(read.state.has_value(), member != "state");
        EXPECT_EQ(read.stateText, member == "state" ? "paused" : "installing");
        EXPECT_EQ(read.receiverID, member == "receiver_id" ? "" : "r");
        EXPECT_EQ(read.wanted.udid, member == "spec" ? "" : "U");
        EXPECT_EQ(read.wanted.mode.has_value(), member != "spec");
        EXPECT_EQ(read.artifactSHA, member == "artifact_sha" ? "" : "abc");
    }
    EXPECT_FALSE(JobRecord::read(JSON()).wanted.phone);
}

TEST(Records, APhoneRecordKeepsItsTenMembersAndNullsWhatTheToolDidNotSay) {
    JSON phone = JSON::decode(R"({"udid": "U", "core_id": null, "name": "Phone", "model": "iPhone",
        "product_type": "iPhone17,1", "os": "18.1", "state": "disconnected",
        "developer_mode": true, "available": true, "transport": "wired"})");
    PhoneRecord record = PhoneRecord::read(phone);
    EXPECT_EQ(record.udid, "U");
    EXPECT_EQ(record.coreID, std::nullopt);
    EXPECT_TRUE(record.available);
    EXPECT_EQ(record.json(), phone);
    EXPECT_EQ(record.json().data(), phone.data()) << "the bytes an inventory travels as";
    PhoneRecord empty = PhoneRecord::read(JSON("not a phone"));
    EXPECT_EQ(empty.json().fields().size(), 10u);
    EXPECT_EQ(empty.json()["udid"], JSON());
    EXPECT_FALSE(empty.available);
}

TEST(Records, TheModeTravelsAsItsExactText) {
    EXPECT_EQ(text(DeploymentMode::adhoc), "adhoc");
    EXPECT_EQ(text(DeploymentMode::debug), "debug");
    EXPECT_EQ(deploymentMode("adhoc"), DeploymentMode::adhoc);
    EXPECT_EQ(deploymentMode("debug"), DeploymentMode::debug);
    for (const char* other : {"Debug", "ADHOC", "", "release", "adhoc "}) {
        EXPECT_EQ(deploymentMode(other), std::nullopt) << other;
    }
}

TEST(Records, AManifestRoundTripsAndMatchesOnlyItsOwnDeployment) {
    BuildManifest manifest{"dev.zuq.App", "1.2", "7", "17.0", "production", "j1", "r", "U",
                           "adhoc", "ff"};
    JSON json = manifest.json();
    EXPECT_EQ(json.fields().size(), 10u);
    EXPECT_EQ(json.data(),
              R"({"aps_environment":"production","build":"7","bundle_id":"dev.zuq.App",)"
              R"("ipa_sha256":"ff","job_id":"j1","minimum_os":"17.0","mode":"adhoc",)"
              R"("receiver_id":"r","udid":"U","version":"1.2"})");
    BuildManifest back = BuildManifest::read(json);
    EXPECT_EQ(back.json(), json);

    EXPECT_TRUE(back.matches("j1", "r", "U", DeploymentMode::adhoc));
    EXPECT_FALSE(back.matches("j2", "r", "U", DeploymentMode::adhoc));
    EXPECT_FALSE(back.matches("j1", "s", "U", DeploymentMode::adhoc));
    EXPECT_FALSE(back.matches("j1", "r", "V", DeploymentMode::adhoc));
    EXPECT_FALSE(back.matches("j1", "r", "U", DeploymentMode::debug));
    // A member of another kind reads as empty, so it matches nothing.
    JSON::Object odd = json.fields();
    odd["job_id"] = JSON(1);
    EXPECT_FALSE(BuildManifest::read(JSON(odd)).matches("1", "r", "U", DeploymentMode::adhoc));
}

} // namespace
