// What one member or group can make the relay keep: reported inventories, events, jobs and
// builds, and how long ended jobs stay.
#include "Members.hpp"
#include "RelayFixture.hpp"
#include "Schema.hpp"
#include "ServiceFixture.hpp"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <sqlite3.h>

using namespace ZUQRelayTests;

namespace {

using PolicyTest = ServiceTest;

JSON phone(const std::string& udid, const std::string& os, std::size_t padding = 0) {
    return JSON::object({{"udid", udid},
                         {"core_id", "core-" + udid},
                         {"name", std::string(padding, 'n')},
                         {"model", std::string(padding, 'm')},
                         {"product_type", "iPhone15,2"},
                         {"os", os},
                         {"state", "connected"},
                         {"developer_mode", true},
                         {"available", true},
                         {"transport", "wired"}});
}

JSON heartbeat(const JSON& inventory) {
    return JSON::object({{"inventory", inventory}, {"leases", JSON::array()}});
}

JSON reportedInventory(ZUQRelay::Service& service, const Member& viewer, const Member& mac) {
    JSON group = JSON::decode(service.groupText(viewer.caller));
    for (const JSON& device : group["devices"].items()) {
        if (device["id"].text() == mac.device) {
            return device["inventory"];
        }
    }
    return JSON();
}

// What the relay counts as the bytes its ended jobs keep for `group`.
std::int64_t countedEndedBytes(ZUQRelay::Store& store, const std::string& group) {
    return store.read([&](ZUQRelay::SQL::Connection& database) {
        ZUQRelay::SQL::Rows row =
            database.query("SELECT ended_job_bytes FROM groups WHERE id = ?", group);
        return row.next() ? row.integer(0) : -1;
    });
}

// The bytes of every text and blob of the rows of `group`'s ended jobs, column by column
// whatever the columns are, so that a text the relay leaves out of its count shows.
std::int64_t heldEndedBytes(ZUQRelay::Store& store, const std::string& group) {
    return store.read([&](ZUQRelay::SQL::Connection& connection) {
        constexpr const char* ended = "SELECT * FROM jobs WHERE group_id = ? "
                                      "AND state IN ('succeeded', 'failed', 'cancelled')";
        if (connection.dialect() == ZUQRelay::SQL::Dialect::postgreSQL) {
            // Every text column the table has, summed by the server.
            std::string sum = "0";
            ZUQRelay::SQL::Rows columns = connection.query(
                "SELECT column_name FROM information_schema.columns WHERE table_name = 'jobs' "
                "AND data_type IN ('text', 'bytea', 'character varying')");
            while (columns.next()) {
                sum += " + COALESCE(OCTET_LENGTH(" + columns.text(0) + "), 0)";
            }
            ZUQRelay::SQL::Rows total = connection.query(
                "SELECT COALESCE(SUM(" + sum + "), 0) FROM (" + ended + ") AS ended", group);
            return total.next() ? total.integer(0) : -1;
        }
        auto& database = dynamic_cast<ZUQRelay::Database&>(connection);
        sqlite3_stmt* prepared = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(database.handle(), ended, -1, &prepared, nullptr), SQLITE_OK);
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(prepared, sqlite3_finalize);
        sqlite3_bind_text(prepared, 1, group.data(), static_cast<int>(group.size()),
                          SQLITE_TRANSIENT);
        std::int64_t bytes = 0;
        while (sqlite3_step(prepared) == SQLITE_ROW) {
            for (int column = 0; column < sqlite3_column_count(prepared); ++column) {
                int type = sqlite3_column_type(prepared, column);
                if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
                    bytes += sqlite3_column_bytes(prepared, column);
                }
            }
        }
        return bytes;
    });
}

std::int64_t storedEvents(ZUQRelay::Store& store, const std::string& job) {
    return store.read([&](ZUQRelay::SQL::Connection& database) {
        ZUQRelay::SQL::Rows row =
            database.query("SELECT COUNT(*) FROM events WHERE job_id = ?", job);
        row.next();
        return row.integer(0);
    });
}

std::string endedQuotaSentence(std::uint64_t quota) {
    return "This job alone would pass the quota of " + std::to_string(quota) +
           " bytes that this group's ended jobs may keep on the relay. Submit shorter values, "
           "or ask the relay's operator to raise --max-ended-job-bytes.";
}

