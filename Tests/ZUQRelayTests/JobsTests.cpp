// Submitting, listing, reading and cancelling jobs, and their events, without HTTP.
#include "Members.hpp"
#include "Platform/Random.hpp"
#include "ServiceFixture.hpp"

using namespace ZUQRelayTests;

namespace {

using JobsTest = ServiceTest;

JSON submission(const Member& builder, const Member& receiver) {
    return JSON::object({{"builder_id", builder.device},
                         {"receiver_id", receiver.device},
                         {"project_id", "P1"},
                         {"scheme", "App"},
                         {"configuration", "Release"},
                         {"mode", "debug"},
                         {"udid", "00008110-000A"}});
}

TEST_F(JobsTest, ANewJobIsBuildingWithItsSpecAndTheReceiversPhone) {
    Member builder = createGroup("Team", "Builder");
    Member receiver = join(builder, "Receiver");
    JSON phone = JSON::object({{"udid", "00008110-000A"}, {"os", "17.4"}, {"name", "iPhone"}});
    JSON otherPhone = JSON::object({{"udid", "OTHER"}, {"os", "16.0"}});
    service->heartbeat(
        receiver.caller,
        JSON::object({{"inventory", JSON::object({{"phones", JSON::array({otherPhone, phone})}})},
                      {"leases", JSON::array()}}));
    JSON body = submission(builder, receiver);
    // Identifiers typed in capitals still name the Mac; the record holds the relay's form.
    std::string upper = receiver.device;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    JSON::Object members = body.fields();
    members["receiver_id"] = upper;
    members["extra"] = "ignored";
    JSON job = service->submit(builder.caller, JSON(members));

    EXPECT_TRUE(Platform::isUUID(job["id"].text()));
    EXPECT_EQ(job["state"].text(), "building");
    EXPECT_EQ(job["error"], JSON());
    EXPECT_EQ(job["artifact_sha"], JSON());
    EXPECT_EQ(job["builder_id"].text(), builder.device);
    EXPECT_EQ(job["receiver_id"].text(), receiver.device);
    EXPECT_EQ(job["created_at"], JSON(1'750'000'000.0));
    EXPECT_EQ(job["updated_at"], job["created_at"]);
    JSON::Object expected = body.fields();
    expected["phone"] = phone;
    EXPECT_EQ(job["spec"], JSON(expected));
    EXPECT_EQ(service->job(receiver.caller, job["id"].text()), job);

    // An unknown phone is recorded as null rather than guessed.
    JSON::Object unknown = body.fields();
    unknown["udid"] = "NOT-ATTACHED";
    EXPECT_EQ(service->submit(builder.caller, JSON(unknown))["spec"]["phone"], JSON());
}

TEST_F(JobsTest, ASubmissionIsRefusedWithTheReasonOfItsFirstFault) {
    Member builder = createGroup("Team", "Builder");
    Member receiver = join(builder, "Receiver");
    Member stranger = createGroup("Elsewhere", "Stranger");
    JSON valid = submission(builder, receiver);
    auto with = [&](const std::string& name, JSON value) {
        JSON::Object members = valid.fields();
        if (value.kind() == JSON::Kind::null && name != "null") {
            members.erase(name);
        } else {
            members[name] = std::move(value);
        }
        return JSON(members);
    };
    struct Case {
        JSON body;
        int status;
        std::string sentence;
    } cases[] = {
        {with("builder_id", JSON()), 400, "Member \"builder_id\" must be a string"},
        {with("scheme", 7), 400, "Member \"scheme\" must be a string"},
        {with("udid", JSON::array()), 400, "Member \"udid\" must be a string"},
        {with("configuration", std::string(1001, 'c')), 400,
         "Member \"configuration\" is too long (at most 1000 characters)"},
        {with("mode", "Debug"), 400, "Mode must be adhoc or debug"},
        {with("mode", ""), 400, "Mode must be adhoc or debug"},
        {with("builder_id", "nobody"), 400, "Unknown builder Mac"},
        {with("builder_id", stranger.device), 400, "Unknown builder Mac"},
        {with("receiver_id", stranger.device), 400, "Unknown receiver Mac"},
        {JSON::array(), 400, "Request body must be a JSON object"},
    };
    for (const auto& [body, status, sentence] : cases) {
        EXPECT_REFUSED(service->submit(builder.caller, body), status, sentence);
    }
    EXPECT_TRUE(service->jobs(builder.caller)["jobs"].items().empty());
}

TEST_F(JobsTest, TheListShowsTheNewestHundredJobsOfTheGroupOnly) {
    Member member = createGroup();
    Member stranger = createGroup("Other", "Stranger");
    std::vector<std::string> ids;
    for (int i = 0; i < 105; ++i) {
        ids.push_back(submit(member, member, member));
        clock.advance(1);
    }
    std::string foreign = submit(stranger, stranger, stranger);
    JSON::Array listed = service->jobs(member.caller)["jobs"].items();
    ASSERT_EQ(listed.size(), 100u);
    for (std::size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(listed[i]["id"].text(), ids[104 - i]);
    }
    JSON::Array theirs = service->jobs(stranger.caller)["jobs"].items();
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_EQ(theirs[0]["id"].text(), foreign);
}

TEST_F(JobsTest, AnotherGroupsJobIsAnsweredLikeAMissingOne) {
    Member member = createGroup();
    Member stranger = createGroup("Other", "Stranger");
    std::string job = submit(member, member, member);
    std::string lease = claim(member);
    service->addEvent(member.caller, job, lease, JSON::object({{"message", "Archiving"}}));
    std::string missing = ZUQRelay::Members::lowerCase(Platform::newUUID());
    for (const std::string& id : {job, missing, std::string("not-a-uuid")}) {
        EXPECT_REFUSED(service->job(stranger.caller, id), 404, "Job not found");
        EXPECT_REFUSED(service->cancel(stranger.caller, id), 404, "Job not found");
        EXPECT_REFUSED(service->events(stranger.caller, id, 0), 404, "Job not found");
        EXPECT_REFUSED(service->openDownload(stranger.caller, id, lease), 404, "Job not found");
        EXPECT_REFUSED(service->fail(stranger.caller, id, lease, JSON::object({{"error", "x"}})),
                       404, "Job not found");
    }
    EXPECT_EQ(state(member, job), "building");
    EXPECT_EQ(service->events(member.caller, job, 0)["events"].items().size(), 1u);
}

TEST_F(JobsTest, CancellingEndsAnUnfinishedJobAndLeavesAFinishedOneAlone) {
    Member member = createGroup();
    Member other = join(member, "Other");
    std::string job = submit(member, member, member);
    JSON cancelled = service->cancel(other.caller, job);
    EXPECT_EQ(cancelled["state"].text(), "cancelled");
    EXPECT_EQ(cancelled["error"], JSON());
    clock.advance(5);
    JSON again = service->cancel(other.caller, job);
    EXPECT_EQ(again, cancelled);

    std::string failed = submit(member, member, member);
    std::string lease = claim(member);
    service->fail(member.caller, failed, lease, JSON::object({{"error", "Signing failed"}}));
    JSON record = service->cancel(other.caller, failed);
    EXPECT_EQ(record["state"].text(), "failed");
    EXPECT_EQ(record["error"].text(), "Signing failed");
}

TEST_F(JobsTest, EventsComeInOrderAfterTheCursorAThousandAtATime) {
    Member member = createGroup();
    std::string first = submit(member, member, member);
    std::string lease = claim(member);
    for (int i = 0; i < 1003; ++i) {
        service->addEvent(member.caller, first, lease,
                          JSON::object({{"message", "step " + std::to_string(i)}}));
    }
    JSON::Array page = service->events(member.caller, first, 0)["events"].items();
    ASSERT_EQ(page.size(), 1000u);
    EXPECT_EQ(page.front()["message"].text(), "step 0");
    for (std::size_t i = 1; i < page.size(); ++i) {
        EXPECT_GT(page[i]["id"].integer(), page[i - 1]["id"].integer());
    }
    JSON::Array rest =
        service->events(member.caller, first, page.back()["id"].integer())["events"].items();
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(rest.back()["message"].text(), "step 1002");
    EXPECT_TRUE(service->events(member.caller, first, rest.back()["id"].integer())["events"]
                    .items()
                    .empty());

    // Ids grow across the relay, not per job.
    std::string second = submit(member, member, member);
    std::string secondJob;
    std::string secondLease = claim(member, &secondJob);
    ASSERT_EQ(secondJob, second);
    JSON event =
        service->addEvent(member.caller, second, secondLease, JSON::object({{"message", "m"}}));
    EXPECT_GT(event["id"].integer(), rest.back()["id"].integer());
}

TEST_F(JobsTest, LongTextsAreCutByCharactersNotBytes) {
    Member member = createGroup();
    std::string job = submit(member, member, member);
    std::string lease = claim(member);
    std::string message;
    for (int i = 0; i < 4100; ++i) {
        message += "\xC3\xA9"; // é, two bytes
    }
    JSON event = service->addEvent(member.caller, job, lease, JSON::object({{"message", message}}));
    EXPECT_EQ(event["message"].text(), message.substr(0, 8000));
    EXPECT_EQ(service->events(member.caller, job, 0)["events"].items()[0]["message"].text(),
              message.substr(0, 8000));

    std::string error = "x" + message; // 1 + 4100 characters
    JSON failed = service->fail(member.caller, job, lease, JSON::object({{"error", error}}));
    EXPECT_EQ(failed["error"].text(), error.substr(0, 1 + 1999 * 2));
    EXPECT_EQ(failed["state"].text(), "failed");
}

TEST_F(JobsTest, ANULInAMessageOrAnErrorIsKeptAsAReplacementCharacter) {
    // A tool's output may hold NUL, which PostgreSQL cannot store: the text is kept, the NUL
    // shown as U+FFFD, on either store.
    Member member = createGroup();
    std::string job = submit(member, member, member);
    std::string lease = claim(member);
    service->addEvent(member.caller, job, lease,
                      JSON::object({{"message", std::string("ld: \0\0 at 3", 11)}}));
    EXPECT_EQ(service->events(member.caller, job, 0)["events"].items()[0]["message"].text(),
              "ld: \xEF\xBF\xBD\xEF\xBF\xBD at 3");
    service->fail(member.caller, job, lease, JSON::object({{"error", std::string("exit\0", 5)}}));
    EXPECT_EQ(service->job(member.caller, job)["error"].text(), "exit\xEF\xBF\xBD");
}

} // namespace
