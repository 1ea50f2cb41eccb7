// Enrolment against a scripted relay that records what reaches it.
#include "API.hpp"
#include "Platform/Encoding.hpp"
#include "ScriptedRelay.hpp"
#include "Support.hpp"

#include <gtest/gtest.h>

namespace {

using TestSupport::failure;

// Answers group creation, invites and joins the way a relay does.
class EnrolmentRelay : public TestSupport::ScriptedRelay {
public:
    EnrolmentRelay() {
        const char* enrolled =
            R"({"group_id": "g-1", "group_name": "Team", "device_id": "d-2", "token": "t-2"})";
        answer("POST", "/v1/groups", 200, enrolled);
        answer("POST", "/v1/join", 200, enrolled);
        server.Post("/v1/invites", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(inviteAnswer, "application/json");
        });
        start();
    }

    std::string inviteAnswer = R"({"code": "C-1", "expires_in_seconds": 900})";
};

const std::string groupKey = Platform::base64Encode(std::string(32, '\x07'));

std::string inviteText(const JSON& payload) {
    return "zuq1." + Platform::base64Encode(payload.data());
}

class Enrolment : public TestSupport::TemporaryDirectoryTest {
protected:
    EnrolmentRelay relay;
};

TEST_F(Enrolment, CreateSendsTheBootstrapSecretAndMakesAKeyLocally) {
    Credentials credentials = Enrollment::create(relay.origin(), "Team", "Mac One", "s3cret");
    auto requests = relay.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].get_header_value("X-ZUQ-Bootstrap"), "s3cret");
    EXPECT_FALSE(requests[0].has_header("Authorization"));
    EXPECT_EQ(JSON::decode(relay.bodies().at(0)),
              JSON::object({{"name", "Team"}, {"device_name", "Mac One"}}));
    EXPECT_EQ(credentials, CredentialStore::require());
    EXPECT_EQ(credentials.server, relay.origin());
    EXPECT_EQ(credentials.deviceID, "d-2");
    EXPECT_EQ(credentials.token, "t-2");
    EXPECT_EQ(credentials.deviceName, "Mac One");
    EXPECT_EQ(credentials.encryptionKey.size(), 44u);
    EXPECT_EQ(credentials.encryptionKey.back(), '=');
    EXPECT_EQ(Platform::base64Decode(credentials.encryptionKey)->size(), 32u);
    EXPECT_EQ(relay.bodies().at(0).find(credentials.encryptionKey), std::string::npos);

    EXPECT_EQ(failure([&] { Enrollment::create(relay.origin(), "Team", "Mac", "s3cret"); }),
              "This Mac is already enrolled.");
    EXPECT_EQ(failure([&] { Enrollment::join("anything", "Mac"); }),
              "This Mac is already enrolled.");
    EXPECT_EQ(relay.requests().size(), 1u) << "an enrolled Mac sends nothing";
}

TEST_F(Enrolment, InviteCarriesServerCodeAndKey) {
    Credentials inviter{relay.origin(), "d-1", "t-1", "g-1", "Team", "Mac One", groupKey};
    std::string invite = Enrollment::invite(inviter);
    ASSERT_TRUE(invite.starts_with("zuq1."));
    JSON payload = JSON::decode(*Platform::base64Decode(invite.substr(5)));
    EXPECT_EQ(payload,
              JSON::object({{"server", relay.origin()}, {"code", "C-1"}, {"key", groupKey}}));
    auto request = relay.requests().at(0);
    EXPECT_EQ(request.get_header_value("Authorization"), "Bearer d-1.t-1");

    relay.inviteAnswer = R"({"expires_in_seconds": 900})";
    JSON withoutCode = JSON::decode(*Platform::base64Decode(Enrollment::invite(inviter).substr(5)));
    EXPECT_TRUE(withoutCode["code"].isNull());
    EXPECT_EQ(withoutCode.fields().count("code"), 1u);
}

TEST_F(Enrolment, JoinReadsInvitesAsPeoplePasteThem) {
    JSON payload = JSON::object({{"server", relay.origin()}, {"code", "C-1"}, {"key", groupKey}});
    std::string invite = inviteText(payload);
    std::string printed = JSON::object({{"invite", invite}, {"expires_in_seconds", 900}}).pretty();
    struct Case {
        std::string pasted;
        std::string outcome; // "joined", or the error
        JSON code = "C-1";
    };
    const std::string bad = "Invalid ZUQ invite";
    const std::string badKey = "Invalid group encryption key";
    auto with = [&](const char* member, JSON value) {
        JSON::Object changed = payload.fields();
        changed[member] = std::move(value);
        return inviteText(JSON(changed));
    };
    auto without = [&](const char* member) {
        JSON::Object changed = payload.fields();
        changed.erase(member);
        return inviteText(JSON(changed));
    };
    const Case cases[] = {
        {invite, "joined"},
        {"  " + invite + "\n", "joined"},
        {"\xC2\xA0\t" + invite + "\r\n\xE2\x80\xA8", "joined"},
        {printed + "\n", "joined"},
        {R"({"invite": ")" + invite + R"("})", "joined"},
        {without("code"), "joined", JSON()},
        {with("code", 42), "joined", 42},
        {R"({"expires_in_seconds": 900})", bad},
        {R"({"invite": 7})", bad},
        {"ZUQ1." + invite.substr(5), bad},
        {"zuq1.not base64!", bad},
        {"zuq1." + invite.substr(5, invite.size() - 6), bad},
        {with("key", Platform::base64Encode(std::string(31, 'k'))), badKey},
        {with("key", Platform::base64Encode(std::string(33, 'k'))), badKey},
        {with("key", groupKey.substr(0, 43)), badKey},
        {with("key", 12), badKey},
        {without("key"), badKey},
        {inviteText(JSON::strings({"x"})), badKey},
        {without("server"),
         "Server must be an HTTPS origin. HTTP is allowed only for localhost testing."},
        {with("server", "http://relay.example.org"),
         "Server must be an HTTPS origin. HTTP is allowed only for localhost testing."},
    };
    int mac = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pasted);
        TestSupport::ScopedEnvironment otherMac(
            "HOME", (directory / ("mac" + std::to_string(++mac))).string());
        std::size_t before = relay.requests().size();
        if (c.outcome == "joined") {
            Credentials joined = Enrollment::join(c.pasted, "Mac Two");
            EXPECT_EQ(joined, CredentialStore::require());
            EXPECT_EQ(joined.server, relay.origin());
            EXPECT_EQ(joined.encryptionKey, groupKey);
            EXPECT_EQ(joined.deviceName, "Mac Two");
            ASSERT_EQ(relay.requests().size(), before + 1);
            EXPECT_EQ(JSON::decode(relay.bodies().back()),
                      JSON::object({{"code", c.code}, {"device_name", "Mac Two"}}));
        } else {
            EXPECT_EQ(failure([&] { Enrollment::join(c.pasted, "Mac Two"); }), c.outcome);
            EXPECT_EQ(relay.requests().size(), before) << "nothing reaches the relay";
            EXPECT_FALSE(CredentialStore::load().has_value());
        }
    }
    EXPECT_THROW(Enrollment::join("zuq1." + Platform::base64Encode("not json"), "Mac"),
                 JSON::ParseError);
}

} // namespace