TEST_F(PolicyTest, AnOversizedInventoryIsStoredCutAndItsHeartbeatAnswered) {
    Member owner = createGroup("Team", "Owner");
    Member receiver = join(owner, "Receiver");
    std::string accented;
    for (int i = 0; i < 1500; ++i) {
        accented += "é";
    }
    JSON::Array phones;
    for (int index = 0; index < 100; ++index) {
        phones.push_back(phone("UDID-" + std::to_string(index), "17." + std::to_string(index)));
    }
    JSON::Array projects;
    for (int index = 0; index < 300; ++index) {
        projects.push_back(JSON::object({{"id", "P" + std::to_string(index)}}));
    }
    struct Case {
        const char* what;
        JSON inventory;
        std::function<void(const JSON&)> check;
    } cases[] = {
        {"a normal report is kept as sent",
         JSON::object({{"phones", JSON::array({phone("A", "17.5")})},
                       {"projects", JSON::array({JSON::object({{"id", "P1"}})})},
                       {"platform", "macOS"}}),
         [&](const JSON& kept) {
             EXPECT_EQ(kept,
                       JSON::object({{"phones", JSON::array({phone("A", "17.5")})},
                                     {"projects", JSON::array({JSON::object({{"id", "P1"}})})},
                                     {"platform", "macOS"}}));
         }},
        {"lists are cut to their first items",
         JSON::object({{"phones", JSON(phones)}, {"projects", JSON(projects)}}),
         [&](const JSON& kept) {
             ASSERT_EQ(kept["phones"].items().size(), 64u);
             EXPECT_EQ(kept["phones"].items()[63], phone("UDID-63", "17.63"));
             ASSERT_EQ(kept["projects"].items().size(), 256u);
             EXPECT_EQ(kept["projects"].items()[255]["id"].text(), "P255");
         }},
        {"texts are cut to 1000 characters",
         JSON::object({{"phones", JSON::array({phone("A", accented)})}, {"note", accented}}),
         [&](const JSON& kept) {
             EXPECT_EQ(kept["note"].text(), ZUQRelay::Members::firstCharacters(accented, 1000));
             EXPECT_EQ(kept["phones"].items()[0]["os"].text(),
                       ZUQRelay::Members::firstCharacters(accented, 1000));
         }},
        {"a report that fills the body keeps what a job needs under 256 KiB",
         JSON::object(
             {{"phones", JSON::array({phone("A", "17.5", 900), phone("B", "18.0", 900)})},
              {"projects", JSON(JSON::Array(200, JSON::object({{"id", std::string(2000, 'p')}})))},
              {"extra", JSON(JSON::Array(200, JSON(std::string(900, 'x'))))}}),
         [&](const JSON& kept) {
             EXPECT_LT(kept.data().size(), 256u * 1024);
             ASSERT_EQ(kept["phones"].items().size(), 2u);
             EXPECT_EQ(kept["phones"].items()[1]["udid"].text(), "B");
             EXPECT_EQ(kept["phones"].items()[1]["os"].text(), "18.0");
         }},
        {"an inventory of sixty thousand members keeps its lists and 254 others",
         [] {
             JSON::Object members;
             for (int index = 0; index < 60000; ++index) {
                 members.emplace("m" + std::to_string(index), index);
             }
             members.emplace("phones", JSON::array({phone("A", "17.5")}));
             members.emplace("projects", JSON::array({JSON::object({{"id", "P1"}})}));
             return JSON(std::move(members));
         }(),
         [&](const JSON& kept) {
             EXPECT_EQ(kept.fields().size(), 256u);
             EXPECT_EQ(kept["phones"], JSON::array({phone("A", "17.5")}));
             EXPECT_EQ(kept["projects"].items().size(), 1u);
         }},
        {"phones that are one large object rather than a list are cut like any object",
         [] {
             JSON::Object members;
             for (int index = 0; index < 4000; ++index) {
                 members.emplace("m" + std::to_string(index), std::string(60, 'v'));
             }
             return JSON::object({{"phones", JSON(members)},
                                  {"projects", JSON::array({JSON::object({{"id", "P1"}})})}});
         }(),
         [&](const JSON& kept) {
             EXPECT_EQ(kept["phones"].fields().size(), 256u);
             EXPECT_EQ(kept["projects"].items().size(), 1u);
         }},
        {"an inventory nested without end is cut at a few levels",
         [] {
             JSON deep = JSON::object();
             for (int level = 0; level < 200; ++level) {
                 deep = JSON::object({{"in", deep}});
             }
             return JSON::object({{"deep", deep}});
         }(),
         [&](const JSON& kept) { EXPECT_LT(kept.data().size(), 100u); }},
    };
    for (const auto& [what, inventory, check] : cases) {
        SCOPED_TRACE(what);
        ASSERT_LT(heartbeat(inventory).data().size(), std::size_t(1) << 20)
            << "fits the relay's body limit";
        EXPECT_EQ(service->heartbeat(receiver.caller, heartbeat(inventory)),
                  JSON::object({{"jobs", JSON::array()}}));
        check(reportedInventory(*service, owner, receiver));
        // What is within every limit is taken without a copy; the result is the same.
        EXPECT_EQ(JSON::decode(ZUQRelay::Members::boundedInventoryText(inventory)),
                  ZUQRelay::Members::boundedInventory(inventory));
    }

    // A job on a phone of a cut report still carries the phone's record, "os" included.
    service->heartbeat(receiver.caller,
                       heartbeat(JSON::object({{"phones", JSON(phones)}, {"note", accented}})));
    std::string jobID = submit(owner, owner, receiver, "UDID-10");
    EXPECT_EQ(service->job(owner.caller, jobID)["spec"]["phone"], phone("UDID-10", "17.10"));
    // And what was cut is what is written to the database.
    reopen();
    EXPECT_EQ(reportedInventory(*service, owner, receiver)["phones"].items().size(), 64u);
}

