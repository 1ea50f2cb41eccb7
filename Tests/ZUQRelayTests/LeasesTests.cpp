// Claims, heartbeats and the lease rules, with a clock the tests move instead of sleeping.
#include "ServiceFixture.hpp"

#include <thread>

using namespace ZUQRelayTests;

namespace {

using LeasesTest = ServiceTest;

JSON beat(ZUQRelay::Service& service, const Member& member,
          const std::vector<std::pair<std::string, std::string>>& leases) {
    JSON::Array items;
    for (const auto& [job, token] : leases) {
        items.push_back(JSON::object({{"id", job}, {"token", token}}));
    }
    return service.heartbeat(member.caller, JSON::object({{"inventory", JSON::object()},
                                                          {"leases", JSON(std::move(items))}}));
}

TEST_F(LeasesTest, EachSideClaimsItsOldestWaitingJobOnce) {
    Member builder = createGroup("Team", "Builder");
    Member receiver = join(builder, "Receiver");
    EXPECT_EQ(service->claim(builder.caller), JSON::object({{"job", nullptr}, {"lease", nullptr}}));
    std::string older = submit(builder, builder, receiver);
    clock.advance(1);
    std::string newer = submit(builder, builder, receiver);

    // The receiver has nothing until a build is finished.
    EXPECT_EQ(service->claim(receiver.caller)["job"], JSON());
    JSON first = service->claim(builder.caller);
    EXPECT_EQ(first["job"]["id"].text(), older);
    EXPECT_EQ(first["job"]["state"].text(), "building");
    EXPECT_EQ(first["lease"].text().size(), 43u);
    JSON second = service->claim(builder.caller);
    EXPECT_EQ(second["job"]["id"].text(), newer);
    EXPECT_NE(second["lease"].text(), first["lease"].text());
    EXPECT_EQ(service->claim(builder.caller)["job"], JSON());

    std::string lease = first["lease"].text();
    upload(builder, older, lease, "encrypted build");
    service->finishBuild(builder.caller, older, lease,
                         JSON::object({{"manifest", JSON::object({{"bundle_id", "app"}})}}));
    JSON install = service->claim(receiver.caller);
    EXPECT_EQ(install["job"]["id"].text(), older);
    EXPECT_EQ(install["job"]["state"].text(), "installing");
    EXPECT_EQ(install["job"]["artifact_sha"].text().size(), 64u);
    EXPECT_EQ(service->claim(receiver.caller)["job"], JSON());
}

TEST_F(LeasesTest, AClaimAnsweredFromMemoryNeverHidesAJob) {
    Member builder = createGroup("Team", "Builder");
    Member receiver = join(builder, "Receiver");
    const JSON nothing = JSON::object({{"job", nullptr}, {"lease", nullptr}});
    if (store->shared()) {
        // Another relay on the store may give the Mac work at any moment.
        EXPECT_EQ(service->claim(builder.caller), nothing);
        EXPECT_EQ(service->claimAtOnce(builder.caller), std::nullopt);
        return;
    }
    EXPECT_EQ(service->claimAtOnce(builder.caller), std::nullopt) << "no claim has looked yet";
    EXPECT_EQ(service->claim(builder.caller), nothing);
    EXPECT_EQ(service->claim(receiver.caller), nothing);
    EXPECT_EQ(service->claimAtOnce(builder.caller), nothing);

    std::string job = submit(builder, builder, receiver);
    EXPECT_EQ(service->claimAtOnce(builder.caller), std::nullopt) << "a job to build";
    EXPECT_EQ(service->claimAtOnce(receiver.caller), nothing) << "nothing to install yet";
    std::string lease = claim(builder);
    EXPECT_EQ(service->claimAtOnce(builder.caller), std::nullopt)
        << "a claim that found a job may have left another";
    EXPECT_EQ(service->claim(builder.caller), nothing);
    EXPECT_EQ(service->claimAtOnce(builder.caller), nothing);

    upload(builder, job, lease, "encrypted build");
    service->finishBuild(builder.caller, job, lease,
                         JSON::object({{"manifest", JSON::object({{"bundle_id", "app"}})}}));
    EXPECT_EQ(service->claimAtOnce(receiver.caller), std::nullopt) << "a build to install";
    EXPECT_FALSE(claim(receiver).empty());
    EXPECT_EQ(service->claim(receiver.caller), nothing);
    EXPECT_EQ(service->claimAtOnce(receiver.caller), nothing);
    clock.advance(ZUQRelay::Limits::leaseSeconds + 1);
    EXPECT_EQ(service->claimAtOnce(receiver.caller), std::nullopt)
        << "a lease may have lapsed: the store decides";
}

TEST_F(LeasesTest, AJobSubmittedWhileAClaimReadsIsNeverHidden) {
    Member builder = createGroup("Team", "Builder");
    Member receiver = join(builder, "Receiver");
    for (int round = 0; round < 100; ++round) {
        std::string claimed;
        std::thread claiming([&] { claimed = claim(builder); });
        submit(builder, builder, receiver);
        claiming.join();
        if (claimed.empty()) {
            // The claim looked before the job was there: it must not have marked the Mac idle.
            ASSERT_EQ(service->claimAtOnce(builder.caller), std::nullopt) << "round " << round;
            ASSERT_FALSE(claim(builder).empty()) << "round " << round;
        }
        ASSERT_TRUE(claim(builder).empty());
    }
}

TEST(IdleDevicesTest, AChangeAfterAClaimsTicketKeepsTheDeviceBusy) {
    enum Step { ticket, change, found, otherChange };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        bool idle;
    } cases[] = {
        {"a device no claim has looked at", {}, false},
        {"a claim that found nothing", {ticket, found}, true},
        {"work given while the claim read", {ticket, change, found}, false},
        {"work given after the claim", {ticket, found, change}, false},
        {"a change to another device", {ticket, otherChange, found}, true},
        {"a later claim finds nothing again", {ticket, change, found, ticket, found}, true},
        {"work before any claim", {change, ticket, found}, true},
    };
    for (const auto& [what, steps, idle] : cases) {
        SCOPED_TRACE(what);
        ZUQRelay::IdleDevices devices;
        ZUQRelay::IdleDevices::Ticket taken = 0;
        for (Step step : steps) {
            switch (step) {
            case ticket: taken = devices.ticket("mac"); break;
            case change: devices.mayHaveWork("mac"); break;
            case found: devices.foundIdle("mac", taken); break;
            case otherChange: devices.mayHaveWork("other"); break;
            }
        }
        EXPECT_EQ(devices.idle("mac"), idle);
        EXPECT_FALSE(devices.idle("other"));
    }
}

