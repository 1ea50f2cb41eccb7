// The relay's HTTP contract, against a real zuq-relay process with a real libcurl client.
#include "Platform/Digest.hpp"
#include "RelayFixture.hpp"

#include <sys/stat.h>

using namespace ZUQRelayTests;

namespace {

using ContractTest = RelayTest;

TEST_F(ContractTest, FirstLineNamesTheOriginAndTheSecretFile) {
    const std::string prefix = "http://127.0.0.1:";
    ASSERT_TRUE(relay->url().starts_with(prefix)) << relay->url();
    std::string port = relay->url().substr(prefix.size());
    EXPECT_FALSE(port.empty());
    EXPECT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << relay->url();
    EXPECT_EQ(relay->bootstrapFile(), relay->dataDirectory() / "bootstrap-secret");
    struct stat status {};
    ASSERT_EQ(::stat(relay->bootstrapFile().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    std::string secret = relay->bootstrapSecret();
    EXPECT_GE(secret.size(), 43u);
    // Generated once, then reused.
    relay->restart();
    EXPECT_EQ(relay->bootstrapSecret(), secret);
    EXPECT_EQ(relay->log().find(secret), std::string::npos);
}

TEST_F(ContractTest, GroupCreationNeedsTheBootstrapSecretAndGuessingIsCut) {
    JSON body = JSON::object({{"name", "Team"}, {"device_name", "Mac"}});
    Reply missing = client().request("POST", "/v1/groups", body);
    EXPECT_EQ(missing.status, 403);
    EXPECT_EQ(missing.error(), "Invalid bootstrap secret");
    for (int attempt = 1; attempt < 10; ++attempt) {
        Reply wrong = client().request("POST", "/v1/groups", body,
                                       {"X-ZUQ-Bootstrap: guess" + std::to_string(attempt)});
        EXPECT_EQ(wrong.status, 403);
    }
    // Ten failures within the minute: now even the right secret is turned away.
    Reply blocked = client().request("POST", "/v1/groups", body,
                                     {"X-ZUQ-Bootstrap: " + relay->bootstrapSecret()});
    EXPECT_EQ(blocked.status, 429);
    EXPECT_EQ(blocked.error(), "Too many wrong bootstrap secrets. Try again in a minute.");
}

TEST_F(ContractTest, EnrolmentAnswersAndCredentials) {
    Mac owner = createGroup("Studio", "Owner");
    Reply group = client().request("GET", "/v1/group", std::nullopt, {owner.authorization()});
    ASSERT_EQ(group.status, 200);
    EXPECT_EQ(group.header("Content-Type"), "application/json");
    JSON document = group.json();
    EXPECT_EQ(document["id"].text(), owner.group);
    EXPECT_EQ(document["name"].text(), "Studio");
    ASSERT_EQ(document["devices"].items().size(), 1u);
    JSON device = document["devices"].items()[0];
    for (std::string_view member : {"id", "name", "online", "revoked", "last_seen", "inventory"}) {
        EXPECT_TRUE(device.fields().contains(member)) << member;
    }

    Mac second = join(owner, "Second");
    EXPECT_EQ(second.group, owner.group);
    Reply invite = client().request("POST", "/v1/invites", std::nullopt, {owner.authorization()});
    ASSERT_EQ(invite.status, 200) << invite.body;
    EXPECT_EQ(invite.json()["expires_in_seconds"], JSON(900));
    JSON join = JSON::object({{"code", invite.json()["code"]}, {"device_name", "Third"}});
    EXPECT_EQ(client().request("POST", "/v1/join", join).status, 200);
    Reply reused = client().request("POST", "/v1/join", join);
    EXPECT_EQ(reused.status, 400);
    EXPECT_EQ(reused.error(), "Invite is invalid or expired");

    for (const std::string& header :
         {std::string(), "Authorization: Bearer " + owner.device + ".wrong",
          "Authorization: " + owner.device + "." + owner.token}) {
        std::vector<std::string> headers;
        if (!header.empty()) {
            headers.push_back(header);
        }
        Reply refused = client().request("GET", "/v1/group", std::nullopt, headers);
        EXPECT_EQ(refused.status, 401);
        EXPECT_EQ(refused.error(), "Invalid device credential");
    }

    Reply revoked = client().request("DELETE", "/v1/devices/" + second.device, std::nullopt,
                                     {owner.authorization()});
    EXPECT_EQ(revoked.status, 200);
    EXPECT_EQ(revoked.json(), JSON::object({{"ok", true}, {"id", second.device}}));
    Reply after =
        client().request("POST", "/v1/heartbeat",
                         JSON::object({{"inventory", JSON::object()}, {"leases", JSON::array()}}),
                         {second.authorization()});
    EXPECT_EQ(after.status, 401);
    EXPECT_EQ(after.error(), "revoked device credential");
    Reply unknown = client().request("DELETE", "/v1/devices/" + second.group, std::nullopt,
                                     {owner.authorization()});
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.error(), "Mac not found");
}

TEST_F(ContractTest, AJobTravelsFromBuilderToReceiver) {
    Mac builder = createGroup("Team", "Builder");
    Mac receiver = join(builder, "Receiver");
    JSON phone = JSON::object({{"udid", "00008110-000A"}, {"os", "17.5"}, {"name", "Phone"}});
    JSON inventory = JSON::object({{"projects", JSON::array()}, {"phones", JSON::array({phone})}});
    Reply beat =
        client().request("POST", "/v1/heartbeat",
                         JSON::object({{"inventory", inventory}, {"leases", JSON::array()}}),
                         {receiver.authorization()});
    ASSERT_EQ(beat.status, 200) << beat.body;
    EXPECT_EQ(beat.json(), JSON::object({{"jobs", JSON::array()}}));

    std::string job = submit(receiver, builder, receiver);
    Reply record =
        client().request("GET", "/v1/jobs/" + job, std::nullopt, {builder.authorization()});
    EXPECT_EQ(record.json()["spec"]["phone"], phone);
    EXPECT_EQ(record.json()["state"].text(), "building");

    std::string lease = claim(builder, job);
    Reply event = client().request("POST", "/v1/jobs/" + job + "/event",
                                   JSON::object({{"message", "Archiving App"}}),
                                   {builder.authorization(), "X-ZUQ-Lease: " + lease});
    EXPECT_EQ(event.status, 200) << event.body;
    auto file = makeFile("Build.zuq", 3 * 1024 * 1024 + 5);
    Reply uploaded = uploadFile(builder, job, lease, file);
    EXPECT_EQ(uploaded.status, 200) << uploaded.body;
    std::string sha = Platform::sha256Hex(TestSupport::readFile(file));
    Reply finished = client().request(
        "POST", "/v1/jobs/" + job + "/finish-build",
        JSON::object({{"manifest", JSON::object({{"bundle_id", "com.example.app"}})}}),
        {builder.authorization(), "X-ZUQ-Lease: " + lease});
    ASSERT_EQ(finished.status, 200) << finished.body;
    EXPECT_EQ(finished.json()["state"].text(), "installing");
    EXPECT_EQ(finished.json()["artifact_sha"].text(), sha);

    // The builder's heartbeat hears the job moved on; the receiver now claims it.
    Reply heard = client().request(
        "POST", "/v1/heartbeat",
        JSON::object({{"inventory", JSON::object()},
                      {"leases", JSON::array({JSON::object({{"id", job}, {"token", lease}})})}}),
        {builder.authorization()});
    EXPECT_EQ(heard.json()["jobs"],
              JSON::array({JSON::object({{"id", job}, {"state", "installing"}})}));
    std::string install = claim(receiver, job);
    auto received = directory / "received.zuq";
    Reply download = client().download("/v1/jobs/" + job + "/artifact", received,
                                       {receiver.authorization(), "X-ZUQ-Lease: " + install});
    ASSERT_EQ(download.status, 200) << download.body;
    EXPECT_EQ(download.header("Content-Length"), std::to_string(std::filesystem::file_size(file)));
    EXPECT_EQ(Platform::sha256Hex(TestSupport::readFile(received)), sha);

    Reply done = client().request("POST", "/v1/jobs/" + job + "/finish", JSON::object(),
                                  {receiver.authorization(), "X-ZUQ-Lease: " + install});
    ASSERT_EQ(done.status, 200) << done.body;
    EXPECT_EQ(done.json()["state"].text(), "succeeded");
    EXPECT_TRUE(storedFiles().empty());

    Reply events = client().request("GET", "/v1/jobs/" + job + "/events?after=0", std::nullopt,
                                    {receiver.authorization()});
    ASSERT_EQ(events.json()["events"].items().size(), 1u);
    JSON first = events.json()["events"].items()[0];
    EXPECT_EQ(first["message"].text(), "Archiving App");
    EXPECT_EQ(first["id"].kind(), JSON::Kind::number);
    EXPECT_EQ(first["created_at"].kind(), JSON::Kind::number);
    Reply later = client().request(
        "GET", "/v1/jobs/" + job + "/events?after=" + std::to_string(first["id"].integer()),
        std::nullopt, {receiver.authorization()});
    EXPECT_EQ(later.json(), JSON::object({{"events", JSON::array()}}));
    Reply listed = client().request("GET", "/v1/jobs", std::nullopt, {builder.authorization()});
    ASSERT_EQ(listed.json()["jobs"].items().size(), 1u);
    EXPECT_EQ(listed.json()["jobs"].items()[0]["state"].text(), "succeeded");
}

TEST_F(ContractTest, TwoGroupsCannotSeeEachOthersDevicesJobsEventsOrBuilds) {
    Mac first = createGroup("First", "A");
    Mac second = createGroup("Second", "B");
    std::string job = submit(first, first, first);
    std::string lease = claim(first, job);
    ASSERT_EQ(uploadFile(first, job, lease, makeFile("build", 1000)).status, 200);
    client().request("POST", "/v1/jobs/" + job + "/event", JSON::object({{"message", "secret"}}),
                     {first.authorization(), "X-ZUQ-Lease: " + lease});

    auto expectNotFound = [&](const std::string& method, const std::string& path,
                              const std::optional<std::string>& body,
                              std::vector<std::string> headers) {
        headers.push_back(second.authorization());
        Reply reply = client().request(method, path, body, headers);
        EXPECT_EQ(reply.status, 404) << method << " " << path;
        EXPECT_EQ(reply.error(), "Job not found") << method << " " << path;
    };
    std::string base = "/v1/jobs/" + job;
    expectNotFound("GET", base, std::nullopt, {});
    expectNotFound("GET", base + "/events", std::nullopt, {});
    expectNotFound("POST", base + "/cancel", "{}", {});
    expectNotFound("GET", base + "/artifact", std::nullopt, {"X-ZUQ-Lease: " + lease});
    expectNotFound("POST", base + "/fail", R"({"error":"x"})", {"X-ZUQ-Lease: " + lease});
    expectNotFound("POST", base + "/event", R"({"message":"x"})", {"X-ZUQ-Lease: " + lease});

    Reply theirs = client().request("GET", "/v1/jobs", std::nullopt, {second.authorization()});
    EXPECT_EQ(theirs.json(), JSON::object({{"jobs", JSON::array()}}));
    Reply group = client().request("GET", "/v1/group", std::nullopt, {second.authorization()});
    ASSERT_EQ(group.json()["devices"].items().size(), 1u);
    EXPECT_EQ(group.json()["devices"].items()[0]["id"].text(), second.device);
    Reply revoke = client().request("DELETE", "/v1/devices/" + first.device, std::nullopt,
                                    {second.authorization()});
    EXPECT_EQ(revoke.status, 404);
    Reply mine = client().request("GET", base, std::nullopt, {first.authorization()});
    EXPECT_EQ(mine.json()["state"].text(), "building");
}

TEST_F(ContractTest, UnknownPathsAndMethodsAnswerInJSON) {
    Mac mac = createGroup();
    struct Case {
        std::string method;
        std::string path;
        long status;
        std::string error;
    } cases[] = {
        {"GET", "/", 404, "Not found"},
        {"GET", "/v1/groups/", 404, "Not found"},
        {"GET", "/v2/group", 404, "Not found"},
        {"POST", "/v1/group", 405, "Method not allowed"},
        {"PATCH", "/v1/jobs", 405, "Method not allowed"},
        {"OPTIONS", "/v1/jobs", 405, "Method not allowed"},
        {"GET", "/v1/jobs/%2E%2E", 404, "Job not found"},
        {"GET", "/v1/jobs/%2E%2E%2F%2E%2E/artifact", 404, "Not found"},
        {"GET", "/v1/jobs/" + mac.device + "/events?after=-1", 400,
         "Parameter \"after\" must be a whole number, 0 or more"},
    };
    for (const auto& [method, path, status, error] : cases) {
        Reply reply = client().request(method, path, std::nullopt, {mac.authorization()});
        EXPECT_EQ(reply.status, status) << method << " " << path;
        EXPECT_EQ(reply.error(), error) << method << " " << path;
    }
}

} // namespace