TEST_F(PolicyTest, TheGroupsAnswerSharesItsInventoryBudgetEquallyAmongItsMacs) {
    policy.groupInventoryBytes = 64 * 1024;
    reopen();
    Member owner = createGroup("Team", "Owner");
    std::vector<Member> macs = {owner, join(owner, "B"), join(owner, "C"), join(owner, "D")};
    // Three large reports of 40 phones of 1 KiB each, and one small one.
    JSON::Array phones;
    for (int index = 0; index < 40; ++index) {
        phones.push_back(phone("UDID-" + std::to_string(index), "18.0", 400));
    }
    JSON large = JSON::object({{"phones", JSON(phones)}, {"platform", "macOS"}});
    JSON small = JSON::object({{"phones", JSON::array({phone("S", "17.5")})}});
    for (std::size_t index = 0; index < macs.size(); ++index) {
        service->heartbeat(macs[index].caller, heartbeat(index == 3 ? small : large));
    }
    JSON group = JSON::decode(service->groupText(owner.caller));
    std::size_t together = 0;
    for (const JSON& device : group["devices"].items()) {
        SCOPED_TRACE(device["name"].text());
        std::size_t size = device["inventory"].data().size();
        together += size;
        EXPECT_LT(size, 16u * 1024 + 1) << "an equal share of the budget";
        EXPECT_FALSE(device["inventory"]["phones"].items().empty()) << "phones come first";
        EXPECT_EQ(device["inventory"]["phones"].items()[0]["os"].kind(), JSON::Kind::string);
    }
    EXPECT_LT(together, policy.groupInventoryBytes);
    EXPECT_EQ(reportedInventory(*service, owner, macs[3]), small) << "a small report is whole";
    // Each Mac's own record is unchanged: only the group's answer is cut.
    policy.groupInventoryBytes = std::size_t(32) << 20;
    reopen();
    EXPECT_EQ(reportedInventory(*service, owner, macs[0])["phones"].items().size(), 40u);
}

