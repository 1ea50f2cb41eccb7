// What each Mac of a group contributes, as the others see it: projects registered on a
// builder and phones attached to a receiver, reported to a real relay the way an agent reports
// them, and listed group-wide. Each Mac is a HOME with its own simulated tools' world.
#include "API.hpp"
#include "AppleSim.hpp"
#include "RelayError.hpp"
#include "RelayProcess.hpp"
#include "Support.hpp"
#include "Worker.hpp"

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::Output;

namespace {

class Inventory : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        relay = std::make_unique<TestSupport::RelayProcess>(directory / "relay");
    }

    std::map<std::string, std::string> environment(const std::string& mac) const {
        return {{"HOME", (directory / mac).string()},
                {"ZUQ_STATE_DIR", (directory / mac / "state").string()},
                {"ZUQ_TOOLS_DIR", TestSupport::appleTools().string()}};
    }

    JSON ok(const std::string& mac, const std::vector<std::string>& arguments) {
        Output output =
            TestSupport::run(TestSupport::binaryDirectory() / "zuq", arguments, environment(mac));
        EXPECT_EQ(output.status, 0) << mac << " " << arguments[0] << ": " << output.err;
        return output.status == 0 ? JSON::decode(output.out) : JSON();
    }

    void appleSim(const std::string& mac, const std::vector<std::string>& arguments) {
        Output output = TestSupport::run(TestSupport::binaryDirectory() / "apple-sim", arguments,
                                         environment(mac));
        EXPECT_EQ(output.status, 0) << output.err;
    }

    Credentials credentials(const std::string& mac) {
        TestSupport::ScopedEnvironment macHome("HOME", (directory / mac).string());
        return CredentialStore::require();
    }

    // Reports the Mac's local lists as its agent's heartbeat does.
    void report(const std::string& mac) {
        JSON inventory = JSON::object({{"projects", ok(mac, {"projects", "list", "--local"})},
                                       {"phones", ok(mac, {"devices", "--local"})}});
        API(credentials(mac)).heartbeat(inventory, {});
    }

    std::unique_ptr<TestSupport::RelayProcess> relay;
};

TEST_F(Inventory, EveryMacSeesWhatTheOthersReportedExceptRevokedMacs) {
    TestSupport::writeFile(directory / "bootstrap", relay->bootstrapSecret());
    ok("builder", {"group", "create", "--server", relay->url(), "--bootstrap-file",
                   (directory / "bootstrap").string(), "--device-name", "Build Mac"});
    for (const std::string mac : {"receiver", "spare"}) {
        TestSupport::writeFile(directory / "invite.json",
                               ok("builder", {"group", "invite"}).pretty());
        ok(mac, {"group", "join", "--invite-file", (directory / "invite.json").string(),
                 "--device-name", mac});
    }

    JSON project = ok("builder", {"projects", "add",
                                  (TestSupport::sampleApp() / "SampleApp.xcworkspace").string()});
    appleSim("receiver",
             {"attach-phone", "--udid", "00008130-0011223344556677", "--name", "Test iPhone"});
    appleSim("spare", {"attach-phone", "--udid", "00008130-0000000000000002"});
    report("builder");
    report("receiver");
    report("spare");

    // Every Mac in the relay's order; one that registered nothing reports an empty list.
    JSON projects = ok("receiver", {"projects", "list"});
    ASSERT_EQ(projects.items().size(), 3u) << projects.pretty();
    EXPECT_EQ(projects.items()[0], JSON::object({{"mac_id", credentials("builder").deviceID},
                                                 {"mac_name", "Build Mac"},
                                                 {"online", true},
                                                 {"projects", JSON::array({project})}}));
    EXPECT_EQ(projects.items()[1]["projects"], JSON::array());

    EXPECT_EQ(projects.items()[2]["mac_name"], JSON("spare"));

    ok("builder", {"group", "revoke", credentials("spare").deviceID});
    JSON phones = ok("builder", {"devices"});
    ASSERT_EQ(phones.items().size(), 2u) << phones.pretty();
    EXPECT_EQ(phones.items()[0]["phones"], JSON::array());
    EXPECT_EQ(phones.items()[1]["mac_name"], JSON("receiver"));
    EXPECT_EQ(phones.items()[1]["phones"], ok("receiver", {"devices", "--local"}));
    EXPECT_EQ(phones.items()[1]["phones"].items().at(0)["udid"], JSON("00008130-0011223344556677"));
    EXPECT_EQ(ok("receiver", {"projects", "list"}).items().size(), 2u);
}

TEST_F(Inventory, AMacThatNeverReportedIsListedWithoutAnInventory) {
    TestSupport::writeFile(directory / "bootstrap", relay->bootstrapSecret());
    ok("builder", {"group", "create", "--server", relay->url(), "--bootstrap-file",
                   (directory / "bootstrap").string()});
    JSON phones = ok("builder", {"devices"});
    ASSERT_EQ(phones.items().size(), 1u);
    EXPECT_EQ(phones.items()[0]["online"], JSON(false));
    EXPECT_EQ(phones.items()[0].fields().count("phones"), 1u);
    EXPECT_TRUE(phones.items()[0]["phones"].isNull());
}

TEST_F(Inventory, AMacWithProjectsByTheThousandStillReportsItsPhones) {
    TestSupport::writeFile(directory / "bootstrap", relay->bootstrapSecret());
    ok("builder", {"group", "create", "--server", relay->url(), "--bootstrap-file",
                   (directory / "bootstrap").string()});
    JSON::Array projects;
    for (int index = 0; index < 5000; ++index) {
        std::string name = "App" + std::to_string(index);
        projects.push_back(JSON::object({{"name", name},
                                         {"path", "/Users/dev/Code/" + name + "/" + name +
                                                      ".xcworkspace"},
                                         {"schemes", JSON::strings({name, name + "Tests"})}}));
    }
    JSON::Array phones = {JSON::object({{"udid", "00008130-0011223344556677"}, {"os", "18.1"}}),
                          JSON::object({{"udid", "00008130-0000000000000002"}, {"os", "17.6"}})};
    API api(credentials("builder"));
    JSON whole = JSON::object({{"projects", JSON(projects)}, {"phones", JSON(phones)}});
    try {
        api.heartbeat(whole, {});
        ADD_FAILURE() << "an inventory of " << whole.data().size() << " bytes was taken";
    } catch (const RelayError& error) {
        EXPECT_EQ(error.status(), 413) << error.what();
    }

    api.heartbeat(Worker::fittedInventory(projects, phones, {{"platform", "macOS"}}), {});
    JSON listed = ok("builder", {"devices"});
    ASSERT_EQ(listed.items().size(), 1u);
    EXPECT_EQ(listed.items()[0]["phones"], JSON(phones));
    std::size_t kept = ok("builder", {"projects", "list"}).items()[0]["projects"].items().size();
    EXPECT_GT(kept, 100u);
    EXPECT_LT(kept, 5000u);
}

} // namespace
