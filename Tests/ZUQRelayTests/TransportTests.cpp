// The relay's transport against clients that crowd it, stall, trickle or frame requests to
// confuse it: it answers or closes cleanly, keeps its limits, and never lets one client hold
// up the others.
#include "RelayFixture.hpp"
#include "Server.hpp"
#include "Throughput.hpp"

#include <atomic>
#include <chrono>
#include <fstream>
#include <poll.h>
#include <random>
#include <sys/resource.h>
#include <thread>

using namespace ZUQRelayTests;
using namespace std::chrono_literals;

namespace {

class TransportTest : public RelayTest {
protected:
    // 40 Macs joining `mac`'s group and reporting about 250 KiB each: the group's answer is about
    // 10 MB, more than the kernel buffers between a relay and a client that does not read.
    void reportLargeInventories(const Mac& mac) {
        JSON::Object notes;
        for (int i = 0; i < 250; ++i) {
            notes.emplace("note " + std::to_string(i), std::string(1000, 'n'));
        }
        JSON beat =
            JSON::object({{"leases", JSON::array()},
                          {"inventory", JSON::object({{"notes", JSON(std::move(notes))}})}});
        for (int i = 0; i < 40; ++i) {
            Mac member = join(mac, "Mac " + std::to_string(i));
            ASSERT_EQ(
                client().request("POST", "/v1/heartbeat", beat, {member.authorization()}).status,
                200);
        }
    }
};

using Clock = std::chrono::steady_clock;

std::string head(const std::string& method, const std::string& path, const Mac& mac,
                 const std::vector<std::string>& headers = {}) {
    std::string text =
        method + " " + path + " HTTP/1.1\r\nHost: relay\r\n" + mac.authorization() + "\r\n";
    for (const auto& header : headers) {
        text += header + "\r\n";
    }
    return text + "\r\n";
}

std::string heartbeat(const Mac& mac) {
    std::string body = R"({"inventory":{},"leases":[]})";
    return head("POST", "/v1/heartbeat", mac,
                {"Content-Type: application/json",
                 "Content-Length: " + std::to_string(body.size())}) +
           body;
}

// The number of HTTP answers in what a connection received.
std::size_t answers(const std::string& received) {
    std::size_t count = 0;
    for (std::size_t at = received.find("HTTP/1.1 "); at != std::string::npos;
         at = received.find("HTTP/1.1 ", at + 1)) {
        ++count;
    }
    return count;
}

std::size_t threadsOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Threads:")) {
            return std::stoul(line.substr(8));
        }
    }
    return 0;
}

TEST(Throughput, CutsATransferWhenAWindowMovesTooLittle) {
    const auto start = Clock::time_point() + 1000s;
    struct Case {
        const char* what;
        std::vector<std::pair<int, std::uint64_t>> moved; // (seconds after start, bytes)
        int cutAfter;                                     // seconds after start
    };
    const Case cases[] = {
        {"nothing at all", {}, 30},
        {"a fast start, then nothing", {{1, 10'000'000}}, 31},
        {"steady at the rate", {{10, 160'000}, {20, 160'000}, {30, 160'000}, {40, 160'000}}, 50},
        {"a byte a second", {{1, 1}, {2, 1}, {3, 1}, {4, 1}}, 30},
        {"a burst, then a trickle", {{5, 1'000'000}, {20, 1}, {34, 1}}, 35},
    };
    for (const auto& c : cases) {
        ZUQRelay::Throughput progress(16'000, 30s, start);
        for (const auto& [second, bytes] : c.moved) {
            progress.add(bytes, start + std::chrono::seconds(second));
        }
        EXPECT_EQ(progress.deadline(), start + std::chrono::seconds(c.cutAfter)) << c.what;
    }
    ZUQRelay::Throughput off(0, 30s, start);
    EXPECT_EQ(off.deadline(), Clock::time_point::max());
}

TEST_F(TransportTest, CrowdsAtTheConnectionCapAndIdleExpiryNeverHarmTheRelay) {
    // 330 descriptors leave room for about 74 connections; 150 keep-alive clients beat and
    // often pause for about the keep-alive time, so eviction, expiry and new requests race.
    startRelay({"--keep-alive", "1"}, 330);
    Mac mac = createGroup();
    std::atomic<int> answered = 0;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> clients;
    auto until = Clock::now() + 8s;
    for (int t = 0; t < 6; ++t) {
        clients.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            std::vector<std::unique_ptr<RawConnection>> connections(25);
            while (Clock::now() < until) {
                for (auto& connection : connections) {
                    try {
                        if (!connection) {
                            connection = std::make_unique<RawConnection>(relay->url());
                        }
                        auto reply = connection->send(heartbeat(mac)) ? connection->answer(5s)
                                                                      : std::nullopt;
                        if (!reply) {
                            connection.reset(); // closed by the relay: a new one next time
                            continue;
                        }
                        if (statusLine(*reply) == "HTTP/1.1 200 OK") {
                            ++answered;
                        } else {
                            ++wrong;
                        }
                    } catch (const std::exception&) {
                        connection.reset();
                    }
                }
                if (random() % 4 == 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(900 + random() % 200));
                }
            }
        });
    }
    for (auto& client : clients) {
        client.join();
    }
    EXPECT_GT(answered, 150);
    EXPECT_EQ(wrong, 0);
    HTTPClient fresh(relay->url());
    EXPECT_EQ(fresh.request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status, 200);
    EXPECT_EQ(relay->log().find("Sanitizer"), std::string::npos) << relay->log();
}

