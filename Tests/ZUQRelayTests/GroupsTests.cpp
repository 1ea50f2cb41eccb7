// Groups, credentials, invites and revocation, without HTTP.
#include "Members.hpp"
#include "Platform/Random.hpp"
#include "ServiceFixture.hpp"

#include <thread>

using namespace ZUQRelayTests;
using ZUQRelay::Refusal;

namespace {

using GroupsTest = ServiceTest;

TEST_F(GroupsTest, CreatingAGroupEnrolsItsFirstDeviceWithAFreshCredential) {
    JSON answer =
        service->createGroup(JSON::object({{"name", "Studio"}, {"device_name", "Mac mini"}}));
    EXPECT_EQ(answer["group_name"].text(), "Studio");
    for (std::string_view member : {"group_id", "device_id"}) {
        std::string id = answer[member].text();
        EXPECT_TRUE(Platform::isUUID(id)) << id;
        EXPECT_EQ(id, ZUQRelay::Members::lowerCase(id));
    }
    // 32 random bytes in unpadded base64url.
    std::string token = answer["token"].text();
    EXPECT_EQ(token.size(), 43u);
    EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                      "0123456789-_"),
              std::string::npos);

    ZUQRelay::Caller caller =
        service->authenticate("Bearer " + answer["device_id"].text() + "." + token);
    EXPECT_EQ(caller.groupID, answer["group_id"].text());
    JSON group = JSON::decode(service->groupText(caller));
    EXPECT_EQ(group["name"].text(), "Studio");
    ASSERT_EQ(group["devices"].items().size(), 1u);
    EXPECT_EQ(group["devices"].items()[0]["name"].text(), "Mac mini");

    JSON again =
        service->createGroup(JSON::object({{"name", "Studio"}, {"device_name", "Mac mini"}}));
    EXPECT_NE(again["token"].text(), token);
    EXPECT_NE(again["group_id"].text(), answer["group_id"].text());
}

TEST_F(GroupsTest, CreatingAGroupNamesTheMemberThatIsMissingOrMistyped) {
    struct Case {
        JSON body;
        std::string sentence;
    } cases[] = {
        {JSON::object({{"device_name", "A"}}), "Member \"name\" must be a string"},
        {JSON::object({{"name", 5}, {"device_name", "A"}}), "Member \"name\" must be a string"},
        {JSON::object({{"name", "G"}}), "Member \"device_name\" must be a string"},
        {JSON::object({{"name", std::string(201, 'x')}, {"device_name", "A"}}),
         "Member \"name\" is too long (at most 200 characters)"},
        // Neither store may keep a name other than as it was given; PostgreSQL cannot keep NUL.
        {JSON::object({{"name", std::string("Stu\0dio", 7)}, {"device_name", "A"}}),
         "Member \"name\" must not contain the NUL character"},
        {JSON::object({{"name", "G"}, {"device_name", std::string("\0", 1)}}),
         "Member \"device_name\" must not contain the NUL character"},
    };
    for (const auto& [body, sentence] : cases) {
        EXPECT_REFUSED(service->createGroup(body), 400, sentence);
    }
    // Two hundred characters are fine even when they take more bytes.
    std::string accented;
    for (int i = 0; i < 200; ++i) {
        accented += "é";
    }
    EXPECT_NO_THROW(service->createGroup(JSON::object({{"name", accented}, {"device_name", ""}})));
}

TEST_F(GroupsTest, OnlyTheExactCredentialAuthenticates) {
    Member member = createGroup();
    std::string unknownDevice = ZUQRelay::Members::lowerCase(Platform::newUUID());
    std::string upper = member.device;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    // Header scheme and device id are matched without regard to case, the token exactly.
    EXPECT_EQ(service->authenticate("bearer " + upper + "." + member.token).deviceID,
              member.device);
    const std::string refused[] = {
        "",
        "Bearer",
        "Bearer ",
        "Basic " + member.device + "." + member.token,
        "Bearer " + member.device,
        "Bearer " + member.device + ".",
        "Bearer " + member.device + "." + member.token + "x",
        "Bearer " + member.device + "." + member.token.substr(1),
        "Bearer " + unknownDevice + "." + member.token,
        "Bearer not-a-uuid." + member.token,
        "Bearer " + member.device + ".." + member.token,
    };
    for (const auto& header : refused) {
        EXPECT_REFUSED(service->authenticate(header), 401, "Invalid device credential");
    }
}

