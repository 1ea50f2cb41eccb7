// Two relays serving one address: both on one PostgreSQL database of the test cluster, with
// one directory of builds and one bootstrap secret. Requests alternate between them as a load
// balancer would send them.
#include "Bootstrap.hpp"
#include "Platform/Digest.hpp"
#include "PostgreSQL.hpp"
#include "RelayFixture.hpp"

#include <csignal>
#include <future>

namespace {

using namespace ZUQRelayTests;
namespace fs = std::filesystem;

class ClusterTest : public RelayTest {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        if (testCluster().empty()) {
            GTEST_SKIP() << noCluster;
        }
        testDatabase = std::make_unique<TestDatabase>();
        database = std::make_unique<ZUQRelay::PostgreSQL::Connection>(testDatabase->url());
        TestSupport::writeFile(directory / "secret", "one secret for both\n");
        shared = {"--artifacts", (directory / "builds").string(), "--bootstrap-file",
                  (directory / "secret").string()};
        startRelay(shared);
        startOther();
    }

    void TearDown() override {
        database.reset();
        otherClient.reset();
        if (other && other->running()) {
            EXPECT_EQ(other->stop(), 0) << other->log();
        }
        other.reset();
        RelayTest::TearDown();
    }

    void startOther() {
        std::vector<std::string> arguments = shared;
        arguments.insert(arguments.end(), {"--database", testDatabase->url()});
        other = std::make_unique<TestSupport::RelayProcess>(directory / "other", arguments);
        otherClient = std::make_unique<HTTPClient>(other->url());
    }

    // The job's row and its group's count, as the database holds them.
    std::pair<std::string, std::string> stored(const std::string& job) {
        ZUQRelay::PostgreSQL::Rows row =
            database->query("SELECT state, COALESCE(error, '') FROM jobs WHERE id = ?", job);
        return row.next() ? std::pair(row.text(0), row.text(1))
                          : std::pair<std::string, std::string>();
    }

    // A builder and a receiver of one group, and a job of theirs leased to the builder
    // through the other relay; with `byReceiver` the receiver submitted it.
    struct Leased {
        Mac builder;
        Mac receiver;
        std::string job;
        std::string lease;
    };
    Leased leasedThroughOther(bool byReceiver) {
        Mac builder = createGroup("Team", "Builder");
        Mac receiver = join(builder, "Receiver");
        std::string job = submit(byReceiver ? receiver : builder, builder, receiver);
        speakTo(otherClient.get());
        std::string lease = claim(builder, job);
        speakTo(nullptr);
        return {builder, receiver, job, lease};
    }

    Reply heartbeat(HTTPClient& through, const Mac& mac, const JSON& leases = JSON::array()) {
        return through.request("POST", "/v1/heartbeat",
                               JSON::object({{"inventory", JSON::object()}, {"leases", leases}}),
                               {mac.authorization()});
    }

    std::vector<std::string> shared;
    std::unique_ptr<ZUQRelay::PostgreSQL::Connection> database; // the relays' own
    std::unique_ptr<TestSupport::RelayProcess> other;
    std::unique_ptr<HTTPClient> otherClient;
};

