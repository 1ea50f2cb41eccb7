// Moving a relay's data from SQLite into PostgreSQL with zuq-relay --import-sqlite.
#include "Database.hpp"
#include "ServiceFixture.hpp"

#include <map>

namespace {

using namespace ZUQRelayTests;
using ZUQRelay::Store;

class ImportTest : public ServiceTest {
protected:
    TestSupport::Output import(const std::string& url) {
        return TestSupport::run(
            TestSupport::binaryDirectory() / "zuq-relay",
            {"--data", directory.string(), "--database", url, "--import-sqlite"});
    }
};

TEST_F(ImportTest, EveryRowMovesAndTheRelayCarriesOnWhereSQLiteLeftOff) {
    if (onPostgreSQL() || testCluster().empty()) {
        GTEST_SKIP() << (onPostgreSQL() ? "imports from SQLite: runs with the SQLite tests"
                                        : noCluster);
    }
    Member owner = createGroup("Studio", "Builder");
    Member receiver = join(owner, "Receiver");
    Member gone = join(owner, "Old Mac");
    service->revoke(owner.caller, gone.device);
    std::string code = service->createInvite(owner.caller)["code"].text();
    JSON phone = JSON::object({{"udid", "00008110-000A"}, {"os", "18.1"}});
    service->heartbeat(
        receiver.caller,
        JSON::object({{"inventory", JSON::object({{"phones", JSON::array({phone})}})},
                      {"leases", JSON::array()}}));
    std::string ended = submit(owner, owner, receiver);
    service->cancel(owner.caller, ended);
    std::string open = submit(owner, owner, receiver);
    std::string lease = claim(owner);
    service->addEvent(owner.caller, open, lease, JSON::object({{"message", "Archiving"}}));
    JSON jobs = service->jobs(owner.caller);
    JSON events = service->events(owner.caller, open, 0);
    service->sweep(true);
    service.reset();
    store.reset();
    {
        // A name an older relay kept with a NUL in it, which PostgreSQL cannot hold.
        ZUQRelay::Database database(directory / "relay.sqlite3");
        database.run("UPDATE devices SET name = ? WHERE id = ?", std::string("Old\0Mac", 7),
                     gone.device);
    }

    TestDatabase target;
    TestSupport::Output output = import(target.url());
    ASSERT_EQ(output.status, 0) << output.err;
    JSON answer = JSON::decode(output.out);
    EXPECT_EQ(answer["imported"], JSON::object({{"groups", 1},
                                                {"devices", 3},
                                                {"invites", 3},
                                                {"jobs", 2},
                                                {"leases", 1},
                                                {"events", 1}}));
    EXPECT_EQ(answer["builds"].text(), (directory / "artifacts").string());

    store = std::make_unique<Store>(target.url(), 4);
    service = std::make_unique<ZUQRelay::Service>(*store, *artifacts, clock, policy);
    EXPECT_EQ(service->authenticate(owner.authorization()).groupID, owner.group);
    EXPECT_REFUSED(service->authenticate(gone.authorization()), 401, "revoked device credential");
    EXPECT_EQ(service->jobs(owner.caller), jobs);
    EXPECT_EQ(service->events(owner.caller, open, 0), events);
    JSON group = JSON::decode(service->groupText(owner.caller));
    std::map<std::string, JSON> devices;
    for (const JSON& device : group["devices"].items()) {
        devices[device["id"].text()] = device;
    }
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[receiver.device]["inventory"]["phones"].items(), JSON::Array({phone}));
    EXPECT_EQ(devices[gone.device]["name"].text(), "Old\xEF\xBF\xBDMac");
    EXPECT_TRUE(devices[gone.device]["revoked"].flag());
    // The lease, the open invite and the numbering carry on.
    JSON beat = service->heartbeat(
        owner.caller,
        JSON::object({{"inventory", JSON::object()},
                      {"leases", JSON::array({JSON::object({{"id", open}, {"token", lease}})})}}));
    EXPECT_EQ(beat["jobs"], JSON::array({JSON::object({{"id", open}, {"state", "building"}})}));
    EXPECT_NO_THROW(service->join(JSON::object({{"code", code}, {"device_name", "New Mac"}})));
    std::string next = submit(owner, owner, receiver);
    EXPECT_EQ(service->jobs(owner.caller)["jobs"].items().front()["id"].text(), next);
    JSON event =
        service->addEvent(owner.caller, open, lease, JSON::object({{"message", "Signing"}}));
    EXPECT_GT(event["id"].number(), events["events"].items().front()["id"].number());

    // Into a database that holds groups nothing is copied.
    TestSupport::Output again = import(target.url());
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already holds groups. Import only into a new, empty database."),
              std::string::npos)
        << again.err;
    EXPECT_EQ(service->jobs(owner.caller)["jobs"].items().size(), 3u);
}

TEST_F(ImportTest, ADataDirectoryWithoutADatabaseIsNamed) {
    if (onPostgreSQL()) {
        GTEST_SKIP() << "imports from SQLite: runs with the SQLite tests";
    }
    service.reset();
    store.reset();
    std::filesystem::path empty = directory / "empty";
    std::filesystem::create_directories(empty);
    TestSupport::Output output =
        TestSupport::run(TestSupport::binaryDirectory() / "zuq-relay",
                         {"--data", empty.string(), "--database",
                          "postgresql://nobody@127.0.0.1:1/none", "--import-sqlite"});
    EXPECT_EQ(output.status, 1);
    EXPECT_EQ(JSON::decode(output.err)["error"].text(),
              "No relay database to import at " + (empty / "relay.sqlite3").string());
}

} // namespace
