// The relay client against small scripted servers: the failures a healthy relay never
// produces, and the exact requests the client sends.
#include "API.hpp"
#include "Platform/Digest.hpp"
#include "RelayError.hpp"
#include "ScriptedRelay.hpp"
#include "Support.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <set>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

using TestSupport::failure;

using TestSupport::ScriptedRelay;

Credentials macCredentials(std::string server) {
    return Credentials{std::move(server),
                       "dev-1",
                       "tok-1",
                       "g",
                       "Team",
                       "Mac",
                       "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8="};
}

TEST(API, OriginValidation) {
    struct Case {
        const char* origin;
        bool accepted;
    };
    const Case cases[] = {
        {"https://relay.example.org", true},
        {"https://relay.example.org/", true},
        {"https://relay.example.org:8443", true},
        {"http://localhost:8787", true},
        {"http://127.0.0.1", true},
        {"http://[::1]:9000/", true},
        {"https://relay.example.org/v1", false},
        {"https://user@relay.example.org", false},
        {"https://user:pw@relay.example.org", false},
        {"https://relay.example.org?x=1", false},
        {"https://relay.example.org/?", false},
        {"https://relay.example.org#top", false},
        {"http://relay.example.org", false},
        {"http://192.168.1.2:8787", false},
        {"HTTPS://relay.example.org", false},
        {"Http://localhost", false},
        {"ftp://relay.example.org", false},
        {"https:/relay.example.org", false},
        {"relay.example.org", false},
        {"", false},
        {" https://relay.example.org", false},
        {"https://", false},
    };
    for (const auto& c : cases) {
        std::string message = failure([&] { API(c.origin, std::nullopt); });
        EXPECT_EQ(message, c.accepted ? "no error"
                                      : "Server must be an HTTPS origin. HTTP is allowed only "
                                        "for localhost testing.")
            << c.origin;
    }
}

TEST(API, SendsTheFixedHeadersAndCompactBody) {
    ScriptedRelay relay;
    std::string body;
    relay.server.Post("/v1/jobs",
                      [&](const httplib::Request& request, httplib::Response& response) {
                          body = request.body;
                          response.set_content(R"({"id": "j"})", "application/json");
                      });
    relay.server.Get("/v1/group", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{}", "application/json");
    });
    relay.start();

    API enrolled(relay.origin(), macCredentials(relay.origin()));
    JSON answer = enrolled.call("POST", "/v1/jobs", JSON::object({{"b", "/x"}, {"a", 1}}),
                                std::string("lease-1"), std::string("boot"));
    EXPECT_EQ(answer["id"].text(), "j");
    API anonymous(relay.origin(), std::nullopt);
    anonymous.call("GET", "/v1/group");

    auto requests = relay.requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto& post = requests[0];
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.get_header_value("User-Agent"), "ZUQ/0.1.0");
    EXPECT_EQ(post.get_header_value("Authorization"), "Bearer dev-1.tok-1");
    EXPECT_EQ(post.get_header_value("X-ZUQ-Lease"), "lease-1");
    EXPECT_EQ(post.get_header_value("X-ZUQ-Bootstrap"), "boot");
    EXPECT_EQ(post.get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(body, R"({"a":1,"b":"/x"})");
    const auto& get = requests[1];
    EXPECT_FALSE(get.has_header("Authorization"));
    EXPECT_FALSE(get.has_header("X-ZUQ-Lease"));
    EXPECT_FALSE(get.has_header("Content-Type"));
    EXPECT_FALSE(get.has_header("Content-Length"));
}

TEST(API, RefusesPathsThatLeaveTheRelayBeforeAnyTraffic) {
    ScriptedRelay relay;
    relay.start();
    API api(relay.origin(), macCredentials(relay.origin()));
    for (const char* path :
         {"v1/group", "", "//evil.example.org/v1/group", "/v1/devices/a b", "/v1/devices/\n"}) {
        EXPECT_EQ(failure([&] { api.call("GET", path); }), "Invalid API path") << path;
    }
    EXPECT_TRUE(relay.requests().empty());
}

