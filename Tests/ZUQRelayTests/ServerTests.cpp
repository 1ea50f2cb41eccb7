// The relay as a server: limits on what it reads, builds that arrive badly, restarts,
// connections that wait, TLS, its log and its command line.
#include "Platform/Digest.hpp"
#include "RelayFixture.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace ZUQRelayTests;

namespace {

using ServerTest = RelayTest;
namespace fs = std::filesystem;

std::string requestHead(const std::string& method, const std::string& path, const Mac& mac,
                        const std::vector<std::string>& headers) {
    std::string head =
        method + " " + path + " HTTP/1.1\r\nHost: relay\r\n" + mac.authorization() + "\r\n";
    for (const auto& header : headers) {
        head += header + "\r\n";
    }
    return head + "\r\n";
}

// A new job for `mac` to build and receive, submitted through `client`.
std::string createdJob(HTTPClient& client, const Mac& mac) {
    Reply reply = client.request("POST", "/v1/jobs",
                                 JSON::object({{"builder_id", mac.device},
                                               {"receiver_id", mac.device},
                                               {"project_id", "P"},
                                               {"scheme", "App"},
                                               {"configuration", "Release"},
                                               {"mode", "adhoc"},
                                               {"udid", "U"}}),
                                 {mac.authorization()});
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.json()["id"].text();
}

TEST_F(ServerTest, JSONBodiesAreLimitedAndCheckedMemberByMember) {
    Mac mac = createGroup();
    std::vector<std::string> auth = {mac.authorization()};
    std::string huge =
        R"({"inventory":{"pad":")" + std::string(1 << 20, 'x') + R"("},"leases":[]})";
    Reply tooLarge = client().request("POST", "/v1/heartbeat", huge, auth);
    EXPECT_EQ(tooLarge.status, 413);
    EXPECT_EQ(tooLarge.error(), "Request body is too large");

    Reply malformed =
        client().request("POST", "/v1/heartbeat", std::string("{\"inventory\":"), auth);
    EXPECT_EQ(malformed.status, 400);
    EXPECT_TRUE(malformed.error().starts_with("Request body is not valid JSON: "))
        << malformed.body;
    Reply array = client().request("POST", "/v1/heartbeat", std::string("[]"), auth);
    EXPECT_EQ(array.error(), "Request body must be a JSON object");
    Reply mistyped = client().request(
        "POST", "/v1/heartbeat", JSON::object({{"inventory", 3}, {"leases", JSON::array()}}), auth);
    EXPECT_EQ(mistyped.status, 400);
    EXPECT_EQ(mistyped.error(), "Member \"inventory\" must be an object");
    // Calls without members take an empty body as well as {}.
    EXPECT_EQ(client().request("POST", "/v1/claim", std::string(), auth).status, 200);

    // A chunked body is counted as it arrives.
    std::string chunked = requestHead("POST", "/v1/heartbeat", mac, {"Transfer-Encoding: chunked"});
    std::string chunk(64 * 1024, 'x');
    for (int i = 0; i < 20; ++i) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
        chunked += size + chunk + "\r\n";
    }
    chunked += "0\r\n\r\n";
    EXPECT_EQ(statusLine(rawExchange(relay->url(), chunked)), "HTTP/1.1 413 Payload Too Large");

    // Headers are bounded too.
    std::string heavy = requestHead(
        "GET", "/v1/group", mac, std::vector<std::string>(40, "X-Pad: " + std::string(4000, 'p')));
    EXPECT_EQ(rawExchange(relay->url(), heavy), "");
    // The relay is unharmed.
    EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, auth).status, 200);
}