TEST_F(PolicyTest, OnlyAFewLargeGroupAnswersAreBuiltAtOnce) {
    policy.largeGroupAnswerBytes = 16 * 1024;
    policy.largeGroupAnswersAtOnce = 0;
    reopen();
    Member owner = createGroup("Large", "Owner");
    JSON::Array phones;
    for (int index = 0; index < 40; ++index) {
        phones.push_back(phone("UDID-" + std::to_string(index), "18.0", 400));
    }
    service->heartbeat(owner.caller, heartbeat(JSON::object({{"phones", JSON(phones)}})));
    Member other = createGroup("Small", "Other");
    service->heartbeat(other.caller,
                       heartbeat(JSON::object({{"phones", JSON::array({phone("S", "17.5")})}})));
    // With no place for a large answer it is refused as busy; a small one never waits.
    try {
        JSON::decode(service->groupText(owner.caller));
        ADD_FAILURE() << "a large answer was built without a place";
    } catch (const ZUQRelay::Refusal& refusal) {
        EXPECT_EQ(refusal.reason(), ZUQRelay::Refusal::Reason::busy);
        EXPECT_STREQ(refusal.what(), "The relay is busy with other requests. Try again shortly.");
    }
    EXPECT_EQ(JSON::decode(service->groupText(other.caller))["devices"].items().size(), 1u);
    // With one place, members asking at once are each answered or told to come back, and the
    // place is free again afterwards.
    policy.largeGroupAnswersAtOnce = 1;
    reopen();
    service->heartbeat(owner.caller, heartbeat(JSON::object({{"phones", JSON(phones)}})));
    std::atomic<int> answered = 0, busy = 0, wrong = 0;
    std::vector<std::thread> members;
    for (int t = 0; t < 6; ++t) {
        members.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                try {
                    JSON::decode(service->groupText(owner.caller))["devices"].items().size() == 1
                        ? ++answered
                        : ++wrong;
                } catch (const ZUQRelay::Refusal& refusal) {
                    refusal.reason() == ZUQRelay::Refusal::Reason::busy ? ++busy : ++wrong;
                }
            }
        });
    }
    for (auto& member : members) {
        member.join();
    }
    EXPECT_EQ(answered + busy, 120);
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(answered, 0);
    EXPECT_EQ(JSON::decode(service->groupText(owner.caller))["devices"].items().size(), 1u);
}

TEST_F(PolicyTest, EventsAreCutInBytesAsWellAsCharacters) {
    Member owner = createGroup();
    std::string jobID = submit(owner, owner, owner);
    std::string lease = claim(owner);
    std::string threeBytes; // a character of three bytes
    for (int i = 0; i < 3000; ++i) {
        threeBytes += "€";
    }
    struct Case {
        std::string sent;
        std::string kept;
    } cases[] = {
        {std::string(4000, 'a'), std::string(4000, 'a')},
        {std::string(5000, 'a'), std::string(4000, 'a')},
        {threeBytes, threeBytes.substr(0, 7998)}, // 2666 characters, none split
        {"ok €", "ok €"},
    };
    for (const auto& [sent, kept] : cases) {
        JSON event =
            service->addEvent(owner.caller, jobID, lease, JSON::object({{"message", sent}}));
        EXPECT_EQ(event["message"].text(), kept);
    }
    JSON stored = service->events(owner.caller, jobID, 0);
    ASSERT_EQ(stored["events"].items().size(), 4u);
    EXPECT_EQ(stored["events"].items()[2]["message"].text(), threeBytes.substr(0, 7998));
}

TEST_F(PolicyTest, QuotasRefuseWithClearSentencesPerGroup) {
    policy.openJobsPerGroup = 2;
    policy.storedBytesPerGroup = 1000;
    policy.eventBytesPerGroup = 10;
    reopen();
    Member owner = createGroup("Team", "Owner");
    Member other = createGroup("Other", "Elsewhere");

    std::string first = submit(owner, owner, owner);
    std::string second = submit(owner, owner, owner);
    EXPECT_REFUSED(submit(owner, owner, owner), 429,
                   "This group has 2 unfinished jobs, as many as the relay allows. Wait for some "
                   "to end or cancel some.");
    EXPECT_NO_THROW(submit(other, other, other)) << "another group has its own quota";

    std::string lease = claim(owner);
    const std::string storedFull = "This group's builds on the relay would pass its quota of "
                                   "1000 bytes. Wait for some jobs to end or cancel some.";
    EXPECT_REFUSED(service->checkUpload(owner.caller, first, lease, 1001), 413, storedFull);
    EXPECT_NO_THROW(service->checkUpload(owner.caller, first, lease, 1000));
    upload(owner, first, lease, std::string(600, 'a'));
    // A new upload replaces the job's own, so only other jobs' builds count against it.
    EXPECT_NO_THROW(service->checkUpload(owner.caller, first, lease, 1000));
    std::string lease2 = claim(owner);
    EXPECT_REFUSED(service->checkUpload(owner.caller, second, lease2, 500), 413, storedFull);
    // Let in from its head, a build that no longer fits when it has arrived is refused and
    // leaves nothing.
    EXPECT_NO_THROW(service->checkUpload(owner.caller, second, lease2, 400));
    EXPECT_REFUSED(upload(owner, second, lease2, std::string(401, 'b')), 413, storedFull);
    EXPECT_EQ(storedFiles().size(), 1u);

    EXPECT_NO_THROW(
        service->addEvent(owner.caller, first, lease, JSON::object({{"message", "0123456789"}})));
    EXPECT_REFUSED(
        service->addEvent(owner.caller, first, lease, JSON::object({{"message", "x"}})), 429,
        "This group's events fill their quota of 10 bytes on the relay; ended jobs' events are "
        "deleted 30 days after the job ends");

    // An ended job frees its place and its build at once.
    service->cancel(owner.caller, first);
    EXPECT_TRUE(storedFiles().empty());
    EXPECT_NO_THROW(submit(owner, owner, owner));
}