TEST(API, TypedCallsSendExactlyTheRelaysRequests) {
    ScriptedRelay relay;
    // One answer that every call can read: a heartbeat's jobs and a claim's job and lease.
    const std::string answer =
        R"({"jobs": [{"id": "j1", "state": "installing"}, {"id": "j2", "state": "paused"}],)"
        R"( "job": {"id": "j1"}, "lease": "L1"})";
    for (const char* method : {"GET", "POST", "DELETE"}) {
        relay.answer(method, "/v1/.*", 200, answer);
    }
    relay.start();
    API api(relay.origin(), macCredentials(relay.origin()));
    API anonymous(relay.origin(), std::nullopt);

    const std::string job = "0f0e0d0c-0b0a-4908-8706-050403020100";
    anonymous.createGroup("Team", "Mac", "boot");
    api.createInvite();
    anonymous.join(JSON(), "Second");
    api.group();
    api.revoke("dev-2");
    api.submit({"b", "r", "p", "App", "Release", DeploymentMode::adhoc, "U"});
    api.jobs();
    api.job(job);
    api.events(job);
    api.events(job, 41);
    api.cancel(job);
    auto leased = api.heartbeat(JSON::object({{"phones", JSON::array()}}), {{job, "T1"}});
    auto claimed = api.claim();
    api.event(job, "L1", "Archiving");
    api.fail(job, "L1", "Broke");
    api.finishBuild(job, "L1", JSON::object({{"bundle_id", "x.y"}}));
    api.finish(job, "L1");

    struct Expected {
        const char* method;
        std::string target;
        std::optional<std::string> body; // nothing: no body at all
        const char* lease;
    };
    const std::string jobPath = "/v1/jobs/" + job;
    const Expected expected[] = {
        {"POST", "/v1/groups", R"({"device_name":"Mac","name":"Team"})", nullptr},
        {"POST", "/v1/invites", "{}", nullptr},
        {"POST", "/v1/join", R"({"code":null,"device_name":"Second"})", nullptr},
        {"GET", "/v1/group", std::nullopt, nullptr},
        {"DELETE", "/v1/devices/dev-2", std::nullopt, nullptr},
        {"POST", "/v1/jobs",
         R"({"builder_id":"b","configuration":"Release","mode":"adhoc","project_id":"p",)"
         R"("receiver_id":"r","scheme":"App","udid":"U"})",
         nullptr},
        {"GET", "/v1/jobs", std::nullopt, nullptr},
        {"GET", jobPath, std::nullopt, nullptr},
        {"GET", jobPath + "/events", std::nullopt, nullptr},
        {"GET", jobPath + "/events?after=41", std::nullopt, nullptr},
        {"POST", jobPath + "/cancel", "{}", nullptr},
        {"POST", "/v1/heartbeat",
         R"({"inventory":{"phones":[]},"leases":[{"id":")" + job + R"(","token":"T1"}]})", nullptr},
        {"POST", "/v1/claim", "{}", nullptr},
        {"POST", jobPath + "/event", R"({"message":"Archiving"})", "L1"},
        {"POST", jobPath + "/fail", R"({"error":"Broke"})", "L1"},
        {"POST", jobPath + "/finish-build", R"({"manifest":{"bundle_id":"x.y"}})", "L1"},
        {"POST", jobPath + "/finish", "{}", "L1"},
    };
    auto requests = relay.requests();
    auto bodies = relay.bodies();
    ASSERT_EQ(requests.size(), std::size(expected));
    ASSERT_EQ(bodies.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const auto& request = requests[i];
        const Expected& want = expected[i];
        std::string target = request.path;
        if (request.has_param("after")) {
            target += "?after=" + request.get_param_value("after");
        }
        EXPECT_EQ(request.method, want.method) << want.target;
        EXPECT_EQ(target, want.target);
        if (want.body) {
            EXPECT_EQ(bodies[i], *want.body) << want.target;
            EXPECT_EQ(request.get_header_value("Content-Type"), "application/json");
        } else {
            EXPECT_FALSE(request.has_header("Content-Length")) << want.target;
            EXPECT_FALSE(request.has_header("Content-Type")) << want.target;
        }
        EXPECT_EQ(request.get_header_value("X-ZUQ-Lease"), want.lease ? want.lease : "")
            << want.target;
        EXPECT_EQ(request.has_header("X-ZUQ-Bootstrap"), i == 0) << want.target;
        EXPECT_EQ(request.has_header("Authorization"), i != 0 && i != 2) << want.target;
    }
    EXPECT_EQ(requests[0].get_header_value("X-ZUQ-Bootstrap"), "boot");

    // Each request is its operation's row of the protocol table, which the relay routes by:
    // the method and path, the lease exactly for a lease holder's operations, the secret for
    // the bootstrap's, a body exactly for those that take one. Every JSON operation is here.
    std::set<Protocol::Operation> seen;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto& request = requests[i];
        SCOPED_TRACE(request.method + " " + request.path);
        auto row = std::find_if(Protocol::endpoints.begin(), Protocol::endpoints.end(),
                                [&](const Protocol::Endpoint& endpoint) {
                                    std::string_view pattern = endpoint.pattern;
                                    std::size_t star = pattern.find('*');
                                    std::string_view path = request.path;
                                    bool fits =
                                        star == std::string_view::npos
                                            ? path == pattern
                                            : path.size() > pattern.size() &&
                                                  path.starts_with(pattern.substr(0, star)) &&
                                                  path.ends_with(pattern.substr(star + 1)) &&
                                                  path.substr(star, path.size() - pattern.size() + 1)
                                                          .find('/') == std::string_view::npos;
                                    return endpoint.method == request.method && fits;
                                });
        ASSERT_NE(row, Protocol::endpoints.end());
        seen.insert(row->operation);
        EXPECT_EQ(request.has_header("X-ZUQ-Lease"),
                  row->access == Protocol::Access::leaseHolder);
        EXPECT_EQ(request.has_header("X-ZUQ-Bootstrap"),
                  row->access == Protocol::Access::bootstrap);
        EXPECT_EQ(request.has_header("Authorization"), row->access != Protocol::Access::open &&
                                                           row->access != Protocol::Access::bootstrap);
        bool takesJSON = row->body == Protocol::Body::json || row->body == Protocol::Body::emptyOrJSON;
        EXPECT_EQ(request.has_header("Content-Type"), takesJSON);
        EXPECT_LE(bodies[i].size(), row->maxBodyBytes);
    }
    for (const Protocol::Endpoint& row : Protocol::endpoints) {
        if (row.body != Protocol::Body::upload && row.body != Protocol::Body::download) {
            EXPECT_TRUE(seen.contains(row.operation)) << row.method << " " << row.pattern;
        }
    }

    ASSERT_EQ(leased.size(), 2u);
    EXPECT_EQ(leased[0].id, "j1");
    EXPECT_EQ(leased[0].state, Protocol::JobState::installing);
    EXPECT_EQ(leased[1].stateText, "paused");
    EXPECT_FALSE(leased[1].state.has_value()) << "an unknown state is no state to work in";
    ASSERT_TRUE(claimed.has_value());
    EXPECT_EQ(claimed->job["id"].text(), "j1");
    EXPECT_EQ(claimed->lease, "L1");
}