TEST_F(ServerTest, UploadsNeedALengthWithinTheLimitAndAMatchingChecksum) {
    startRelay({"--max-artifact-bytes", "2000000"});
    Mac mac = createGroup();
    std::string job = submit(mac, mac, mac);
    std::string lease = claim(mac, job);
    std::string path = "/v1/jobs/" + job + "/artifact";

    std::string chunked =
        requestHead("PUT", path, mac, {"X-ZUQ-Lease: " + lease, "Transfer-Encoding: chunked"}) +
        "5\r\nhello\r\n0\r\n\r\n";
    EXPECT_EQ(statusLine(rawExchange(relay->url(), chunked)), "HTTP/1.1 411 Length Required");

    // Too large: refused from the headers alone, whether or not the client waits for a go.
    Reply large = uploadFile(mac, job, lease, makeFile("large", 2000001));
    EXPECT_EQ(large.status, 413);
    EXPECT_EQ(large.error(), "Build is too large");
    std::string announced =
        requestHead("PUT", path, mac, {"X-ZUQ-Lease: " + lease, "Content-Length: 3000000"});
    std::string refusal = rawExchange(relay->url(), announced + std::string(100000, 'b'));
    EXPECT_EQ(statusLine(refusal), "HTTP/1.1 413 Payload Too Large");
    EXPECT_NE(refusal.find("Build is too large"), std::string::npos);

    Reply forged = uploadFile(mac, job, "forged", makeFile("forged", 1500000));
    EXPECT_EQ(forged.status, 409);
    EXPECT_EQ(forged.error(), "Lease is not valid for this job");

    auto file = makeFile("build", 1500000);
    Reply mismatch = client().upload(
        path, file,
        {mac.authorization(), "X-ZUQ-Lease: " + lease, "X-ZUQ-SHA256: " + std::string(64, '0')});
    EXPECT_EQ(mismatch.status, 400);
    EXPECT_EQ(mismatch.error(), "Artifact checksum mismatch");
    EXPECT_TRUE(storedFiles().empty());

    // Without a checksum header the relay still records what it received.
    ASSERT_EQ(uploadFile(mac, job, lease, file, false).status, 200);
    Reply finished = client().request("POST", "/v1/jobs/" + job + "/finish-build",
                                      JSON::object({{"manifest", JSON::object()}}),
                                      {mac.authorization(), "X-ZUQ-Lease: " + lease});
    EXPECT_EQ(finished.json()["artifact_sha"].text(),
              Platform::sha256Hex(TestSupport::readFile(file)));
}

TEST_F(ServerTest, ACutUploadLeavesNothingAndTheNextOneWorks) {
    Mac mac = createGroup();
    std::string job = submit(mac, mac, mac);
    std::string lease = claim(mac, job);
    std::string path = "/v1/jobs/" + job + "/artifact";
    std::string head =
        requestHead("PUT", path, mac, {"X-ZUQ-Lease: " + lease, "Content-Length: 8000000"});
    rawExchange(relay->url(), head + std::string(1000000, 'c'), 10, true);
    ASSERT_TRUE(waitForLog("PUT " + path + " 400"));
    EXPECT_TRUE(storedFiles().empty());
    EXPECT_EQ(client()
                  .request("GET", "/v1/jobs/" + job, std::nullopt, {mac.authorization()})
                  .json()["state"]
                  .text(),
              "building");

    ASSERT_EQ(uploadFile(mac, job, lease, makeFile("build", 2000000)).status, 200);
    EXPECT_EQ(storedFiles().size(), 1u);
}

TEST_F(ServerTest, ARestartKeepsGroupsDevicesJobsLeasesAndBuilds) {
    Mac owner = createGroup("Team", "Owner");
    Mac receiver = join(owner, "Receiver");
    JSON inventory = JSON::object({{"phones", JSON::array({JSON::object({{"udid", "U"}})})}});
    ASSERT_EQ(client()
                  .request("POST", "/v1/heartbeat",
                           JSON::object({{"inventory", inventory}, {"leases", JSON::array()}}),
                           {receiver.authorization()})
                  .status,
              200);
    std::string job = submit(owner, owner, receiver);
    std::string lease = claim(owner, job);
    auto file = makeFile("build", 1234567);
    ASSERT_EQ(uploadFile(owner, job, lease, file).status, 200);
    client().request("POST", "/v1/jobs/" + job + "/event", JSON::object({{"message", "Built"}}),
                     {owner.authorization(), "X-ZUQ-Lease: " + lease});
    JSON group = client().request("GET", "/v1/group", std::nullopt, {owner.authorization()}).json();
    JSON record =
        client().request("GET", "/v1/jobs/" + job, std::nullopt, {owner.authorization()}).json();

    std::string before = relay->url();
    relay->restart();
    HTTPClient after(relay->url());
    EXPECT_EQ(after.request("GET", "/v1/group", std::nullopt, {receiver.authorization()}).json(),
              group);
    for (const JSON& device : group["devices"].items()) {
        EXPECT_EQ(device["inventory"], device["id"].text() == receiver.device ? inventory : JSON());
    }
    EXPECT_EQ(
        after.request("GET", "/v1/jobs/" + job, std::nullopt, {receiver.authorization()}).json(),
        record);
    Reply events = after.request("GET", "/v1/jobs/" + job + "/events", std::nullopt,
                                 {receiver.authorization()});
    EXPECT_EQ(events.json()["events"].items()[0]["message"].text(), "Built");
    Reply finished = after.request("POST", "/v1/jobs/" + job + "/finish-build",
                                   JSON::object({{"manifest", JSON::object()}}),
                                   {owner.authorization(), "X-ZUQ-Lease: " + lease});
    ASSERT_EQ(finished.status, 200) << finished.body;
    Reply claimed = after.request("POST", "/v1/claim", JSON::object(), {receiver.authorization()});
    std::string install = claimed.json()["lease"].text();
    auto received = directory / "received";
    ASSERT_EQ(after
                  .download("/v1/jobs/" + job + "/artifact", received,
                            {receiver.authorization(), "X-ZUQ-Lease: " + install})
                  .status,
              200);
    EXPECT_EQ(TestSupport::readFile(received), TestSupport::readFile(file));
}