TEST_F(GroupsTest, AnInviteJoinsItsGroupOnceAndOnlyBeforeItExpires) {
    Member owner = createGroup("Team", "Owner");
    JSON invite = service->createInvite(owner.caller);
    EXPECT_EQ(invite["expires_in_seconds"], JSON(900));
    std::string code = invite["code"].text();
    EXPECT_GE(code.size(), 32u);

    JSON joined = service->join(JSON::object({{"code", code}, {"device_name", "Second"}}));
    EXPECT_EQ(joined["group_id"].text(), owner.group);
    EXPECT_EQ(joined["group_name"].text(), "Team");
    EXPECT_NE(joined["device_id"].text(), owner.device);

    const std::string invalid = "Invite is invalid or expired";
    // Used, unknown, missing, mistyped: the same answer, so nothing can be learnt from it.
    EXPECT_REFUSED(service->join(JSON::object({{"code", code}, {"device_name", "Third"}})), 400,
                   invalid);
    EXPECT_REFUSED(service->join(JSON::object({{"code", "nope"}, {"device_name", "X"}})), 400,
                   invalid);
    EXPECT_REFUSED(service->join(JSON::object({{"code", nullptr}, {"device_name", "X"}})), 400,
                   invalid);
    EXPECT_REFUSED(service->join(JSON::object({{"device_name", "X"}})), 400, invalid);

    JSON late = service->createInvite(owner.caller);
    clock.advance(899);
    JSON early = service->createInvite(owner.caller);
    clock.advance(1);
    EXPECT_REFUSED(service->join(JSON::object({{"code", late["code"]}, {"device_name", "X"}})), 400,
                   invalid);
    EXPECT_NO_THROW(service->join(JSON::object({{"code", early["code"]}, {"device_name", "Y"}})));
    EXPECT_EQ(JSON::decode(service->groupText(owner.caller))["devices"].items().size(), 3u);
}

TEST_F(GroupsTest, GroupDocumentShowsEachDevicesLastHeartbeat) {
    // Names with what JSON escapes: the list is written as text, and must be what encoding
    // its values gives.
    Member owner = createGroup("Team \"A\" \\ B", "Owner's Mac");
    Member other = join(owner, "Other \"Mac\" \u00e9\\");
    JSON inventory = JSON::object({{"projects", JSON::array({JSON::object({{"id", "P1"}})})},
                                   {"phones", JSON::array()},
                                   {"platform", "macOS"}});
    service->heartbeat(other.caller,
                       JSON::object({{"inventory", inventory}, {"leases", JSON::array()}}));
    auto device = [&](const std::string& id) {
        std::string text = service->groupText(owner.caller);
        JSON group = JSON::decode(text);
        EXPECT_EQ(group.data(), text);
        EXPECT_EQ(group["name"].text(), "Team \"A\" \\ B");
        for (const JSON& entry : group["devices"].items()) {
            if (entry["id"].text() == id) {
                return entry;
            }
        }
        return JSON();
    };
    EXPECT_EQ(device(other.device)["inventory"], inventory);
    EXPECT_EQ(device(other.device)["online"], JSON(true));
    EXPECT_EQ(device(other.device)["revoked"], JSON(false));
    EXPECT_EQ(device(owner.device)["inventory"], JSON());
    EXPECT_EQ(device(owner.device)["online"], JSON(false));
    EXPECT_EQ(device(owner.device)["last_seen"], JSON());

    clock.advance(29.9);
    EXPECT_EQ(device(other.device)["online"], JSON(true));
    clock.advance(0.1);
    EXPECT_EQ(device(other.device)["online"], JSON(false));
    EXPECT_EQ(device(other.device)["inventory"], inventory);

    // Heartbeats are written in batches; a stop writes the last ones.
    JSON newer = JSON::object({{"projects", JSON::array()}, {"phones", JSON::array()}});
    service->heartbeat(other.caller,
                       JSON::object({{"inventory", newer}, {"leases", JSON::array()}}));
    JSON before = device(other.device);
    reopen();
    EXPECT_EQ(device(other.device), before);
    EXPECT_EQ(device(other.device)["inventory"], newer);
}