TEST(API, AClaimWithoutAJobIsNothing) {
    ScriptedRelay relay;
    relay.answer("POST", "/v1/claim", 200, R"({"job": null, "lease": null})");
    relay.start();
    EXPECT_FALSE(API(relay.origin(), macCredentials(relay.origin())).claim().has_value());
}

TEST(Protocol, StatesAndSidesTravelAsTheirTexts) {
    using Protocol::JobState;
    using Protocol::Side;
    struct Case {
        JobState state;
        const char* text;
        bool terminal;
        std::optional<Side> side;
    };
    const Case cases[] = {
        {JobState::building, "building", false, Side::builder},
        {JobState::installing, "installing", false, Side::receiver},
        {JobState::succeeded, "succeeded", true, std::nullopt},
        {JobState::failed, "failed", true, std::nullopt},
        {JobState::cancelled, "cancelled", true, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Protocol::text(c.state), c.text);
        EXPECT_EQ(Protocol::jobState(c.text), c.state);
        EXPECT_EQ(Protocol::isTerminal(c.state), c.terminal) << c.text;
        EXPECT_EQ(ZUQ::isTerminal(c.text), c.terminal) << c.text;
        EXPECT_EQ(Protocol::workingSide(c.state), c.side) << c.text;
        if (c.side) {
            EXPECT_EQ(Protocol::workingState(*c.side), c.state);
        }
    }
    EXPECT_EQ(Protocol::text(Side::builder), "builder");
    EXPECT_EQ(Protocol::side("receiver"), Side::receiver);
    for (const char* unknown : {"", "Building", "builder ", "done"}) {
        EXPECT_FALSE(Protocol::jobState(unknown).has_value()) << unknown;
        EXPECT_FALSE(Protocol::side(unknown).has_value()) << unknown;
    }
    EXPECT_EQ(Protocol::path(Protocol::Operation::upload, "J"), "/v1/jobs/J/artifact");
    EXPECT_EQ(Protocol::path(Protocol::Operation::claim, "ignored"), "/v1/claim");
}