TEST_F(TransportTest, ATransferWaitsForASlotAndIsRefusedWithRetryAfterWhenNoneFrees) {
    startRelay({"--max-transfers", "1", "--transfer-wait", "3"});
    Mac first = createGroup("Team", "First");
    Mac second = join(first, "Second");
    std::string firstJob = submit(first, first, first);
    std::string firstLease = claim(first, firstJob);
    std::string secondJob = submit(second, second, second);
    std::string secondLease = claim(second, secondJob);
    auto upload = [](const Mac& mac, const std::string& job, const std::string& lease,
                     std::size_t size) {
        return head("PUT", "/v1/jobs/" + job + "/artifact", mac,
                    {"X-ZUQ-Lease: " + lease, "Content-Length: " + std::to_string(size),
                     "Expect: 100-continue"});
    };
    const std::string build(200000, 'b');

    // The first upload takes the only slot and holds it.
    RawConnection holder(relay->url());
    ASSERT_TRUE(holder.send(upload(first, firstJob, firstLease, build.size())));
    auto go = holder.answer(10s);
    ASSERT_TRUE(go);
    EXPECT_EQ(statusLine(*go), "HTTP/1.1 100 Continue");

    // The second waits, then hears that the relay is busy and when to try again.
    RawConnection refused(relay->url());
    auto asked = Clock::now();
    ASSERT_TRUE(refused.send(upload(second, secondJob, secondLease, build.size())));
    auto busy = refused.answer(20s);
    ASSERT_TRUE(busy);
    EXPECT_GE(Clock::now() - asked, 2s);
    EXPECT_EQ(statusLine(*busy), "HTTP/1.1 503 Service Unavailable");
    EXPECT_NE(busy->find("\r\nRetry-After: 5\r\n"), std::string::npos) << *busy;
    EXPECT_NE(
        busy->find(
            R"({"error":"The relay is busy with other transfers. Try again shortly.","reason":"busy"})"),
        std::string::npos)
        << *busy;

    // A waiter gets the slot as soon as it is given back.
    RawConnection waiter(relay->url());
    ASSERT_TRUE(waiter.send(upload(second, secondJob, secondLease, build.size())));
    EXPECT_FALSE(waiter.answer(500ms)) << "no slot is free yet";
    ASSERT_TRUE(holder.send(build));
    auto stored = holder.answer(20s);
    ASSERT_TRUE(stored);
    EXPECT_EQ(statusLine(*stored), "HTTP/1.1 200 OK");
    auto admitted = waiter.answer(10s);
    ASSERT_TRUE(admitted);
    EXPECT_EQ(statusLine(*admitted), "HTTP/1.1 100 Continue");
    ASSERT_TRUE(waiter.send(build));
    auto done = waiter.answer(20s);
    ASSERT_TRUE(done);
    EXPECT_EQ(statusLine(*done), "HTTP/1.1 200 OK");
}