TEST_F(PolicyTest, RetentionDeletesLongEndedJobsTheirEventsAndNothingElse) {
    policy.retentionSeconds = 10 * 86400.0;
    policy.eventBytesPerGroup = 100;
    reopen();
    Member owner = createGroup("Team", "Owner");
    Member other = join(owner, "Other");

    std::string old = submit(owner, owner, other);
    std::string lease = claim(owner);
    service->addEvent(owner.caller, old, lease, JSON::object({{"message", std::string(60, 'e')}}));
    upload(owner, old, lease, "build");
    service->fail(owner.caller, old, lease, JSON::object({{"error", "Archive failed"}}));
    std::string cancelled = submit(owner, other, owner);
    service->cancel(owner.caller, cancelled);

    clock.advance(9 * 86400.0);
    std::string recent = submit(owner, owner, other);
    std::string recentLease = claim(owner);
    service->addEvent(owner.caller, recent, recentLease,
                      JSON::object({{"message", std::string(30, 'r')}}));
    service->cancel(owner.caller, recent);
    std::string open = submit(owner, other, owner); // never ends

    clock.advance(86400.0 - 1);
    EXPECT_EQ(service->forgetEndedJobs(), 0u) << "not yet ten days";
    clock.advance(1);
    // Through the relay's own upkeep, as it runs every second.
    service->sweep();
    for (const auto& gone : {old, cancelled}) {
        EXPECT_REFUSED(service->job(owner.caller, gone), 404, "Job not found");
        EXPECT_REFUSED(service->events(owner.caller, gone, 0), 404, "Job not found");
    }
    EXPECT_EQ(state(owner, recent), "cancelled");
    EXPECT_EQ(service->events(owner.caller, recent, 0)["events"].items().size(), 1u);
    EXPECT_EQ(state(owner, open), "building");
    EXPECT_EQ(service->jobs(owner.caller)["jobs"].items().size(), 2u);
    EXPECT_TRUE(storedFiles().empty());

    // The deleted events no longer count against the group's quota: 30 of 100 bytes are used.
    std::string openLease = claim(other);
    EXPECT_NO_THROW(service->addEvent(other.caller, open, openLease,
                                      JSON::object({{"message", std::string(70, 'n')}})));
    EXPECT_REFUSED(
        service->addEvent(other.caller, open, openLease, JSON::object({{"message", "x"}})), 429,
        "This group's events fill their quota of 100 bytes on the relay; ended jobs' "
        "events are deleted 10 days after the job ends");
}

TEST_F(PolicyTest, RetentionDeletesAJobWithManyEventsOverSeveralShortRounds) {
    policy.retentionSeconds = 86400.0;
    reopen();
    Member owner = createGroup();
    std::string jobID = submit(owner, owner, owner);
    std::string lease = claim(owner);
    for (int index = 0; index < 4500; ++index) {
        service->addEvent(owner.caller, jobID, lease, JSON::object({{"message", "step"}}));
    }
    service->cancel(owner.caller, jobID);
    clock.advance(86400.0);
    EXPECT_EQ(service->forgetEndedJobs(), 1u);
    EXPECT_EQ(store->read([](ZUQRelay::SQL::Connection& database) {
        ZUQRelay::SQL::Rows rows = database.query("SELECT COUNT(*) FROM events");
        rows.next();
        return rows.integer(0);
    }),
              0);
    EXPECT_REFUSED(service->job(owner.caller, jobID), 404, "Job not found");
}