TEST(API, MapsRefusalsToOneSentence) {
    ScriptedRelay relay;
    auto answer = [&](const char* path, int status, std::string body, const char* type) {
        relay.server.Get(path, [=](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(body, type);
        });
    };
    answer("/json-error", 404, R"({"error": "Job not found"})", "application/json");
    answer("/with-reason", 409, R"({"error": "Lease is not valid for this job", "reason": "lease_lost"})",
           "application/json");
    answer("/unknown-reason", 409, R"({"error": "Later", "reason": "some_new_reason"})",
           "application/json");
    answer("/html", 404, "<html>Not here</html>", "text/html");
    answer("/bad-gateway", 502, "", "text/plain");
    answer("/error-not-text", 400, R"({"error": 12})", "application/json");
    answer("/empty-success", 200, "", "application/json");
    answer("/html-success", 200, "<p>hi</p>", "text/html");
    relay.server.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/json-error");
    });
    relay.start();
    API api(relay.origin(), std::nullopt);
    struct Case {
        const char* path;
        const char* message;
        long status;
        std::optional<Protocol::Reason> reason; // only what the relay said
    };
    const Case cases[] = {
        {"/json-error", "Job not found", 404, std::nullopt},
        {"/with-reason", "Lease is not valid for this job", 409, Protocol::Reason::leaseLost},
        {"/unknown-reason", "Later", 409, std::nullopt},
        {"/html", "Relay returned HTTP 404", 404, std::nullopt},
        {"/bad-gateway", "Relay returned HTTP 502", 502, std::nullopt},
        {"/error-not-text", "Relay returned HTTP 400", 400, std::nullopt},
        {"/redirect", "Relay returned HTTP 302", 302, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            api.call("GET", c.path);
            ADD_FAILURE() << "accepted";
        } catch (const RelayError& refused) {
            EXPECT_EQ(std::string(refused.what()), c.message);
            EXPECT_EQ(refused.status(), c.status);
            EXPECT_EQ(refused.reason(), c.reason);
            EXPECT_FALSE(refused.revoked());
        }
    }
    EXPECT_THROW(api.call("GET", "/empty-success"), JSON::ParseError);
    EXPECT_THROW(api.call("GET", "/html-success"), JSON::ParseError);
    auto paths = relay.requests();
    EXPECT_EQ(std::count_if(paths.begin(), paths.end(),
                            [](const auto& request) { return request.path == "/json-error"; }),
              1)
        << "the redirect must not be followed";
}