TEST_F(LeasesTest, ALapsedLeaseFailsItsJobWithTheSidesSentence) {
    Member builder = createGroup("Team", "Builder");
    Member receiver = join(builder, "Receiver");
    std::string building = submit(builder, builder, receiver);
    std::string buildLease = claim(builder);
    clock.advance(59.9);
    EXPECT_EQ(state(builder, building), "building");
    clock.advance(0.1);
    JSON failed = service->job(builder.caller, building);
    EXPECT_EQ(failed["state"].text(), "failed");
    EXPECT_EQ(failed["error"].text(), "The builder Mac stopped responding");
    EXPECT_REFUSED(service->addEvent(builder.caller, building, buildLease,
                                     JSON::object({{"message", "too late"}})),
                   409, "Lease is not valid for this job");

    std::string installing = submit(builder, builder, receiver);
    std::string lease = claim(builder);
    upload(builder, installing, lease, "build");
    service->finishBuild(builder.caller, installing, lease,
                         JSON::object({{"manifest", JSON::object()}}));
    claim(receiver);
    // The builder's lease lapsing after its side is done changes nothing.
    clock.advance(60);
    service->sweep();
    failed = service->job(builder.caller, installing);
    EXPECT_EQ(failed["state"].text(), "failed");
    EXPECT_EQ(failed["error"].text(), "The receiver Mac stopped responding");
    EXPECT_TRUE(storedFiles().empty());
}

TEST_F(LeasesTest, HeartbeatsRenewLiveLeasesAndReportTheStateOfEveryLeasedJob) {
    Member builder = createGroup("Team", "Builder");
    Member stranger = createGroup("Other", "Stranger");
    std::string job;
    submit(builder, builder, builder);
    std::string lease = claim(builder, &job);
    for (int beatCount = 0; beatCount < 5; ++beatCount) {
        clock.advance(50);
        JSON answer = beat(*service, builder, {{job, lease}});
        EXPECT_EQ(answer, JSON::object({{"jobs", JSON::array({JSON::object(
                                                     {{"id", job}, {"state", "building"}})})}}));
    }
    EXPECT_EQ(state(builder, job), "building");

    // Leases that are not the caller's, or not for that job, are neither renewed nor reported.
    std::string otherJob;
    submit(builder, builder, builder);
    std::string otherLease = claim(builder, &otherJob);
    EXPECT_EQ(beat(*service, stranger, {{job, lease}})["jobs"], JSON::array());
    EXPECT_EQ(beat(*service, builder, {{otherJob, lease}, {job, "forged"}})["jobs"], JSON::array());

    // A cancelled job is reported so that the agent stops.
    service->cancel(builder.caller, job);
    EXPECT_EQ(beat(*service, builder, {{job, lease}})["jobs"],
              JSON::array({JSON::object({{"id", job}, {"state", "cancelled"}})}));

    // So is a job whose lease lapsed: the agent hears why it should stop.
    clock.advance(61);
    EXPECT_EQ(beat(*service, builder, {{otherJob, otherLease}})["jobs"],
              JSON::array({JSON::object({{"id", otherJob}, {"state", "failed"}})}));
}