TEST_F(ServerTest, TheLogHasOneLinePerRequestAndNoSecrets) {
    Mac owner = createGroup("Team", "Owner");
    Reply invite = client().request("POST", "/v1/invites", JSON::object(), {owner.authorization()});
    std::string code = invite.json()["code"].text();
    Reply joined = client().request("POST", "/v1/join",
                                    JSON::object({{"code", code}, {"device_name", "Second"}}));
    std::string job = submit(owner, owner, owner);
    std::string lease = claim(owner, job);
    client().request("GET", "/v1/jobs/" + job + "?token=" + owner.token, std::nullopt,
                     {owner.authorization(), "X-ZUQ-Lease: " + lease});
    relay->stop();
    std::string log = relay->log();
    for (const std::string& secret :
         {owner.token, joined.json()["token"].text(), code, lease, relay->bootstrapSecret()}) {
        ASSERT_FALSE(secret.empty());
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
    EXPECT_NE(log.find(" GET /v1/jobs/" + job + " 200 "), std::string::npos) << log;
    EXPECT_NE(log.find(" POST /v1/claim 200 "), std::string::npos);
    EXPECT_NE(log.find("ms " + owner.device + "\n"), std::string::npos);
    EXPECT_NE(log.find(" POST /v1/join 200 "), std::string::npos);
    EXPECT_NE(log.find("Stopped\n"), std::string::npos);
}

TEST_F(ServerTest, ALogThatNobodyReadsHoldsUpNoRequest) {
    // Standard error is a pipe whose reader has stalled: it takes 64 KiB and no more.
    relay.reset();
    fs::path data = directory / "stalled";
    fs::path logPipe = data.string() + ".log";
    ASSERT_EQ(::mkfifo(logPipe.c_str(), 0600), 0);
    int reader = ::open(logPipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    relay = std::make_unique<TestSupport::RelayProcess>(data);
    HTTPClient stalled(relay->url());
    Reply created = stalled.request("POST", "/v1/groups",
                                    JSON::object({{"name", "Team"}, {"device_name", "Mac"}}),
                                    {"X-ZUQ-Bootstrap: " + relay->bootstrapSecret()});
    ASSERT_EQ(created.status, 200) << created.body;
    std::string authorization = "Authorization: Bearer " + created.json()["device_id"].text() +
                                "." + created.json()["token"].text();
    // Several times what the pipe holds in log lines.
    for (int request = 0; request < 3000; ++request) {
        Reply answer = stalled.request("GET", "/v1/group", std::nullopt, {authorization});
        ASSERT_EQ(answer.status, 200) << "request " << request;
    }
    // The log is whole once it is read again: the last request, then the stop.
    std::string log;
    std::thread drain([&] {
        ::fcntl(reader, F_SETFL, 0);
        char buffer[65536];
        for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;) {
            log.append(buffer, static_cast<std::size_t>(got));
        }
    });
    EXPECT_EQ(relay->stop(), 0);
    drain.join();
    ::close(reader);
    std::size_t logged = 0;
    for (auto at = log.find(" GET /v1/group 200 "); at != std::string::npos;
         at = log.find(" GET /v1/group 200 ", at + 1)) {
        ++logged;
    }
    EXPECT_EQ(logged, 3000u) << log.substr(0, 400);
    EXPECT_TRUE(log.ends_with("Stopped\n"))
        << log.substr(log.size() - std::min<std::size_t>(400, log.size()));
}

TEST_F(ServerTest, IdleConnectionsHoldNoWorker) {
    startRelay({"--threads", "2"});
    Mac mac = createGroup();
    auto port =
        static_cast<std::uint16_t>(std::stoi(relay->url().substr(relay->url().rfind(':') + 1)));
    std::vector<int> sockets;
    for (int i = 0; i < 64; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (i % 2 == 0) {
            // Half start a request and stall in the middle of its headers.
            std::string partial = "GET /v1/group HTTP/1.1\r\nHost: x\r\n";
            ::send(fd, partial.data(), partial.size(), MSG_NOSIGNAL);
        }
        sockets.push_back(fd);
    }
    HTTPClient fresh(relay->url());
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(fresh.request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status,
                  200);
    }
    // Stalled headers can hold the two workers for a while; idle connections hold none. The
    // bound is generous for slow builds: the point is that it is not the 30-second time-out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    for (int fd : sockets) {
        ::close(fd);
    }
}