TEST_F(PolicyTest, EndedJobsPastTheirQuotaGoThoseThatEndedFirstFirst) {
    // Room for five of the loop's events: the events of deleted jobs must stop counting.
    policy.eventBytesPerGroup = 500;
    reopen();
    Member owner = createGroup("Team", "Owner");
    Member receiver = join(owner, "Receiver");
    Member idle = join(owner, "Idle"); // never claims, so its job waits until cancelled
    Member other = createGroup("Other", "Elsewhere");
    // Another group's jobs, ended before all others and within their own quota.
    std::vector<std::string> others = {submit(other, other, other), submit(other, other, other)};
    for (const auto& id : others) {
        service->cancel(other.caller, id);
    }

    // Each job has a build, a manifest and an event, and ends in one of the three ways.
    struct Ended {
        std::string id;
        std::string sha;
    };
    auto run = [&](int index) {
        std::string id = submit(owner, owner, receiver);
        std::string lease = claim(owner);
        service->addEvent(owner.caller, id, lease,
                          JSON::object({{"message", std::string(100, 'e')}}));
        std::string sha = upload(owner, id, lease, "build");
        service->finishBuild(
            owner.caller, id, lease,
            JSON::object({{"manifest", JSON::object({{"bundle_id", "com.example.app"}})}}));
        clock.advance(1);
        if (index % 3 == 0) {
            service->cancel(owner.caller, id);
        } else if (std::string installing = claim(receiver); index % 3 == 1) {
            service->fail(receiver.caller, id, installing,
                          JSON::object({{"error", "Install failed"}}));
        } else {
            service->finish(receiver.caller, id, installing);
        }
        return Ended{id, sha};
    };
    std::vector<Ended> ended = {run(0)};
    std::int64_t size = countedEndedBytes(*store, owner.group);
    ASSERT_EQ(size, heldEndedBytes(*store, owner.group));
    // Room for three such jobs (a failed one holds a few bytes more), never four.
    policy.endedJobBytesPerGroup = static_cast<std::uint64_t>(3 * size + size / 4);
    reopen();
    {
        // A build of the first job that a crash left behind.
        std::ofstream(artifacts->path(ended[0].id, ended[0].sha)) << "build";
    }
    std::string waiting = submit(owner, idle, owner);

    auto expectKept = [&](const std::vector<std::string>& order, std::size_t kept) {
        for (std::size_t index = 0; index < order.size(); ++index) {
            SCOPED_TRACE("job " + std::to_string(index) + " to end");
            if (index + kept < order.size()) {
                EXPECT_REFUSED(service->job(owner.caller, order[index]), 404, "Job not found");
                EXPECT_EQ(storedEvents(*store, order[index]), 0);
            } else {
                EXPECT_NO_THROW(service->job(owner.caller, order[index]));
            }
        }
        std::int64_t counted = countedEndedBytes(*store, owner.group);
        EXPECT_EQ(counted, heldEndedBytes(*store, owner.group));
        EXPECT_LE(static_cast<std::uint64_t>(counted), policy.endedJobBytesPerGroup);
    };
    std::vector<std::string> order = {ended[0].id};
    for (int index = 1; index < 8; ++index) {
        SCOPED_TRACE("after job " + std::to_string(index));
        ended.push_back(run(index));
        order.push_back(ended.back().id);
        expectKept(order, 3);
        EXPECT_EQ(storedFiles().size(), index < 3 ? 1u : 0u) << "the first job's left build";
    }
    // Submitted before all of them, the waiting job ends last: it is kept, and the next to
    // go are the jobs that ended before it.
    clock.advance(1);
    service->cancel(owner.caller, waiting);
    order.push_back(waiting);
    expectKept(order, 3);
    order.push_back(run(8).id);
    expectKept(order, 3);
    EXPECT_EQ(state(owner, waiting), "cancelled");

    for (const auto& id : others) {
        EXPECT_EQ(state(other, id), "cancelled") << "another group keeps its jobs";
    }
    EXPECT_EQ(countedEndedBytes(*store, other.group), heldEndedBytes(*store, other.group));
    EXPECT_TRUE(storedFiles().empty());
}