TEST_F(LeasesTest, HeartbeatBodiesAreCheckedMemberByMember) {
    Member member = createGroup();
    struct Case {
        JSON body;
        std::string sentence;
    } cases[] = {
        {JSON::object({{"leases", JSON::array()}}), "Member \"inventory\" must be an object"},
        {JSON::object({{"inventory", "x"}, {"leases", JSON::array()}}),
         "Member \"inventory\" must be an object"},
        {JSON::object({{"inventory", JSON::object()}}), "Member \"leases\" must be an array"},
        {JSON::object({{"inventory", JSON::object()}, {"leases", JSON::array({5})}}),
         "Member \"leases\" must hold objects with \"id\" and \"token\" strings"},
        {JSON::object({{"inventory", JSON::object()},
                       {"leases", JSON::array({JSON::object({{"id", "a"}})})}}),
         "Member \"leases\" must hold objects with \"id\" and \"token\" strings"},
    };
    for (const auto& [body, sentence] : cases) {
        EXPECT_REFUSED(service->heartbeat(member.caller, body), 400, sentence);
    }
    JSON::Array many(101, JSON::object({{"id", "a"}, {"token", "b"}}));
    EXPECT_REFUSED(service->heartbeat(member.caller, JSON::object({{"inventory", JSON::object()},
                                                                   {"leases", JSON(many)}})),
                   400, "Member \"leases\" has more than 100 items");
}

TEST_F(LeasesTest, TimeWhileTheRelayIsDownDoesNotCountAgainstALease) {
    Member builder = createGroup("Team", "Builder");
    std::string job;
    submit(builder, builder, builder);
    std::string lease = claim(builder, &job);
    clock.advance(50);
    reopen();
    // Down for an hour, then started again.
    clock.advance(3600);
    service->restartLeases();
    clock.advance(59);
    service->sweep();
    EXPECT_EQ(state(builder, job), "building");
    EXPECT_EQ(beat(*service, builder, {{job, lease}})["jobs"].items().size(), 1u);
    clock.advance(59);
    EXPECT_EQ(state(builder, job), "building");
    clock.advance(1);
    EXPECT_EQ(state(builder, job), "failed");
}

TEST_F(LeasesTest, LeaseScopedCallsNeedTheCallersLiveLeaseOfTheRightSide) {
    Member builder = createGroup("Team", "Builder");
    Member receiver = join(builder, "Receiver");
    std::string job = submit(builder, builder, receiver);
    std::string lease = claim(builder);
    const std::string invalid = "Lease is not valid for this job";
    JSON event = JSON::object({{"message", "m"}});
    EXPECT_REFUSED(service->addEvent(builder.caller, job, "", event), 409, invalid);
    EXPECT_REFUSED(service->addEvent(builder.caller, job, "forged", event), 409, invalid);
    // The receiver's own device cannot use the builder's lease.
    EXPECT_REFUSED(service->addEvent(receiver.caller, job, lease, event), 409, invalid);
    EXPECT_REFUSED(service->finish(builder.caller, job, lease), 409, invalid);
    EXPECT_REFUSED(service->openDownload(builder.caller, job, lease), 409, invalid);
    EXPECT_REFUSED(service->finishBuild(builder.caller, job, lease,
                                        JSON::object({{"manifest", JSON::object()}})),
                   409, "Upload the build before finishing it");
    EXPECT_REFUSED(service->finishBuild(builder.caller, job, lease, JSON::object()), 400,
                   "Member \"manifest\" must be an object");

    upload(builder, job, lease, "build");
    service->finishBuild(builder.caller, job, lease, JSON::object({{"manifest", JSON::object()}}));
    // The build side is over: its lease no longer fits what the job needs.
    EXPECT_REFUSED(service->fail(builder.caller, job, lease, JSON::object({{"error", "late"}})),
                   409, "Job is installing");
    EXPECT_REFUSED(service->checkUpload(builder.caller, job, lease, 1), 409, "Job is installing");
    std::string install = claim(receiver);
    service->cancel(builder.caller, job);
    EXPECT_REFUSED(service->finish(receiver.caller, job, install), 409, "Job is cancelled");
    EXPECT_REFUSED(service->openDownload(receiver.caller, job, install), 409, "Job is cancelled");
    EXPECT_REFUSED(service->addEvent(receiver.caller, job, install, event), 409,
                   "Job is cancelled");
}

} // namespace