TEST_F(ServerTest, StopsCleanlyAndRefusesASecondRelayOnTheSameData) {
    Mac mac = createGroup();
    auto program = TestSupport::binaryDirectory() / "zuq-relay";
    TestSupport::Output second =
        TestSupport::run(program, {"--listen", "127.0.0.1:0", "--data", relay->dataDirectory()});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, JSON::object({{"error", "Another zuq-relay is using " +
                                                      relay->dataDirectory().string()}})
                                  .data() +
                              "\n");
    // Neither a kept-alive client, nor a new one that has sent nothing yet, nor one stopped
    // inside its head delays the stop (each would hold it until its time-out).
    EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status,
              200);
    RawConnection silent(relay->url());
    RawConnection halfway(relay->url());
    halfway.send("GET /v1/group HTTP/1.1\r\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(relay->stop(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(relay->log().find("Stopping on SIGTERM"), std::string::npos);
}

TEST_F(ServerTest, AStopRightAfterStartingIsNotLost) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        TestSupport::RelayProcess quick(directory / ("quick" + std::to_string(attempt)));
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(quick.stop(), 0) << quick.log();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
}

TEST_F(ServerTest, CommandLineMistakesAreReportedAsJSON) {
    auto program = TestSupport::binaryDirectory() / "zuq-relay";
    TestSupport::Output open = TestSupport::run(
        program, {"--listen", "0.0.0.0:0", "--data", (directory / "open").string()});
    EXPECT_EQ(open.status, 1);
    EXPECT_EQ(JSON::decode(open.err)["error"].text(),
              "Plain HTTP is allowed only on loopback addresses. Give --tls-cert and --tls-key to "
              "listen on 0.0.0.0.");
    TestSupport::Output missing =
        TestSupport::run(program, {"--data", (directory / "d").string(), "--bootstrap-file",
                                   (directory / "absent").string(), "--listen", "127.0.0.1:0"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(JSON::decode(missing.err)["error"].text().find("absent"), std::string::npos);
    TestSupport::Output help = TestSupport::run(program, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: zuq-relay --data DIR"));
}

TEST_F(ServerTest, ServesHTTPSWithTheGivenCertificate) {
    auto certificate = TestSupport::selfSignedCertificate(directory);
    auto key = directory / "key.pem";
    auto secret = directory / "bootstrap";
    TestSupport::writeFile(secret, "  correct horse battery staple \n");
    startRelay({"--tls-cert", certificate.string(), "--tls-key", key.string(), "--bootstrap-file",
                secret.string()});
    ASSERT_TRUE(relay->url().starts_with("https://127.0.0.1:")) << relay->url();
    EXPECT_EQ(relay->bootstrapFile(), secret);

    HTTPClient tls(relay->url(), certificate);
    Reply created = tls.request("POST", "/v1/groups",
                                JSON::object({{"name", "Secure"}, {"device_name", "Mac"}}),
                                {"X-ZUQ-Bootstrap: correct horse battery staple"});
    ASSERT_EQ(created.status, 200) << created.body;
    Mac mac{created.json()["group_id"].text(), created.json()["device_id"].text(),
            created.json()["token"].text()};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(tls.request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status, 200);
    }
    // A build travels both ways over TLS.
    std::string job = createdJob(tls, mac);
    std::string lease = tls.request("POST", "/v1/claim", JSON::object(), {mac.authorization()})
                            .json()["lease"]
                            .text();
    auto file = makeFile("build", 3 * 1024 * 1024 + 1);
    std::string sha = Platform::sha256Hex(TestSupport::readFile(file));
    ASSERT_EQ(tls.upload("/v1/jobs/" + job + "/artifact", file,
                         {mac.authorization(), "X-ZUQ-Lease: " + lease, "X-ZUQ-SHA256: " + sha})
                  .status,
              200);
    ASSERT_EQ(tls.request("POST", "/v1/jobs/" + job + "/finish-build",
                          JSON::object({{"manifest", JSON::object()}}),
                          {mac.authorization(), "X-ZUQ-Lease: " + lease})
                  .status,
              200);
    std::string install = tls.request("POST", "/v1/claim", JSON::object(), {mac.authorization()})
                              .json()["lease"]
                              .text();
    auto received = directory / "received";
    ASSERT_EQ(tls.download("/v1/jobs/" + job + "/artifact", received,
                           {mac.authorization(), "X-ZUQ-Lease: " + install})
                  .status,
              200);
    EXPECT_EQ(Platform::sha256Hex(TestSupport::readFile(received)), sha);
    // Plain HTTP on the TLS port gets nothing useful.
    std::string plain = rawExchange("http" + relay->url().substr(5),
                                    "GET /v1/group HTTP/1.1\r\nHost: x\r\n\r\n", 5);
    EXPECT_EQ(plain.find("200 OK"), std::string::npos);
}

} // namespace