TEST_F(PolicyTest, TheCountOfEndedJobsFollowsRetentionAndReopening) {
    policy.retentionSeconds = 10 * 86400.0;
    reopen();
    Member owner = createGroup();
    auto cancelled = [&] {
        std::string id = submit(owner, owner, owner);
        clock.advance(1);
        service->cancel(owner.caller, id);
        return id;
    };
    std::string old = cancelled();
    std::int64_t size = countedEndedBytes(*store, owner.group);
    ASSERT_GT(size, 0);
    policy.endedJobBytesPerGroup = static_cast<std::uint64_t>(3 * size + size / 2);
    reopen();

    clock.advance(6 * 86400.0);
    std::string a = cancelled();
    std::string b = cancelled();
    EXPECT_EQ(countedEndedBytes(*store, owner.group), 3 * size);
    clock.advance(4 * 86400.0 - 2);
    EXPECT_EQ(service->forgetEndedJobs(), 1u);
    EXPECT_REFUSED(service->job(owner.caller, old), 404, "Job not found");
    EXPECT_EQ(countedEndedBytes(*store, owner.group), 2 * size);
    reopen();
    EXPECT_EQ(countedEndedBytes(*store, owner.group), 2 * size);

    // With what retention deleted no longer counted, a third job fits beside the two.
    std::string c = cancelled();
    for (const auto& id : {a, b, c}) {
        EXPECT_EQ(state(owner, id), "cancelled");
    }
    std::string d = cancelled();
    EXPECT_REFUSED(service->job(owner.caller, a), 404, "Job not found");
    for (const auto& id : {b, c, d}) {
        EXPECT_EQ(state(owner, id), "cancelled");
    }
    EXPECT_EQ(countedEndedBytes(*store, owner.group), 3 * size);
    EXPECT_EQ(countedEndedBytes(*store, owner.group), heldEndedBytes(*store, owner.group));
}

TEST_F(PolicyTest, AJobLargerThanTheEndedQuotaIsRefusedOrKeptAlone) {
    Member owner = createGroup();
    std::string first = submit(owner, owner, owner);
    service->cancel(owner.caller, first);
    std::int64_t size = countedEndedBytes(*store, owner.group);

    // A submission that could never be kept once ended is refused, and leaves nothing.
    policy.endedJobBytesPerGroup = static_cast<std::uint64_t>(size / 2);
    reopen();
    EXPECT_REFUSED(submit(owner, owner, owner), 429,
                   endedQuotaSentence(policy.endedJobBytesPerGroup));
    EXPECT_EQ(service->jobs(owner.caller)["jobs"].items().size(), 1u);

    // One that passes the quota only with its error is kept when it fails, alone.
    policy.endedJobBytesPerGroup = static_cast<std::uint64_t>(size + 100);
    reopen();
    std::string failing = submit(owner, owner, owner);
    std::string lease = claim(owner);
    JSON failed = service->fail(owner.caller, failing, lease,
                                JSON::object({{"error", std::string(2000, 'x')}}));
    EXPECT_EQ(failed["state"].text(), "failed");
    EXPECT_EQ(service->job(owner.caller, failing)["error"].text(), std::string(2000, 'x'));
    EXPECT_REFUSED(service->job(owner.caller, first), 404, "Job not found");
    EXPECT_GT(static_cast<std::uint64_t>(countedEndedBytes(*store, owner.group)),
              policy.endedJobBytesPerGroup);
    // The next job to end is the one kept.
    std::string last = submit(owner, owner, owner);
    service->cancel(owner.caller, last);
    EXPECT_REFUSED(service->job(owner.caller, failing), 404, "Job not found");
    EXPECT_EQ(state(owner, last), "cancelled");
    EXPECT_EQ(countedEndedBytes(*store, owner.group), size);
}