TEST_F(TransportTest, ASlowHeadATricklingUploadAndAStalledDownloadAreCutWhileOthersAreServed) {
    Mac mac = createGroup();
    // A build ready for its receiver, which will ask for it and then stop reading.
    std::string ready = submit(mac, mac, mac);
    std::string built = claim(mac, ready);
    constexpr std::size_t buildSize = 32 << 20;
    ASSERT_EQ(uploadFile(mac, ready, built, makeFile("ready", buildSize)).status, 200);
    ASSERT_EQ(client()
                  .request("POST", "/v1/jobs/" + ready + "/finish-build",
                           JSON::object({{"manifest", JSON::object()}}),
                           {mac.authorization(), "X-ZUQ-Lease: " + built})
                  .status,
              200);
    std::string install = claim(mac, ready);

    std::string job = submit(mac, mac, mac);
    std::string lease = claim(mac, job);
    std::string path = "/v1/jobs/" + job + "/artifact";

    auto timeToClose = [](RawConnection& connection, auto sendNext) {
        auto start = Clock::now();
        while (Clock::now() - start < 60s) {
            if (!sendNext() || connection.closesWithin(1s)) {
                break;
            }
        }
        return Clock::now() - start;
    };
    Clock::duration headCut{};
    Clock::duration uploadCut{};
    std::thread slowHead([&] {
        RawConnection connection(relay->url());
        connection.send("GET /v1/group HTTP/1.1\r\n");
        headCut = timeToClose(connection, [&] { return connection.send("X-Pad: 1\r\n"); });
    });
    std::thread trickle([&] {
        RawConnection connection(relay->url());
        connection.send(
            head("PUT", path, mac, {"X-ZUQ-Lease: " + lease, "Content-Length: 1000000"}));
        uploadCut = timeToClose(connection, [&] { return connection.send("b"); });
    });
    std::size_t stalledReceived = 0;
    std::thread stalled([&] {
        RawConnection connection(relay->url());
        connection.send(
            head("GET", "/v1/jobs/" + ready + "/artifact", mac, {"X-ZUQ-Lease: " + install}));
        // The socket buffers take the first megabytes at once; after that nothing moves.
        std::this_thread::sleep_for(36s);
        stalledReceived = connection.received(10s).size();
    });
    // Meanwhile everyone else is served as usual.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status,
                  200);
        std::this_thread::sleep_for(1s);
    }
    slowHead.join();
    trickle.join();
    stalled.join();
    // Cut: the connection closed before the whole build had gone.
    EXPECT_GT(stalledReceived, 0u);
    EXPECT_LT(stalledReceived, buildSize);
    EXPECT_GE(headCut, 29s);
    EXPECT_LE(headCut, 40s);
    EXPECT_GE(uploadCut, 29s);
    EXPECT_LE(uploadCut, 40s);
    EXPECT_TRUE(waitForLog("PUT " + path + " 408"));
    // Of the cut upload nothing is left: only the ready build is stored.
    EXPECT_EQ(storedFiles().size(), 1u);
}

