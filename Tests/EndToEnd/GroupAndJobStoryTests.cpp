// The story of a group told with the real binaries: a relay on loopback, and Macs that are
// each a HOME and a state directory. Where the agents would act on a job, the test speaks for
// them through the relay client with their own credentials.
#include "API.hpp"
#include "Platform/Digest.hpp"
#include "RelayProcess.hpp"
#include "Support.hpp"

#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::Output;

namespace {

class Story : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        relay = std::make_unique<TestSupport::RelayProcess>(directory / "relay");
    }

    fs::path macHome(const std::string& mac) const { return directory / mac; }

    Output zuq(const std::string& mac, const std::vector<std::string>& arguments) {
        return TestSupport::run(TestSupport::binaryDirectory() / "zuq", arguments,
                                {{"HOME", macHome(mac).string()},
                                 {"ZUQ_STATE_DIR", (macHome(mac) / "state").string()}});
    }

    // The result of a command that must succeed.
    JSON ok(const std::string& mac, const std::vector<std::string>& arguments) {
        Output output = zuq(mac, arguments);
        EXPECT_EQ(output.status, 0) << mac << " " << arguments[0] << ": " << output.err;
        return output.status == 0 ? JSON::decode(output.out) : JSON();
    }

    // The error sentence of a command that must fail.
    std::string error(const std::string& mac, const std::vector<std::string>& arguments) {
        Output output = zuq(mac, arguments);
        EXPECT_EQ(output.status, 1) << output.out;
        EXPECT_EQ(output.out, "");
        return JSON::decode(output.err)["error"].text();
    }

    Credentials credentials(const std::string& mac) {
        TestSupport::ScopedEnvironment macEnvironment("HOME", macHome(mac).string());
        return CredentialStore::require();
    }

    // Creates the group on "a" and joins each further Mac with a fresh invite.
    void enrol(const std::vector<std::string>& others) {
        TestSupport::writeFile(directory / "bootstrap", relay->bootstrapSecret() + "\n");
        ok("a", {"group", "create", "--server", relay->url(), "--bootstrap-file",
                 (directory / "bootstrap").string(), "--name", "Team", "--device-name", "Mac A"});
        for (const auto& mac : others) {
            fs::path invite = directory / ("invite-" + mac + ".json");
            TestSupport::writeFile(invite, zuq("a", {"group", "invite"}).out);
            ok(mac,
               {"group", "join", "--invite-file", invite.string(), "--device-name", "Mac " + mac});
        }
    }

    std::string submit(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments{"run",       "--receiver", credentials("b").deviceID,
                                           "--project", "p-1",        "--scheme",
                                           "App",       "--device",   "UDID-1"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return ok("a", arguments)["id"].text();
    }

    // Claims the next job for `mac` as its agent would; returns the lease.
    std::string claim(const std::string& mac, const std::string& job) {
        JSON claimed = API(credentials(mac)).call("POST", "/v1/claim", JSON::object());
        EXPECT_EQ(claimed["job"]["id"].text(), job);
        return claimed["lease"].text();
    }

    std::unique_ptr<TestSupport::RelayProcess> relay;
};

TEST_F(Story, EnrolmentRevocationAndTheGroupAsTheRelaySeesIt) {
    enrol({"b", "c"});
    Credentials a = credentials("a"), b = credentials("b");
    EXPECT_EQ(b.server, a.server);
    EXPECT_EQ(b.encryptionKey, a.encryptionKey);
    EXPECT_EQ(b.groupID, a.groupID);
    EXPECT_NE(b.deviceID, a.deviceID);

    // An invite works once.
    EXPECT_EQ(
        error("d", {"group", "join", "--invite-file", (directory / "invite-b.json").string()}),
        "Invite is invalid or expired");
    EXPECT_EQ(
        error("a", {"group", "join", "--invite-file", (directory / "invite-b.json").string()}),
        "This Mac is already enrolled.");

    JSON group = ok("b", {"group", "status"});
    EXPECT_EQ(group["name"].text(), "Team");
    EXPECT_EQ(group["devices"].items().size(), 3u);

    std::string c = credentials("c").deviceID;
    JSON revoked = ok("a", {"group", "revoke", c});
    EXPECT_TRUE(revoked["ok"].flag());
    EXPECT_EQ(error("c", {"jobs"}), "revoked device credential");
    EXPECT_EQ(ok("a", {"projects", "list"}).items().size(), 2u) << "revoked Macs are not listed";
    EXPECT_EQ(error("a", {"group", "revoke", "00000000-0000-0000-0000-000000000000"}),
              "Mac not found");
}

