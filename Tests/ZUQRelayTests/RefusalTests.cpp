// What a real relay says when it refuses: the sentence for people, and beside it a reason a
// program can test, whose status is the protocol's for that reason.
#include "Protocol.hpp"
#include "RelayFixture.hpp"

using namespace ZUQRelayTests;

namespace {

using RefusalTest = RelayTest;

TEST_F(RefusalTest, EveryRefusalSaysWhyInWordsAndAsAReason) {
    Mac owner = createGroup("Team", "Owner");
    Mac member = join(owner, "Member");
    Mac revoked = join(owner, "Gone");
    ASSERT_EQ(client()
                  .request("DELETE", "/v1/devices/" + revoked.device, std::nullopt,
                           {owner.authorization()})
                  .status,
              200);
    std::string job = submit(owner, owner, member);
    claim(owner, job);
    std::string cancelled = submit(owner, owner, member);
    std::string cancelledLease = claim(owner, cancelled);
    ASSERT_EQ(client()
                  .request("POST", "/v1/jobs/" + cancelled + "/cancel", std::string("{}"),
                           {owner.authorization()})
                  .status,
              200);
    const std::string unknownJob = "/v1/jobs/6f9619ff-8b86-d011-b42d-00cf4fc964ff";

    struct Case {
        const char* name;
        std::string method, path;
        std::optional<std::string> body;
        std::vector<std::string> headers;
        Protocol::Reason reason;
    };
    const Case cases[] = {
        {"no credential", "GET", "/v1/group", std::nullopt, {}, Protocol::Reason::unauthenticated},
        {"a revoked Mac", "GET", "/v1/group", std::nullopt, {revoked.authorization()},
         Protocol::Reason::revoked},
        {"a wrong bootstrap secret", "POST", "/v1/groups", R"({"name":"X","device_name":"Y"})",
         {"X-ZUQ-Bootstrap: wrong"}, Protocol::Reason::forbidden},
        {"an unknown job", "GET", unknownJob, std::nullopt, {owner.authorization()},
         Protocol::Reason::notFound},
        {"an unknown path", "GET", "/v1/nothing", std::nullopt, {owner.authorization()},
         Protocol::Reason::notFound},
        {"a known path with another method", "DELETE", "/v1/jobs", std::nullopt,
         {owner.authorization()}, Protocol::Reason::notAllowed},
        {"a body that is not JSON", "POST", "/v1/jobs", "{not json", {owner.authorization()},
         Protocol::Reason::invalid},
        {"a body over the limit", "POST", "/v1/jobs", std::string(2 << 20, ' '),
         {owner.authorization()}, Protocol::Reason::tooLarge},
        {"a lease of another job", "POST", "/v1/jobs/" + job + "/event",
         R"({"message":"x"})", {owner.authorization(), "X-ZUQ-Lease: not-the-lease"},
         Protocol::Reason::leaseLost},
        {"work on a job cancelled meanwhile", "POST", "/v1/jobs/" + cancelled + "/event",
         R"({"message":"x"})", {owner.authorization(), "X-ZUQ-Lease: " + cancelledLease},
         Protocol::Reason::conflict},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reply reply = client().request(c.method, c.path, c.body, c.headers);
        EXPECT_EQ(reply.status, static_cast<long>(Protocol::status(c.reason))) << reply.body;
        EXPECT_EQ(reply.json()["reason"].text(), Protocol::text(c.reason)) << reply.body;
        EXPECT_FALSE(reply.error().empty()) << reply.body;
    }
}

TEST(Reasons, EachTravelsAsOneTextAndOneStatus) {
    for (std::size_t index = 0; index <= static_cast<std::size_t>(Protocol::Reason::noSpace);
         ++index) {
        auto reason = static_cast<Protocol::Reason>(index);
        SCOPED_TRACE(std::string(Protocol::text(reason)));
        EXPECT_EQ(Protocol::reason(Protocol::text(reason)), reason);
        unsigned status = Protocol::status(reason);
        EXPECT_TRUE(status >= 400 && status <= 599);
        // A refusal known only by its status takes the first reason with that status.
        std::optional<Protocol::Reason> first = Protocol::reasonOf(status);
        ASSERT_TRUE(first);
        EXPECT_LE(static_cast<std::size_t>(*first), index);
    }
    EXPECT_EQ(Protocol::reason("Revoked"), std::nullopt);
    EXPECT_EQ(Protocol::reasonOf(200), std::nullopt);
}

} // namespace