TEST_F(TransportTest, ARefusedRequestWhoseBodyIsARequestGetsOneAnswer) {
    Mac mac = createGroup();
    std::string smuggled = head("GET", "/v1/group", mac);
    std::string refused = "POST /v1/nowhere HTTP/1.1\r\nHost: relay\r\nContent-Length: " +
                          std::to_string(smuggled.size()) + "\r\n\r\n";
    // The body with its head, and the body a moment after it.
    std::string together = rawExchange(relay->url(), refused + smuggled, 3);
    EXPECT_EQ(answers(together), 1u) << together;
    EXPECT_EQ(statusLine(together), "HTTP/1.1 404 Not Found");

    RawConnection later(relay->url());
    ASSERT_TRUE(later.send(refused));
    auto answer = later.answer(5s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(statusLine(*answer), "HTTP/1.1 404 Not Found");
    EXPECT_NE(answer->find("Connection: close"), std::string::npos) << *answer;
    later.send(smuggled);
    EXPECT_FALSE(later.answer(3s)) << "the body is never taken for a request";

    // A route that takes no body answers, and its unread body is not taken for a request.
    std::string withBody = head("GET", "/v1/group", mac, {"Content-Length: 100000"});
    std::string received = rawExchange(relay->url(), withBody + smuggled, 3);
    EXPECT_EQ(answers(received), 1u) << received;

    // Pipelined requests whose bodies were read are all answered, in order.
    std::string claim = head("POST", "/v1/claim", mac, {"Content-Length: 2"}) + "{}";
    std::string both = rawExchange(relay->url(), claim + head("GET", "/v1/group", mac), 3);
    EXPECT_EQ(answers(both), 2u) << both;
}

TEST_F(TransportTest, UnsoundFramingIsRefusedAndClosesTheConnection) {
    Mac mac = createGroup();
    const std::vector<std::string> framings[] = {
        {"Content-Length: 2", "Transfer-Encoding: chunked"},
        {"Transfer-Encoding: chunked", "Content-Length: 2"},
        {"Content-Length: 2", "Content-Length: 3"},
        {"Content-Length: 2", "Content-Length: 2"},
        {"Content-Length: 2, 2"},
        {"Transfer-Encoding: gzip"},
        {"Transfer-Encoding: gzip, chunked"},
        {"Transfer-Encoding: chunked", "Transfer-Encoding: chunked"},
    };
    for (const auto& framing : framings) {
        RawConnection connection(relay->url());
        connection.send(head("POST", "/v1/claim", mac, framing) + "{}");
        auto answer = connection.answer(5s);
        ASSERT_TRUE(answer) << framing[0];
        EXPECT_EQ(statusLine(*answer), "HTTP/1.1 400 Bad Request") << framing[0];
        EXPECT_NE(answer->find(R"({"error":"Bad request","reason":"invalid"})"), std::string::npos)
            << *answer;
        EXPECT_TRUE(connection.closesWithin(5s)) << framing[0];
    }
}

TEST_F(TransportTest, BodiesThatNeverComeDelayNoOtherRequest) {
    Mac mac = createGroup();
    std::vector<std::unique_ptr<RawConnection>> stalled;
    for (int i = 0; i < 40; ++i) {
        stalled.push_back(std::make_unique<RawConnection>(relay->url()));
        stalled.back()->send(head("POST", "/v1/heartbeat", mac, {"Content-Length: 100"}));
    }
    std::this_thread::sleep_for(500ms);
    auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status,
                  200);
    }
    // The stalled bodies would hold every worker for their 30 seconds if they could.
    EXPECT_LT(Clock::now() - start, 10s);
}

TEST_F(TransportTest, TenThousandIdleConnectionsHoldFewThreads) {
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 10500) {
        GTEST_SKIP() << "needs 10,500 open files; the hard limit is " << limit.rlim_max;
    }
    rlimit raised = limit;
    raised.rlim_cur = raised.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
    startRelay({"--max-connections-per-address", "20000"});
    Mac mac = createGroup();
    std::string request = head("GET", "/v1/group", mac);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 10000; ++i) {
        idle.push_back(std::make_unique<RawConnection>(relay->url()));
        ASSERT_TRUE(idle.back()->send(request));
        // A few at a time are read back, so that the relay's backlog never overflows.
        if (i % 100 == 99) {
            for (int j = i - 99; j <= i; ++j) {
                auto answer = idle[static_cast<std::size_t>(j)]->answer(30s);
                ASSERT_TRUE(answer) << j;
                ASSERT_EQ(statusLine(*answer), "HTTP/1.1 200 OK");
            }
        }
    }
    std::size_t threads = threadsOf(relay->pid());
    EXPECT_GT(threads, 0u);
    EXPECT_LE(threads, 32u);
    EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status,
              200);
    idle.clear();
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

TEST_F(TransportTest, OneAddressMayHoldOnlyItsShareOfConnections) {
    startRelay({"--max-connections-per-address", "3"});
    Mac mac = createGroup();
    // The fixture's client keeps the connection it created the group on: two more fill the
    // address's share.
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(std::make_unique<RawConnection>(relay->url()));
        held.back()->send(head("GET", "/v1/group", mac));
        ASSERT_TRUE(held.back()->answer(10s));
    }
    RawConnection fourth(relay->url());
    EXPECT_TRUE(fourth.closesWithin(5s));
    held.pop_back();
    std::this_thread::sleep_for(200ms);
    RawConnection fifth(relay->url());
    fifth.send(head("GET", "/v1/group", mac));
    auto answer = fifth.answer(10s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(statusLine(*answer), "HTTP/1.1 200 OK");
}