TEST(API, TransportErrorsKeepLibcurlsWordsAndNameTheRelay) {
    // A port that was free a moment ago and that nothing listens on.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(probe);
    std::string origin = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    API api(origin, std::nullopt);
    try {
        api.call("GET", "/v1/group");
        FAIL() << "connected to a closed port";
    } catch (const NetworkError& error) {
        std::string message = error.what();
        EXPECT_NE(message.find("Couldn't connect to server"), std::string::npos) << message;
        EXPECT_NE(message.find(origin), std::string::npos) << message;
    }
}

TEST(API, ReusesOneConnectionAndServesManyThreads) {
    ScriptedRelay relay;
    relay.server.Get("/v1/jobs", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"jobs": []})", "application/json");
    });
    relay.start();
    API api(relay.origin(), std::nullopt);
    for (int i = 0; i < 5; ++i) {
        api.call("GET", "/v1/jobs");
    }
    EXPECT_EQ(relay.connections(), 1u);

    API copy = api;
    std::atomic<int> answered = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                if (copy.call("GET", "/v1/jobs")["jobs"].kind() == JSON::Kind::array) {
                    ++answered;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(answered, 100);
    EXPECT_LE(relay.connections(), 5u) << "one connection per thread at most, plus the first";
}

class Transfers : public TestSupport::TemporaryDirectoryTest {};

TEST_F(Transfers, UploadStreamsTheFileWithItsLengthAndDigest) {
    ScriptedRelay relay;
    std::string received;
    relay.server.Put("/v1/jobs/J/artifact",
                     [&](const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader& reader) {
                         reader([&](const char* data, std::size_t size) {
                             received.append(data, size);
                             return true;
                         });
                         response.set_content(request.get_header_value("X-ZUQ-SHA256") ==
                                                      Platform::sha256Hex(received)
                                                  ? "{}"
                                                  : R"({"error": "Artifact checksum mismatch"})",
                                              "application/json");
                     });
    relay.start();
    std::string content(3 << 20, 'x');
    for (std::size_t i = 0; i < content.size(); i += 4099) {
        content[i] = static_cast<char>(i);
    }
    TestSupport::writeFile(directory / "Build.zuq", content);
    API api(relay.origin(), macCredentials(relay.origin()));
    api.upload("J", "lease-9", directory / "Build.zuq");
    EXPECT_EQ(received, content);
    auto request = relay.requests().at(0);
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.get_header_value("Content-Length"), std::to_string(content.size()));
    EXPECT_EQ(request.get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(request.get_header_value("X-ZUQ-SHA256"), Platform::sha256Hex(content));
    EXPECT_EQ(request.get_header_value("X-ZUQ-Lease"), "lease-9");
    EXPECT_THROW(api.upload("J", "lease-9", directory / "missing.zuq"), std::system_error);
}

TEST_F(Transfers, DownloadChecksTheDigestBeforeReplacingTheDestination) {
    ScriptedRelay relay;
    const std::string build(2 << 20, 'b');
    relay.server.Get("/v1/jobs/J/artifact",
                     [&](const httplib::Request&, httplib::Response& response) {
                         response.set_content(build, "application/octet-stream");
                     });
    relay.server.Get("/v1/jobs/gone/artifact", [](const httplib::Request&,
                                                  httplib::Response& response) {
        response.status = 409;
        response.set_content(R"({"error": "Lease is not valid for this job"})", "application/json");
    });
    relay.start();
    API api(relay.origin(), macCredentials(relay.origin()));
    fs::path destination = directory / "Receive" / "Build.zuq";
    fs::create_directories(destination.parent_path());
    TestSupport::writeFile(destination, "previous");

    EXPECT_EQ(failure([&] { api.download("J", "l", destination, std::string(64, '0')); }),
              "Downloaded build checksum mismatch");
    EXPECT_EQ(TestSupport::readFile(destination), "previous");
    EXPECT_EQ(failure([&] { api.download("gone", "l", destination, Platform::sha256Hex(build)); }),
              "Lease is not valid for this job");
    EXPECT_EQ(TestSupport::readFile(destination), "previous");
    EXPECT_EQ(
        std::distance(fs::directory_iterator(destination.parent_path()), fs::directory_iterator()),
        1)
        << "no temporary download is left behind";

    api.download("J", "l", destination, Platform::sha256Hex(build));
    EXPECT_EQ(TestSupport::readFile(destination), build);
}