TEST_F(Story, AJobFromSubmissionToSuccessWithItsEventsFollowed) {
    enrol({"b"});
    std::string job = submit();
    ASSERT_FALSE(job.empty());
    EXPECT_EQ(ok("b", {"jobs"})["jobs"].items().at(0)["id"].text(), job) << "the other Mac sees it";
    EXPECT_EQ(ok("b", {"job", job})["state"].text(), "building");

    // The builder and then the receiver do their work while `logs --follow` watches.
    std::thread agents([&] {
        Credentials builder = credentials("a"), receiver = credentials("b");
        std::string lease = claim("a", job);
        API api(builder);
        api.call("POST", "/v1/jobs/" + job + "/event", JSON::object({{"message", "Archiving App"}}),
                 lease);
        std::this_thread::sleep_for(std::chrono::seconds(4));
        TestSupport::writeFile(directory / "Build.zuq", "encrypted bytes");
        api.upload(job, lease, directory / "Build.zuq");
        api.call("POST", "/v1/jobs/" + job + "/event", JSON::object({{"message", "Uploaded"}}),
                 lease);
        api.call("POST", "/v1/jobs/" + job + "/finish-build",
                 JSON::object({{"manifest", JSON::object({{"job_id", job}})}}), lease);
        std::string installLease = claim("b", job);
        API(receiver).download(job, installLease, directory / "Received.zuq",
                               Platform::sha256Hex("encrypted bytes"));
        API(receiver).call("POST", "/v1/jobs/" + job + "/finish", JSON::object(), installLease);
    });
    Output followed = zuq("b", {"logs", job, "--follow", "--timeout", "60"});
    agents.join();
    ASSERT_EQ(followed.status, 0) << followed.err;
    EXPECT_EQ(followed.err, "Archiving App\nUploaded\n");
    JSON finished = JSON::decode(followed.out);
    EXPECT_EQ(finished["state"].text(), "succeeded");
    EXPECT_EQ(finished["artifact_sha"].text(), Platform::sha256Hex("encrypted bytes"));
    EXPECT_EQ(TestSupport::readFile(directory / "Received.zuq"), "encrypted bytes");

    JSON events = ok("a", {"logs", job});
    ASSERT_EQ(events["events"].items().size(), 2u);
    EXPECT_EQ(events["events"].items()[1]["message"].text(), "Uploaded");
}

TEST_F(Story, WaitingEndsOnFailureCancellationAndTheDeadline) {
    enrol({"b"});
    std::string failing = submit();
    std::thread builder([&] {
        std::string lease = claim("a", failing);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        API(credentials("a"))
            .call("POST", "/v1/jobs/" + failing + "/fail",
                  JSON::object({{"error", "xcodebuild failed (65): no signing"}}), lease);
    });
    EXPECT_EQ(error("a", {"logs", failing, "--follow"}),
              "Job " + failing + " failed: xcodebuild failed (65): no signing");
    builder.join();

    // run --wait submits, then follows the job it made.
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        JSON jobs = API(credentials("b")).call("GET", "/v1/jobs");
        API(credentials("b"))
            .call("POST", "/v1/jobs/" + jobs["jobs"].items().at(0)["id"].text() + "/cancel",
                  JSON::object());
    });
    std::string cancelled = error("a", {"run", "--receiver", credentials("b").deviceID, "--project",
                                        "p", "--scheme", "S", "--device", "U", "--wait"});
    canceller.join();
    EXPECT_TRUE(cancelled.starts_with("Job ")) << cancelled;
    EXPECT_TRUE(cancelled.ends_with(" cancelled: ")) << cancelled;

    std::string late = error("a", {"run", "--receiver", credentials("b").deviceID, "--project", "p",
                                   "--scheme", "S", "--device", "U", "--wait", "--timeout", "1"});
    EXPECT_TRUE(late.starts_with("Timed out waiting for job ")) << late;
    EXPECT_EQ(ok("a", {"jobs"})["jobs"].items().size(), 3u) << "the job continues after the wait";
}

TEST_F(Story, AnHTTPSRelayIsTrustedThroughTheEnvironmentNeverBlindly) {
    fs::path certificate = TestSupport::selfSignedCertificate(directory);
    TestSupport::RelayProcess secure(
        directory / "secure",
        {"--tls-cert", certificate.string(), "--tls-key", (directory / "key.pem").string()});
    ASSERT_TRUE(secure.url().starts_with("https://")) << secure.url();
    TestSupport::writeFile(directory / "secret", secure.bootstrapSecret());
    std::vector<std::string> create{
        "group",      "create",           "--server",
        secure.url(), "--bootstrap-file", (directory / "secret").string()};

    std::string untrusted = error("a", create);
    EXPECT_NE(untrusted.find("SSL peer certificate"), std::string::npos) << untrusted;
    EXPECT_NE(untrusted.find(secure.url()), std::string::npos) << untrusted;

    // CURL_CA_BUNDLE comes first, as for the curl tool; an empty value here removes it.
    struct Trust {
        const char* caBundle;
        const char* certFile;
    };
    for (Trust trust : {Trust{"", "cert"}, Trust{"cert", "/etc/ssl/certs/ca-certificates.crt"}}) {
        auto path = [&](const char* value) {
            return std::string(value) == "cert" ? certificate.string() : std::string(value);
        };
        std::string mac = std::string("mac-") + trust.caBundle;
        Output created = TestSupport::run(TestSupport::binaryDirectory() / "zuq", create,
                                          {{"HOME", macHome(mac).string()},
                                           {"ZUQ_STATE_DIR", (macHome(mac) / "state").string()},
                                           {"CURL_CA_BUNDLE", path(trust.caBundle)},
                                           {"SSL_CERT_FILE", path(trust.certFile)}});
        EXPECT_EQ(created.status, 0) << trust.caBundle << ": " << created.err;
    }
}

} // namespace