TEST_F(TransportTest, HeadsAndHandshakesThatNeverFinishMakeRoomForOthers) {
    auto certificate = TestSupport::selfSignedCertificate(directory);
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "TLS" : "plain HTTP");
        // One address stands for the many an attacker would use; 330 descriptors leave room
        // for about 74 connections.
        std::vector<std::string> arguments = {"--max-connections-per-address", "1000"};
        if (secure) {
            arguments.insert(arguments.end(), {"--tls-cert", certificate.string(), "--tls-key",
                                               (directory / "key.pem").string()});
        }
        startRelay(arguments, 330);
        std::filesystem::path authority = secure ? certificate : std::filesystem::path();
        HTTPClient creator(relay->url(), authority);
        Mac mac = createGroup(creator, "Team", "Mac");
        // Twice as many connections as the relay takes, each stopped inside its request's
        // head or its TLS handshake's first record.
        std::vector<std::unique_ptr<RawConnection>> stalled;
        for (int i = 0; i < 150; ++i) {
            stalled.push_back(std::make_unique<RawConnection>(relay->url()));
            stalled.back()->send(secure ? std::string("\x16\x03\x01", 3)
                                        : std::string("POST /v1/heartbeat HTTP/1.1\r\n"));
        }
        for (int i = 0; i < 10; ++i) {
            HTTPClient victim(relay->url(), authority);
            EXPECT_EQ(victim
                          .request("POST", "/v1/heartbeat",
                                   JSON::object(
                                       {{"inventory", JSON::object()}, {"leases", JSON::array()}}),
                                   {mac.authorization()})
                          .status,
                      200)
                << i;
        }
    }
}

TEST_F(TransportTest, BodiesAreLimitedByTheirRouteAndTogetherByABudget) {
    startRelay({"--body-budget", "1048576"});
    Mac mac = createGroup();
    // Each route takes bodies of its own size, announced or chunked.
    std::string name(9000, 'n');
    std::string join = R"({"code":"x","device_name":")" + name + R"("})";
    const std::pair<std::string, std::size_t> routes[] = {
        {"/v1/join", 8 * 1024},
        {"/v1/jobs/00000000-0000-4000-8000-000000000000/finish-build", 16 * 1024},
        {"/v1/jobs", 128 * 1024},
    };
    for (const auto& [path, limit] : routes) {
        SCOPED_TRACE(path);
        std::string body = R"({"pad":")" + std::string(limit, 'p') + R"("})";
        Reply announced = client().request("POST", path, body, {mac.authorization()});
        EXPECT_EQ(announced.status, 413);
        EXPECT_EQ(announced.error(), "Request body is too large");
    }
    std::string chunked = "POST /v1/join HTTP/1.1\r\nHost: relay\r\nTransfer-Encoding: chunked\r\n"
                          "Content-Type: application/json\r\n\r\n";
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", join.size());
    chunked += size + join + "\r\n0\r\n\r\n";
    EXPECT_EQ(statusLine(rawExchange(relay->url(), chunked)), "HTTP/1.1 413 Payload Too Large");

    // Heartbeats sent in part hold their bytes; past the budget the next body is turned away
    // while small requests of everyone else are served.
    std::string beat =
        R"({"leases":[],"inventory":{"pad":")" + std::string(300 * 1024, 'p') + R"("}})";
    auto partial = [&] {
        auto connection = std::make_unique<RawConnection>(relay->url());
        connection->send(head("POST", "/v1/heartbeat", mac,
                              {"Content-Type: application/json",
                               "Content-Length: " + std::to_string(beat.size())}) +
                         beat.substr(0, 280 * 1024));
        return connection;
    };
    // Whichever of four such bodies the relay reads last is turned away, the others held.
    std::vector<std::unique_ptr<RawConnection>> partials;
    for (int i = 0; i < 4; ++i) {
        partials.push_back(partial());
    }
    std::optional<std::string> refused;
    std::size_t turnedAway = 0;
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         !refused && std::chrono::steady_clock::now() < deadline;) {
        for (std::size_t i = 0; i < partials.size() && !refused; ++i) {
            if ((refused = partials[i]->answer(20ms))) {
                turnedAway = i;
            }
        }
    }
    ASSERT_TRUE(refused);
    // A body still held: bytes of the requests before may not all have been let go when the
    // four arrived, so more than one may have been turned away.
    std::size_t held = partials.size();
    for (std::size_t i = 0; i < partials.size() && held == partials.size(); ++i) {
        if (i != turnedAway && !partials[i]->answer(100ms)) {
            held = i;
        }
    }
    ASSERT_LT(held, partials.size()) << "every body was turned away";
    EXPECT_EQ(statusLine(*refused), "HTTP/1.1 503 Service Unavailable");
    EXPECT_NE(refused->find("The relay is busy with other requests. Try again shortly."),
              std::string::npos);
    EXPECT_EQ(client().request("POST", "/v1/claim", std::string(), {mac.authorization()}).status,
              200);
    // Once the held body is answered its bytes are free again.
    partials[held]->send(beat.substr(280 * 1024));
    auto answered = partials[held]->answer(10s);
    ASSERT_TRUE(answered);
    EXPECT_EQ(statusLine(*answered), "HTTP/1.1 200 OK") << *answered;
    RawConnection third(relay->url());
    third.send(
        head("POST", "/v1/heartbeat", mac,
             {"Content-Type: application/json", "Content-Length: " + std::to_string(beat.size())}) +
        beat);
    auto accepted = third.answer(10s);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(statusLine(*accepted), "HTTP/1.1 200 OK");
}