TEST_F(Transfers, ADownloadStopsAtTheLargestBuildWhateverTheRelaySends) {
    ScriptedRelay relay;
    // What each answer managed to send before the client stopped reading; each would go on
    // for 4 GiB.
    std::atomic<std::uint64_t> sent = 0;
    auto endless = [&](std::size_t, httplib::DataSink& sink) {
        std::string piece(256 << 10, 'z');
        for (std::uint64_t total = 0; total < (std::uint64_t(4) << 30); total += piece.size()) {
            if (!sink.write(piece.data(), piece.size())) {
                return false;
            }
            sent += piece.size();
        }
        sink.done();
        return true;
    };
    relay.server.Get("/v1/jobs/announced/artifact",
                     [&](const httplib::Request&, httplib::Response& response) {
                         response.set_content_provider(
                             std::size_t(4) << 30, "application/octet-stream",
                             [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 return endless(offset, sink);
                             });
                     });
    relay.server.Get("/v1/jobs/unannounced/artifact",
                     [&](const httplib::Request&, httplib::Response& response) {
                         response.set_chunked_content_provider("application/octet-stream",
                                                               endless);
                     });
    relay.server.Get("/v1/jobs/refused/artifact",
                     [&](const httplib::Request&, httplib::Response& response) {
                         response.status = 500;
                         response.set_chunked_content_provider("application/json", endless);
                     });
    relay.start();
    API::Limits limits;
    limits.largestBuild = 1 << 20;
    API api(relay.origin(), macCredentials(relay.origin()), limits);
    fs::path destination = directory / "Receive" / "Build.zuq";
    fs::create_directories(destination.parent_path());
    const std::string tooLarge = "The relay sent a build larger than the 1048576 bytes this Mac accepts";
    struct Case {
        const char* job;
        std::string expected;
    };
    const Case cases[] = {
        {"announced", tooLarge},
        {"unannounced", tooLarge},
        {"refused", "Relay returned HTTP 500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.job);
        sent = 0;
        EXPECT_EQ(failure([&] { api.download(c.job, "l", destination, "x"); }), c.expected);
        EXPECT_LT(sent, std::uint64_t(64) << 20) << "the client kept reading";
        EXPECT_TRUE(fs::is_empty(destination.parent_path())) << "a download was left behind";
    }
}

TEST_F(Transfers, AStalledRelayFailsTheTransferAndAStopEndsIt) {
    ScriptedRelay relay;
    std::atomic<bool> release = false;
    relay.server.Get("/v1/jobs/J/artifact",
                     [&](const httplib::Request&, httplib::Response& response) {
                         response.set_content_provider(
                             10 << 20, "application/octet-stream",
                             [&](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                 if (offset == 0) {
                                     std::string first(1 << 20, 'a');
                                     return sink.write(first.data(), first.size());
                                 }
                                 while (!release) { // the relay stops answering mid-transfer
                                     std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                 }
                                 return false;
                             });
                     });
    relay.start();
    API::Limits limits;
    limits.stall = std::chrono::seconds(2);
    API api(relay.origin(), macCredentials(relay.origin()), limits);
    fs::path destination = directory / "Build.zuq";
    try {
        api.download("J", "l", destination, "x");
        FAIL() << "a stalled download succeeded";
    } catch (const NetworkError& error) {
        EXPECT_NE(std::string(error.what()).find("Timeout was reached"), std::string::npos)
            << error.what();
    }
    EXPECT_FALSE(fs::exists(destination));

    std::stop_source stop;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop.request_stop();
    });
    API patient(relay.origin(), macCredentials(relay.origin()));
    EXPECT_THROW(patient.download("J", "l", destination, "x", stop.get_token()), CancellationError);
    stopper.join();
    release = true;
    for (const auto& entry : fs::directory_iterator(directory)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".Build.zuq")) << entry.path();
    }
}

} // namespace