TEST_F(GroupsTest, RevokingAMacEndsItsCredentialLeasesAndUnfinishedJobs) {
    Member owner = createGroup("Team", "Owner");
    Member builder = join(owner, "Builder");
    Member receiver = join(owner, "Receiver");
    std::string leased = submit(owner, builder, receiver);
    std::string lease = claim(builder);
    std::string waiting = submit(owner, receiver, builder);
    std::string unrelated = submit(owner, owner, receiver);
    std::string done = submit(owner, owner, builder);
    service->cancel(owner.caller, done);

    JSON answer = service->revoke(owner.caller, builder.device);
    EXPECT_EQ(answer, JSON::object({{"ok", true}, {"id", builder.device}}));

    EXPECT_REFUSED(service->authenticate(builder.authorization()), 401,
                   "revoked device credential");
    for (const auto& job : {leased, waiting}) {
        JSON record = service->job(owner.caller, job);
        EXPECT_EQ(record["state"].text(), "failed");
        EXPECT_EQ(record["error"].text(), "Mac was revoked");
    }
    EXPECT_EQ(state(owner, unrelated), "building");
    EXPECT_EQ(state(owner, done), "cancelled");
    EXPECT_REFUSED(
        service->addEvent(builder.caller, leased, lease, JSON::object({{"message", "late"}})), 409,
        "Lease is not valid for this job");

    JSON listed = JSON::decode(service->groupText(owner.caller));
    for (const JSON& device : listed["devices"].items()) {
        EXPECT_EQ(device["revoked"], JSON(device["id"].text() == builder.device));
    }
    // A revoked Mac can no longer be named in a job.
    EXPECT_REFUSED(submit(owner, builder, receiver), 400, "Unknown builder Mac");
}

TEST_F(GroupsTest, GroupsCannotSeeOrTouchEachOthersDevices) {
    Member first = createGroup("First", "A");
    Member second = createGroup("Second", "B");
    JSON seen = JSON::decode(service->groupText(second.caller));
    ASSERT_EQ(seen["devices"].items().size(), 1u);
    EXPECT_EQ(seen["devices"].items()[0]["id"].text(), second.device);
    EXPECT_EQ(seen["id"].text(), second.group);

    for (const std::string& target :
         {first.device, std::string("not-a-device"), std::string("../../etc")}) {
        EXPECT_REFUSED(service->revoke(second.caller, target), 404, "Mac not found");
    }
    EXPECT_NO_THROW(service->authenticate(first.authorization()));
    EXPECT_REFUSED(submit(second, first, second), 400, "Unknown builder Mac");
    EXPECT_REFUSED(submit(second, second, first), 400, "Unknown receiver Mac");
}

} // namespace

namespace {

TEST_F(GroupsTest, InvitesOfARevokedMacEnrolNobody) {
    Member owner = createGroup("Team", "Owner");
    Member insider = join(owner, "Insider");
    JSON beforeRevocation = service->createInvite(insider.caller);
    JSON ownersInvite = service->createInvite(owner.caller);
    service->revoke(owner.caller, insider.device);

    const std::string invalid = "Invite is invalid or expired";
    EXPECT_REFUSED(
        service->join(JSON::object({{"code", beforeRevocation["code"]}, {"device_name", "X"}})),
        400, invalid);
    // Revocation also holds for invites it did not void itself, such as those a relay
    // without this rule left behind: joining checks the maker.
    Member second = join(owner, "Second");
    JSON leftBehind = service->createInvite(second.caller);
    store->write(ZUQRelay::Durability::durable, [&](ZUQRelay::Store::Transaction& transaction) {
        transaction.database.run("UPDATE devices SET revoked = 1 WHERE id = ?", second.device);
    });
    EXPECT_REFUSED(
        service->join(JSON::object({{"code", leftBehind["code"]}, {"device_name", "Y"}})), 400,
        invalid);
    // The invites of Macs still in the group are untouched.
    JSON joined =
        service->join(JSON::object({{"code", ownersInvite["code"]}, {"device_name", "Z"}}));
    EXPECT_EQ(joined["group_id"].text(), owner.group);
    EXPECT_EQ(JSON::decode(service->groupText(owner.caller))["devices"].items().size(), 4u);
}

TEST_F(GroupsTest, ARevocationRacingAMacsFirstRequestAfterAStartHolds) {
    Member owner = createGroup("Team", "Owner");
    // Each round starts with an empty credential cache, as after a restart, and lets the
    // Mac's first request race with its revocation.
    for (int round = 0; round < 40; ++round) {
        Member target = join(owner, "Target");
        reopen();
        std::atomic<bool> go = false;
        std::thread first([&] {
            while (!go) {
            }
            for (int attempt = 0; attempt < 20; ++attempt) {
                try {
                    service->authenticate(target.authorization());
                } catch (const Refusal&) {
                }
            }
        });
        go = true;
        service->revoke(owner.caller, target.device);
        first.join();
        EXPECT_REFUSED(service->authenticate(target.authorization()), 401,
                       "revoked device credential");
    }
}

} // namespace