// A connection that asks for the group's list and does not read it: its answer is held from
// the moment its first bytes leave.
std::unique_ptr<RawConnection> holdGroupAnswer(const std::string& url, const Mac& mac) {
    auto slow = std::make_unique<RawConnection>(url);
    slow->send(head("GET", "/v1/group", mac));
    pollfd arriving{slow->fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&arriving, 1, 10'000), 1);
    return slow;
}

TEST_F(TransportTest, LargeAnswersReadSlowlyAreHeldWithinABudget) {
    startRelay({"--answer-budget", "1048576"});
    Mac mac = createGroup();
    reportLargeInventories(mac);
    if (HasFatalFailure()) {
        return;
    }
    // While one answer larger than the whole budget is held another large answer is refused,
    // while small ones go.
    std::unique_ptr<RawConnection> held = holdGroupAnswer(relay->url(), mac);
    RawConnection& slow = *held;
    Reply other = client().request("GET", "/v1/group", std::nullopt, {mac.authorization()});
    EXPECT_EQ(other.status, 503);
    EXPECT_EQ(other.error(), "The relay is busy with other requests. Try again shortly.");
    EXPECT_EQ(client().request("POST", "/v1/claim", std::string(), {mac.authorization()}).status,
              200);
    // The held answer, though larger than the budget, goes out whole; then the budget is free.
    auto answer = slow.answer(30s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(statusLine(*answer), "HTTP/1.1 200 OK");
    EXPECT_GT(answer->size(), 10'000'000u);
    EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status,
              200);
}

TEST_F(TransportTest, AMacReadingSlowlyHoldsAtMostAQuarterOfTheAnswerBudget) {
    // Room for three of the 10 MB answers, a quarter of it for less than one.
    startRelay({"--answer-budget", std::to_string(32 << 20)});
    Mac mac = createGroup();
    reportLargeInventories(mac);
    if (HasFatalFailure()) {
        return;
    }
    Mac other = join(mac, "Other");
    std::unique_ptr<RawConnection> first = holdGroupAnswer(relay->url(), mac);
    // Its first answer went whatever its size; a second one would pass its share.
    Reply again = client().request("GET", "/v1/group", std::nullopt, {mac.authorization()});
    EXPECT_EQ(again.status, 503);
    EXPECT_EQ(again.error(), "The relay is busy with other requests. Try again shortly.");
    // Another Mac gets its list, and is held to its own share; a third Mac's still goes.
    std::unique_ptr<RawConnection> second = holdGroupAnswer(relay->url(), other);
    EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {other.authorization()}).status,
              503);
    Mac third = join(mac, "Third");
    EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {third.authorization()}).status,
              200);
    // Once the first Mac's answer is read its share is free again.
    auto answer = first->answer(30s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(statusLine(*answer), "HTTP/1.1 200 OK");
    EXPECT_EQ(client().request("GET", "/v1/group", std::nullopt, {mac.authorization()}).status,
              200);
}

TEST(AddressShareTest, AnIPv6SlashSixtyFourCountsAsOneAddress) {
    const std::pair<const char*, const char*> cases[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
        {"::1", "::/64"},
        {"not an address", "not an address"},
    };
    for (const auto& [address, share] : cases) {
        EXPECT_EQ(ZUQRelay::Server::shareOf(address), share) << address;
    }
}

} // namespace
