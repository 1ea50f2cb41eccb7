// What the rules decide from a request's head alone, before any body is read: the route, the
// sender and, for a build, everything its head must say.
#include "Bootstrap.hpp"
#include "Routes.hpp"
#include "ServiceFixture.hpp"

using namespace ZUQRelayTests;
using ZUQRelay::RequestHead;
using ZUQRelay::Routes;

namespace {

class RoutesTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        bootstrap = std::make_unique<ZUQRelay::Bootstrap>("the-secret", clock);
        Routes::Settings settings;
        settings.maxArtifactBytes = 1000;
        routes = std::make_unique<Routes>(*service, *bootstrap, settings);
    }

    std::unique_ptr<ZUQRelay::Bootstrap> bootstrap;
    std::unique_ptr<Routes> routes;
};

TEST(RequestHeadTest, FieldsAreFoundWhateverTheirCaseFirstOneFirst) {
    RequestHead head{"GET", "/v1/group", 11, {{"content-LENGTH", "12"}, {"X-A", "1"}, {"x-a", "2"}}};
    struct Case {
        const char* name;
        std::optional<std::string_view> expected;
    } cases[] = {
        {"Content-Length", "12"},
        {"content-length", "12"},
        {"X-A", "1"},
        {"x-A", "1"},
        {"X-B", std::nullopt},
        {"X-", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(head.find(name), expected);
        EXPECT_EQ(head[name], expected.value_or(""));
    }
}

TEST_F(RoutesTest, HeadsAreRefusedBeforeAnyBodyIsRead) {
    Member owner = createGroup();
    std::string job = submit(owner, owner, owner);
    std::string lease = claim(owner);
    std::string bearer = owner.authorization();
    std::string sha(64, 'a');
    using Fields = std::vector<std::pair<std::string, std::string>>;
    struct Case {
        const char* what;
        std::string method;
        std::string target;
        Fields fields;
        int status; // 0: decided
        const char* sentence;
    } cases[] = {
        {"an unknown path", "GET", "/v1/nothing", {}, 404, "Not found"},
        {"a known path with another method", "PUT", "/v1/group", {}, 405, "Method not allowed"},
        {"a method the relay never takes", "PATCH", "/v1/group", {}, 405, "Method not allowed"},
        {"no credential", "GET", "/v1/group", {}, 401, "Invalid device credential"},
        {"a credential in any field case", "GET", "/v1/group", {{"authorization", bearer}}, 0, ""},
        {"an escaped path", "GET", "/v1/%67roup", {{"Authorization", bearer}}, 0, ""},
        {"a JSON body announced too large", "POST", "/v1/heartbeat",
         {{"Authorization", bearer}, {"Content-Length", "1048577"}}, 413, "Request body is too large"},
        {"a wrong bootstrap secret", "POST", "/v1/groups", {{"x-zuq-bootstrap", "guess"}}, 403,
         "Invalid bootstrap secret"},
        {"the bootstrap secret", "POST", "/v1/groups", {{"X-ZUQ-Bootstrap", "the-secret"}}, 0, ""},
        {"an upload without its length", "PUT", "/v1/jobs/" + job + "/artifact",
         {{"Authorization", bearer}, {"X-ZUQ-Lease", lease}}, 411, "Content-Length is required"},
        {"an upload in chunks", "PUT", "/v1/jobs/" + job + "/artifact",
         {{"Authorization", bearer}, {"X-ZUQ-Lease", lease}, {"Content-Length", "10"},
          {"transfer-encoding", "chunked"}},
         411, "Content-Length is required"},
        {"an upload that is compressed", "PUT", "/v1/jobs/" + job + "/artifact",
         {{"Authorization", bearer}, {"X-ZUQ-Lease", lease}, {"Content-Length", "10"},
          {"Content-Encoding", "gzip"}},
         415, "Builds are stored as sent; Content-Encoding is not supported"},
        {"an upload whose length is no number", "PUT", "/v1/jobs/" + job + "/artifact",
         {{"Authorization", bearer}, {"X-ZUQ-Lease", lease}, {"Content-Length", "1e3"}}, 400,
         "Content-Length must be a whole number"},
        {"an upload over the largest build", "PUT", "/v1/jobs/" + job + "/artifact",
         {{"Authorization", bearer}, {"X-ZUQ-Lease", lease}, {"Content-Length", "1001"}}, 413,
         "Build is too large"},
        {"an upload with a malformed checksum", "PUT", "/v1/jobs/" + job + "/artifact",
         {{"Authorization", bearer}, {"X-ZUQ-Lease", lease}, {"Content-Length", "10"},
          {"X-ZUQ-SHA256", "abc"}},
         400, "Header X-ZUQ-SHA256 must be 64 hexadecimal digits"},
        {"an upload with everything its head needs", "PUT", "/v1/jobs/" + job + "/artifact",
         {{"Authorization", bearer}, {"x-zuq-lease", lease}, {"Content-Length", "10"},
          {"x-zuq-sha256", sha}},
         0, ""},
    };
    for (const auto& [what, method, target, fields, status, sentence] : cases) {
        SCOPED_TRACE(what);
        RequestHead head{method, target, 11, fields};
        if (status == 0) {
            EXPECT_NO_THROW(routes->decide(head, "192.0.2.1"));
        } else {
            EXPECT_REFUSED(routes->decide(head, "192.0.2.1"), status, sentence);
        }
    }
}

TEST_F(RoutesTest, AnUploadDecisionCarriesItsLengthLeaseAndChecksum) {
    Member owner = createGroup();
    std::string job = submit(owner, owner, owner);
    std::string lease = claim(owner);
    std::string sha = "ABCDEF" + std::string(58, '0');
    RequestHead head{"PUT", "/v1/jobs/" + job + "/artifact", 11,
                     {{"Authorization", owner.authorization()}, {"X-ZUQ-Lease", lease},
                      {"Content-Length", "10"}, {"X-ZUQ-SHA256", sha}}};
    Routes::Decision decision = routes->decide(head, "192.0.2.1");
    EXPECT_EQ(decision.body, Routes::Body::upload);
    EXPECT_EQ(decision.id, job);
    EXPECT_EQ(decision.lease, lease);
    EXPECT_EQ(decision.length, 10u);
    EXPECT_EQ(decision.expectedSHA, "abcdef" + std::string(58, '0'));
    EXPECT_EQ(decision.caller.deviceID, owner.device);
}

TEST_F(RoutesTest, OnlyHeartbeatsAndEmptyClaimsOfKnownMacsAreAnsweredFromMemory) {
    Member owner = createGroup();
    Member busy = join(owner, "Busy");
    Member gone = join(owner, "Gone");
    auto head = [](const std::string& method, const std::string& target, const Member& member) {
        return RequestHead{method, target, 11, {{"Authorization", member.authorization()}}};
    };
    const std::string beat = R"({"inventory": {}, "leases": []})";
    if (store->shared()) {
        // Another relay on the store may have revoked the Mac, or given it work.
        routes->decide(head("POST", "/v1/claim", owner), "192.0.2.1");
        service->claim(owner.caller);
        EXPECT_EQ(routes->answerAtOnce(head("POST", "/v1/heartbeat", owner), beat), std::nullopt);
        EXPECT_EQ(routes->answerAtOnce(head("POST", "/v1/claim", owner), ""), std::nullopt);
        return;
    }
    {
        // Rules that have not read the credential yet leave it to the store.
        ZUQRelay::Service fresh(*store, *artifacts, clock);
        Routes freshRoutes(fresh, *bootstrap, {});
        EXPECT_EQ(freshRoutes.answerAtOnce(head("POST", "/v1/heartbeat", owner), beat),
                  std::nullopt);
        freshRoutes.decide(head("POST", "/v1/heartbeat", owner), "192.0.2.1");
        EXPECT_NE(freshRoutes.answerAtOnce(head("POST", "/v1/heartbeat", owner), beat),
                  std::nullopt);
    }

    for (const Member& member : {owner, busy, gone}) {
        routes->decide(head("POST", "/v1/claim", member), "192.0.2.1");
        service->claim(member.caller);
    }
    service->revoke(owner.caller, gone.device);
    submit(owner, busy, owner);

    RequestHead wrongToken = head("POST", "/v1/heartbeat", owner);
    wrongToken.fields[0].second += "x";
    const std::string idle = R"({"job": null, "lease": null})";
    struct Case {
        const char* what;
        RequestHead head;
        std::string body;
        std::optional<std::string> answer; // nothing: left to the workers
    } cases[] = {
        {"a heartbeat renewing no lease", head("POST", "/v1/heartbeat", owner), beat,
         R"({"jobs": []})"},
        {"a claim without a body", head("POST", "/v1/claim", owner), "", idle},
        {"a claim with an empty object", head("POST", "/v1/claim", owner), "{}", idle},
        {"a heartbeat renewing a lease", head("POST", "/v1/heartbeat", owner),
         R"({"inventory": {}, "leases": [{"id": "x", "token": "y"}]})", std::nullopt},
        {"a heartbeat without leases", head("POST", "/v1/heartbeat", owner),
         R"({"inventory": {}})", std::nullopt},
        {"a heartbeat with a bad inventory", head("POST", "/v1/heartbeat", owner),
         R"({"inventory": [], "leases": []})", std::nullopt},
        {"a body that is not JSON", head("POST", "/v1/heartbeat", owner), "{", std::nullopt},
        {"a claim whose body is not an object", head("POST", "/v1/claim", owner), "[]",
         std::nullopt},
        {"a body larger than a quick one",
         head("POST", "/v1/heartbeat", owner),
         R"({"leases": [], "inventory": {"x": ")" + std::string(Routes::quickBodyBytes, 'a') +
             "\"}}",
         std::nullopt},
        {"a wrong token", wrongToken, beat, std::nullopt},
        {"a revoked Mac", head("POST", "/v1/heartbeat", gone), beat, std::nullopt},
        {"a claim of a Mac with a job waiting", head("POST", "/v1/claim", busy), "",
         std::nullopt},
        {"another method", head("GET", "/v1/claim", owner), "", std::nullopt},
        {"another route", head("POST", "/v1/jobs", owner), "{}", std::nullopt},
        {"no credential", RequestHead{"POST", "/v1/claim", 11, {}}, "", std::nullopt},
    };
    for (const auto& [what, request, body, answer] : cases) {
        SCOPED_TRACE(what);
        std::optional<Routes::Quick> quick = routes->answerAtOnce(request, body);
        ASSERT_EQ(quick.has_value(), answer.has_value());
        if (quick) {
            EXPECT_EQ(quick->answer.status, 200u);
            EXPECT_EQ(JSON::decode(quick->answer.body), JSON::decode(*answer));
            EXPECT_EQ(quick->device, owner.device);
        }
    }
}

TEST_F(RoutesTest, AFullDatabaseIsAnsweredAsAFullDisk) {
    if (testDatabase) {
        GTEST_SKIP() << "SQLite's page limit; a cluster's full disk is not made on demand";
    }
    Member owner = createGroup();
    // SQLite's page limit stands in for a full disk: a write past it fails as SQLITE_FULL.
    store->write(ZUQRelay::Durability::durable, [](ZUQRelay::Store::Transaction& transaction) {
        std::int64_t pages = 0;
        if (ZUQRelay::SQL::Rows row = transaction.database.query("PRAGMA page_count"); row.next()) {
            pages = row.integer(0);
        }
        transaction.database.query("PRAGMA max_page_count = " + std::to_string(pages + 2)).next();
    });
    std::optional<Routes::Answer> answer;
    for (int job = 0; job < 1000 && !answer; ++job) {
        try {
            submit(owner, owner, owner, std::string(1000, 'u'));
        } catch (...) {
            answer = Routes::failure(std::current_exception());
        }
    }
    ASSERT_TRUE(answer.has_value()) << "the database never filled";
    EXPECT_EQ(answer->status, 507u);
    EXPECT_EQ(JSON::decode(answer->body)["error"].text(), "The relay has no room left to store this");
}

} // namespace