TEST_F(ClusterTest, AJobGoesBackAndForthBetweenTheRelaysToItsEnd) {
    auto [builder, receiver, job, lease] = leasedThroughOther(true);
    speakTo(otherClient.get());
    fs::path file = makeFile("app.zuq", 3 << 20);
    ASSERT_EQ(uploadFile(builder, job, lease, file).status, 200);
    Reply finished = client().request(
        "POST", "/v1/jobs/" + job + "/finish-build",
        JSON::object({{"manifest", JSON::object({{"bundle_id", "com.example.app"}})}}),
        {builder.authorization(), "X-ZUQ-Lease: " + lease});
    ASSERT_EQ(finished.status, 200) << finished.body;

    speakTo(nullptr);
    std::string install = claim(receiver, job);
    fs::path received = directory / "received.zuq";
    Reply download = client().download("/v1/jobs/" + job + "/artifact", received,
                                       {receiver.authorization(), "X-ZUQ-Lease: " + install});
    ASSERT_EQ(download.status, 200) << download.body;
    EXPECT_EQ(Platform::sha256Hex(TestSupport::readFile(received)),
              Platform::sha256Hex(TestSupport::readFile(file)));
    ASSERT_EQ(client()
                  .request("POST", "/v1/jobs/" + job + "/finish", JSON::object(),
                           {receiver.authorization(), "X-ZUQ-Lease: " + install})
                  .status,
              200);

    // The other relay sees the end, and the builder hears of it there.
    Reply record =
        otherClient->request("GET", "/v1/jobs/" + job, std::nullopt, {builder.authorization()});
    EXPECT_EQ(record.json()["state"].text(), "succeeded") << record.body;
    Reply heard = heartbeat(*otherClient, builder,
                            JSON::array({JSON::object({{"id", job}, {"token", lease}})}));
    EXPECT_EQ(heard.json()["jobs"],
              JSON::array({JSON::object({{"id", job}, {"state", "succeeded"}})}));
    // Both Macs are online in either relay's list whichever relay they beat through, once
    // the heartbeats are written (about once a second).
    heartbeat(client(), builder);
    heartbeat(*otherClient, receiver);
    for (HTTPClient* through : {&client(), otherClient.get()}) {
        auto online = [&] {
            JSON group =
                through->request("GET", "/v1/group", std::nullopt, {builder.authorization()})
                    .json();
            std::size_t count = 0;
            for (const JSON& device : group["devices"].items()) {
                count += device["online"].flag() ? 1 : 0;
            }
            return count;
        };
        for (int wait = 0; wait < 500 && online() < 2; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(online(), 2u);
    }
}

TEST_F(ClusterTest, ClaimsAtOnceThroughBothRelaysHandOutOneLease) {
    Mac builder = createGroup("Team", "Builder");
    for (int round = 0; round < 10; ++round) {
        std::string job = submit(builder, builder, builder);
        auto claimThrough = [&](const std::string& origin) {
            HTTPClient through(origin);
            return through.request("POST", "/v1/claim", JSON::object(), {builder.authorization()});
        };
        auto first = std::async(std::launch::async, claimThrough, relay->url());
        auto second = std::async(std::launch::async, claimThrough, other->url());
        Reply answers[] = {first.get(), second.get()};
        int leased = 0;
        for (const Reply& answer : answers) {
            ASSERT_EQ(answer.status, 200) << answer.body;
            if (answer.json()["job"].kind() != JSON::Kind::null) {
                EXPECT_EQ(answer.json()["job"]["id"].text(), job);
                ++leased;
            }
        }
        EXPECT_EQ(leased, 1) << "round " << round;
        ASSERT_EQ(client()
                      .request("POST", "/v1/jobs/" + job + "/cancel", JSON::object(),
                               {builder.authorization()})
                      .status,
                  200);
    }
}

TEST_F(ClusterTest, WhatOneRelayRefusesTheOtherRefusesAtOnce) {
    Mac owner = createGroup("Team", "Owner");
    Mac gone = join(owner, "Gone");
    // The other relay has seen the Mac's credential before it is revoked.
    ASSERT_EQ(heartbeat(*otherClient, gone).status, 200);
    ASSERT_EQ(
        client()
            .request("DELETE", "/v1/devices/" + gone.device, std::nullopt, {owner.authorization()})
            .status,
        200);
    Reply refused = heartbeat(*otherClient, gone);
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.error(), "revoked device credential");

    // Wrong bootstrap secrets count against the address whichever relay they reach.
    for (std::size_t attempt = 0; attempt < ZUQRelay::Bootstrap::failuresPerMinute; ++attempt) {
        HTTPClient& through = attempt % 2 ? *otherClient : client();
        Reply wrong = through.request("POST", "/v1/groups",
                                      JSON::object({{"name", "T"}, {"device_name", "M"}}),
                                      {"X-ZUQ-Bootstrap: guess"});
        EXPECT_EQ(wrong.status, 403) << wrong.body;
    }
    for (HTTPClient* through : {&client(), otherClient.get()}) {
        Reply blocked = through->request("POST", "/v1/groups",
                                         JSON::object({{"name", "T"}, {"device_name", "M"}}),
                                         {"X-ZUQ-Bootstrap: " + relay->bootstrapSecret()});
        EXPECT_EQ(blocked.status, 429) << blocked.body;
    }
}

TEST_F(ClusterTest, ARelayKilledMidUploadLeavesNoHalfBuildAndItsJobFailsOnce) {
    auto [builder, receiver, job, lease] = leasedThroughOther(false);

    // Half of a build reaches the other relay, which then dies.
    const std::size_t size = 4 << 20;
    RawConnection upload(other->url());
    ASSERT_TRUE(upload.send("PUT /v1/jobs/" + job + "/artifact HTTP/1.1\r\nHost: relay\r\n" +
                            builder.authorization() + "\r\nX-ZUQ-Lease: " + lease +
                            "\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n"));
    ASSERT_TRUE(upload.send(std::string(size / 2, 'x')));
    auto partial = [&] {
        for (const auto& entry : fs::directory_iterator(directory / "builds")) {
            if (entry.file_size() > 0) {
                return true;
            }
        }
        return false;
    };
    for (int wait = 0; wait < 500 && !partial(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(partial()) << "the upload never reached the disk";
    ::kill(other->pid(), SIGKILL);
    other->stop();

    // The surviving relay goes on and serves no half build.
    Reply record =
        client().request("GET", "/v1/jobs/" + job, std::nullopt, {builder.authorization()});
    EXPECT_EQ(record.json()["state"].text(), "building") << record.body;
    ZUQRelay::PostgreSQL::Rows recorded =
        database->query("SELECT upload_sha IS NULL FROM jobs WHERE id = ?", job);
    ASSERT_TRUE(recorded.next());
    EXPECT_EQ(recorded.integer(0), 1) << "no build recorded";
    for (const auto& entry : fs::directory_iterator(directory / "builds")) {
        EXPECT_TRUE(entry.path().filename().string().starts_with(".")) << entry.path();
    }

    // Back up, both relays sweep while the lease runs out (moved to the past in the database
    // rather than waited for).
    startOther();
    database->run("UPDATE leases SET expires_at = expires_at - 120 WHERE job_id = ?", job);
    for (int wait = 0; wait < 1000 && stored(job).first != "failed"; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::pair<std::string, std::string> failed("failed",
                                                     "The builder Mac stopped responding");
    EXPECT_EQ(stored(job), failed);
    // Ended once: the group counts the job's bytes once.
    ZUQRelay::PostgreSQL::Rows counted =
        database->query("SELECT ended_job_bytes FROM groups WHERE id = ?", builder.group);
    ASSERT_TRUE(counted.next());
    EXPECT_GT(counted.integer(0), 0);
    ZUQRelay::PostgreSQL::Rows row = database->query(
        "SELECT OCTET_LENGTH(id) + OCTET_LENGTH(group_id) + OCTET_LENGTH(state) + "
        "OCTET_LENGTH(spec) + OCTET_LENGTH(builder_id) + OCTET_LENGTH(receiver_id) + "
        "COALESCE(OCTET_LENGTH(error), 0) FROM jobs WHERE id = ?",
        job);
    ASSERT_TRUE(row.next());
    EXPECT_EQ(counted.integer(0), row.integer(0));
}

} // namespace