TEST_F(PolicyTest, ADatabaseFromBeforeTheEndedCountGetsItCounted) {
    if (testDatabase) {
        GTEST_SKIP() << "SQLite's earlier schemas; the cluster's starts with the count";
    }
    Member owner = createGroup("Team", "Owner");
    Member receiver = join(owner, "Receiver");
    Member other = createGroup("Other", "Elsewhere");
    std::string succeeded = submit(owner, owner, receiver);
    std::string lease = claim(owner);
    upload(owner, succeeded, lease, "build");
    service->finishBuild(owner.caller, succeeded, lease,
                         JSON::object({{"manifest", JSON::object({{"bundle_id", "com.a"}})}}));
    service->finish(receiver.caller, succeeded, claim(receiver));
    std::string failed = submit(owner, owner, receiver);
    service->fail(owner.caller, failed, claim(owner), JSON::object({{"error", "No signing"}}));
    submit(owner, receiver, owner); // unfinished: not counted
    service->cancel(other.caller, submit(other, other, other));
    std::int64_t ownerBytes = countedEndedBytes(*store, owner.group);
    std::int64_t otherBytes = countedEndedBytes(*store, other.group);
    EXPECT_EQ(ownerBytes, heldEndedBytes(*store, owner.group));
    EXPECT_EQ(otherBytes, heldEndedBytes(*store, other.group));
    EXPECT_GT(ownerBytes, 2 * otherBytes);

    // As the relay before the count left the database.
    service.reset();
    artifacts.reset();
    store.reset();
    {
        ZUQRelay::Database file(directory / "relay.sqlite3");
        file.execute("ALTER TABLE groups DROP COLUMN ended_job_bytes; "
                     "DROP INDEX jobs_by_group_age; PRAGMA user_version = 2");
    }
    reopen();
    EXPECT_EQ(countedEndedBytes(*store, owner.group), ownerBytes);
    EXPECT_EQ(countedEndedBytes(*store, other.group), otherBytes);
    EXPECT_EQ(store->read([](ZUQRelay::SQL::Connection& connection) {
        return dynamic_cast<ZUQRelay::Database&>(connection).pragma("user_version");
    }),
              ZUQRelay::currentSchemaVersion());
}

// The same rules through a real relay, with the options that set them.
class RelayPolicyTest : public RelayTest {};

TEST_F(RelayPolicyTest, QuotasTravelAsClearRefusalsAndHeartbeatsStayAnswered) {
    startRelay({"--max-open-jobs-per-group", "1", "--max-stored-bytes-per-group", "100"});
    Mac owner = createGroup();
    std::string jobID = submit(owner, owner, owner);
    Reply refused = submitJob(owner, owner, owner);
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.error(), "This group has 1 unfinished jobs, as many as the relay allows. "
                               "Wait for some to end or cancel some.");

    std::string lease = claim(owner, jobID);
    Reply tooLarge = uploadFile(owner, jobID, lease, makeFile("big.ipa", 101));
    EXPECT_EQ(tooLarge.status, 413);
    EXPECT_EQ(tooLarge.error(), "This group's builds on the relay would pass its quota of 100 "
                                "bytes. Wait for some jobs to end or cancel some.");
    EXPECT_EQ(uploadFile(owner, jobID, lease, makeFile("small.ipa", 100)).status, 200);

    JSON::Array phones;
    for (int index = 0; index < 80; ++index) {
        phones.push_back(phone("U" + std::to_string(index), "17.0", 1000));
    }
    Reply beat = client().request(
        "POST", "/v1/heartbeat",
        JSON::object({{"inventory", JSON::object({{"phones", JSON(phones)}})},
                      {"leases", JSON::array({JSON::object({{"id", jobID}, {"token", lease}})})}}),
        {owner.authorization()});
    EXPECT_EQ(beat.status, 200) << beat.body;
    EXPECT_EQ(beat.json(),
              JSON::object(
                  {{"jobs", JSON::array({JSON::object({{"id", jobID}, {"state", "building"}})})}}));
    Reply group = client().request("GET", "/v1/group", std::nullopt, {owner.authorization()});
    JSON kept = group.json()["devices"].items()[0]["inventory"];
    EXPECT_EQ(kept["phones"].items().size(), 64u);
    EXPECT_LT(kept.data().size(), 256u * 1024);
}

TEST_F(RelayPolicyTest, TheEndedJobQuotaIsTheOptionsAndRefusesWhatCouldNeverBeKept) {
    startRelay({"--max-ended-job-bytes", "100"});
    Mac owner = createGroup();
    Reply refused = submitJob(owner, owner, owner);
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(refused.json()["reason"].text(), "too_many");
    EXPECT_EQ(refused.error(), endedQuotaSentence(100));
}

} // namespace
