// The device inventory: phone records from the device tool's documents in both of its forms,
// and the listing run around the tool.
#include "AppleSim.hpp"
#include "Devices.hpp"
#include "Support.hpp"

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using TestSupport::failure;

namespace {

constexpr const char* unavailable = "The selected iPhone/iPad is unavailable. Connect it, trust "
                                    "this Mac, enable Developer Mode, and unlock it.";

// One device as the tool prints it today: hardware, device and connection properties side by
// side. `hardware`, `device` and `connection` are spliced into those objects.
std::string flat(const std::string& hardware, const std::string& device = "",
                 const std::string& connection = "") {
    return R"({"identifier": "CORE-1", "capabilities": [], "hardwareProperties": {)" + hardware +
           R"(}, "deviceProperties": {)" + device + R"(}, "connectionProperties": {)" + connection +
           "}}";
}

// One device in the two-level form, where everything sits under "properties".
std::string nested(const std::string& hardware, const std::string& state = "",
                   const std::string& connection = "", const std::string& software = "") {
    return R"({"identifier": "CORE-2", "properties": {"hardware": {)" + hardware +
           R"(}, "state": {)" + state + R"(}, "connection": {)" + connection +
           R"(}, "software": {)" + software + "}}}";
}

const std::string iPhone =
    R"("udid": "00008110-000A1B2C3D4E5F60", "reality": "physical", "deviceType": "iPhone",)"
    R"( "marketingName": "iPhone 15 Pro", "productType": "iPhone16,1")";
const std::string iPad = R"("udid": "00008027-0011223344556677", "reality": "physical",)"
                         R"( "deviceType": "iPad", "productType": "iPad13,4")";
const std::string ready = R"("name": "Ann's iPhone", "osVersionNumber": "18.1",)"
                          R"( "developerModeStatus": "enabled")";
const std::string wired = R"("transportType": "wired", "tunnelState": "connected")";

JSON phone(const std::string& udid, JSON coreID, std::string name, JSON model, JSON productType,
           std::string os, std::string state, bool developerMode, bool available,
           std::string transport) {
    return JSON::object({
        {"udid", udid},
        {"core_id", std::move(coreID)},
        {"name", std::move(name)},
        {"model", std::move(model)},
        {"product_type", std::move(productType)},
        {"os", std::move(os)},
        {"state", std::move(state)},
        {"developer_mode", developerMode},
        {"available", available},
        {"transport", std::move(transport)},
    });
}

std::vector<JSON> parse(const std::string& devices) {
    return Devices::parse(JSON::decode(
        R"({"info": {"outcome": "success"}, "result": {"devices": [)" + devices + "]}}"));
}

TEST(DevicesParse, FlatForm) {
    struct Case {
        const char* what;
        std::string device;
        std::optional<JSON> record; // nothing: the device is not listed
    };
    const JSON ann = phone("00008110-000A1B2C3D4E5F60", "CORE-1", "Ann's iPhone", "iPhone 15 Pro",
                           "iPhone16,1", "18.1", "connected", true, true, "wired");
    auto with = [&](std::initializer_list<std::pair<const char*, JSON>> changes) {
        JSON::Object members = ann.fields();
        for (const auto& [key, value] : changes) {
            members[key] = value;
        }
        return JSON(std::move(members));
    };
    const Case cases[] = {
        {"a ready iPhone", flat(iPhone, ready, wired), ann},
        {"an iPad without a model name",
         flat(iPad, ready, R"("transportType": "localNetwork", "tunnelState": "available")"),
         phone("00008027-0011223344556677", "CORE-1", "Ann's iPhone", nullptr, "iPad13,4", "18.1",
               "available", true, true, "localNetwork")},
        {"developer mode off", flat(iPhone, R"("developerModeStatus": "disabled")", wired),
         with({{"name", ""}, {"os", ""}, {"developer_mode", false}, {"available", false}})},
        {"developer mode in other letters",
         flat(iPhone, R"("developerModeStatus": "Enabled")", wired),
         with({{"name", ""}, {"os", ""}, {"developer_mode", false}, {"available", false}})},
        {"tunnel disconnected",
         flat(iPhone, ready, R"("transportType": "wired", "tunnelState": "disconnected")"),
         with({{"state", "disconnected"}, {"available", false}})},
        {"tunnel unavailable", flat(iPhone, ready, R"("tunnelState": "unavailable")"),
         with({{"state", "unavailable"}, {"available", false}, {"transport", ""}})},
        {"no connection at all", flat(iPhone, ready),
         with({{"state", ""}, {"available", false}, {"transport", ""}})},
        {"texts of other kinds count as missing",
         flat(iPhone, R"("name": 7, "osVersionNumber": 18, "developerModeStatus": true)",
              R"("tunnelState": true)"),
         with({{"name", ""},
               {"os", ""},
               {"state", ""},
               {"developer_mode", false},
               {"available", false},
               {"transport", ""}})},
        {"a simulator",
         flat(R"("udid": "S", "reality": "simulated", "deviceType": "iPhone")", ready, wired),
         std::nullopt},
        {"a watch",
         flat(R"("udid": "W", "reality": "physical", "deviceType": "appleWatch")", ready, wired),
         std::nullopt},
        {"a TV",
         flat(R"("udid": "T", "reality": "physical", "deviceType": "appleTV")", ready, wired),
         std::nullopt},
        {"a device type in other letters",
         flat(R"("udid": "L", "reality": "physical", "deviceType": "iphone")", ready, wired),
         std::nullopt},
        {"no udid", flat(R"("reality": "physical", "deviceType": "iPhone")", ready, wired),
         std::nullopt},
        {"an empty udid",
         flat(R"("udid": "", "reality": "physical", "deviceType": "iPhone")", ready, wired),
         std::nullopt},
        {"a udid that is not text",
         flat(R"("udid": 8110, "reality": "physical", "deviceType": "iPhone")", ready, wired),
         std::nullopt},
        {"not an object", "\"00008110-000A1B2C3D4E5F60\"", std::nullopt},
    };
    for (const auto& c : cases) {
        std::vector<JSON> records = parse(c.device);
        if (!c.record) {
            EXPECT_TRUE(records.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(records.size(), 1u) << c.what;
        EXPECT_EQ(records[0], *c.record) << c.what << "\n" << records[0].pretty();
    }
}

TEST(DevicesParse, TwoLevelForm) {
    const std::string connected = R"("state": "connected", "transportType": "wired")";
    const std::string os = R"("osVersionNumber": {"stringValue": "17.5.1"})";
    struct Case {
        const char* what;
        std::string device;
        bool developerMode;
        std::string state;
    };
    const Case cases[] = {
        {"enabled as an empty object",
         nested(iPhone, R"("name": "Bo", "developerModeStatus": {"enabled": {}})", connected, os),
         true, "connected"},
        // The member's presence is the signal, whatever it holds.
        {"enabled holding text",
         nested(iPhone, R"("name": "Bo", "developerModeStatus": {"enabled": "x"})", connected, os),
         true, "connected"},
        {"disabled",
         nested(iPhone, R"("name": "Bo", "developerModeStatus": {"disabled": {}})", connected, os),
         false, "connected"},
        {"enabled null falls back to nothing",
         nested(iPhone, R"("name": "Bo", "developerModeStatus": {"enabled": null})", connected, os),
         false, "connected"},
        {"not paired",
         nested(iPhone, R"("name": "Bo", "developerModeStatus": {"enabled": {}})",
                R"("state": "unpaired", "transportType": "wired")", os),
         true, "unpaired"},
    };
    for (const auto& c : cases) {
        std::vector<JSON> records = parse(c.device);
        ASSERT_EQ(records.size(), 1u) << c.what;
        EXPECT_EQ(records[0], phone("00008110-000A1B2C3D4E5F60", "CORE-2", "Bo", "iPhone 15 Pro",
                                    "iPhone16,1", "17.5.1", c.state, c.developerMode,
                                    c.developerMode && c.state == "connected", "wired"))
            << c.what << "\n"
            << records[0].pretty();
    }

    // Where the nested form lacks a member, the flat members beside it are read instead.
    std::vector<JSON> mixed = parse(
        R"({"identifier": 5, "properties": {"hardware": null, "state": {"developerModeStatus": {}}},
            "hardwareProperties": {)" +
        iPhone + R"(},
            "deviceProperties": {"name": "Flat", "osVersionNumber": "18.0",
                                 "developerModeStatus": "enabled"},
            "connectionProperties": {"tunnelState": "available", "transportType": "network"}})");
    ASSERT_EQ(mixed.size(), 1u);
    EXPECT_EQ(mixed[0], phone("00008110-000A1B2C3D4E5F60", 5, "Flat", "iPhone 15 Pro", "iPhone16,1",
                              "18.0", "available", true, true, "network"));

    // Hardware in the nested place decides whether the device is listed at all.
    EXPECT_TRUE(parse(R"({"properties": {"hardware": {"udid": "W", "reality": "physical",
                          "deviceType": "appleWatch"}}, "hardwareProperties": {)" +
                      iPhone + "}}")
                    .empty());
}

TEST(DevicesParse, DocumentsWithoutADeviceList) {
    for (const char* document :
         {R"({})", R"({"result": {}})", R"({"result": {"devices": {}}})", R"({"result": null})",
          R"([])", R"("devices")", R"({"info": {"outcome": "failed"}})"}) {
        EXPECT_TRUE(Devices::parse(JSON::decode(document)).empty()) << document;
    }
    // Order follows the tool's list; unusable entries drop out in between.
    std::vector<JSON> records = parse(flat(iPad, ready, wired) + "," + flat(R"("udid": "S")") +
                                      "," + flat(iPhone, ready, wired));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["udid"].text(), "00008027-0011223344556677");
    EXPECT_EQ(records[1]["udid"].text(), "00008110-000A1B2C3D4E5F60");
}

// The listing around a stand-in device tool: it writes what a test tells it to into the file
// it is given, so that what zuq does with the file in every outcome can be seen.
class DevicesListTest : public TestSupport::TemporaryDirectoryTest {
protected:
    void SetUp() override {
        TemporaryDirectoryTest::SetUp();
        tools = directory / "tools";
        fs::create_directories(tools);
        environment =
            std::make_unique<TestSupport::ScopedEnvironment>("ZUQ_TOOLS_DIR", tools.string());
    }

    void TearDown() override {
        environment.reset();
        TemporaryDirectoryTest::TearDown();
    }

    // An xcrun that records its arguments, writes `content` to the output file it was given
    // (nothing when empty) and exits with `status`.
    void tool(const std::string& content, int status) {
        TestSupport::writeFile(directory / "content", content);
        fs::path script = tools / "xcrun";
        TestSupport::writeFile(script, "#!/bin/sh\n"
                                       "printf '%s\\n' \"$@\" > '" +
                                           (directory / "arguments").string() +
                                           "'\n"
                                           "for last; do :; done\n"
                                           "[ -s '" +
                                           (directory / "content").string() + "' ] && cat '" +
                                           (directory / "content").string() +
                                           "' > \"$last\"\n"
                                           "echo 'device tool says no' >&2\n"
                                           "exit " +
                                           std::to_string(status) + "\n");
        fs::permissions(script, fs::perms::owner_all);
    }

    std::vector<std::string> arguments() {
        std::vector<std::string> lines;
        std::string text = TestSupport::readFile(directory / "arguments");
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }

    bool temporaryIsEmpty() { return fs::is_empty(temporary); }

    fs::path tools;
    std::unique_ptr<TestSupport::ScopedEnvironment> environment;
};

TEST_F(DevicesListTest, RunsTheToolIntoATemporaryFileAndRemovesIt) {
    tool(R"({"result": {"devices": [)" + flat(iPhone, ready, wired) + "," +
             flat(iPad, R"("developerModeStatus": "disabled")", wired) + "]}}",
         0);
    std::vector<JSON> phones = Devices::list();
    ASSERT_EQ(phones.size(), 2u);
    EXPECT_EQ(phones[0]["name"].text(), "Ann's iPhone");

    std::vector<std::string> called = arguments();
    ASSERT_EQ(called.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(called.begin(), called.begin() + 6),
              (std::vector<std::string>{"devicectl", "list", "devices", "--timeout", "20",
                                        "--json-output"}));
    fs::path output = called[6];
    EXPECT_EQ(output.parent_path(), temporary);
    std::string name = output.filename().string();
    EXPECT_TRUE(name.starts_with("zuq-devices-") && name.ends_with(".json")) << name;
    EXPECT_EQ(name.size(), std::string("zuq-devices-.json").size() + 36) << name;
    EXPECT_TRUE(temporaryIsEmpty());

    EXPECT_EQ(Devices::require("00008110-000A1B2C3D4E5F60")["core_id"], JSON("CORE-1"));
    EXPECT_EQ(failure([] { Devices::require("00008027-0011223344556677"); }), unavailable)
        << "listed, but developer mode is off";
    EXPECT_EQ(failure([] { Devices::require("00008110-000a1b2c3d4e5f60"); }), unavailable)
        << "udids compare exactly";
    EXPECT_EQ(failure([] { Devices::require(""); }), unavailable);
    EXPECT_NE(arguments()[6], output.string()) << "every call has its own file";
    EXPECT_TRUE(temporaryIsEmpty());
}

TEST_F(DevicesListTest, FailuresLeaveNoFileBehind) {
    struct Case {
        std::string content;
        int status;
        std::string error;
    };
    const Case cases[] = {
        {R"({"result": {"devices": []}})", 1, "xcrun failed (1): device tool says no\n"},
        {"not json", 0, "[json.exception.parse_error.101]"},
        {"", 0, "Cannot open " + temporary.string() + "/zuq-devices-"},
    };
    for (const auto& c : cases) {
        tool(c.content, c.status);
        EXPECT_TRUE(failure([] { Devices::list(); }).starts_with(c.error))
            << failure([] { Devices::list(); });
        EXPECT_TRUE(failure([] { Devices::require("x"); }).starts_with(c.error));
        EXPECT_TRUE(temporaryIsEmpty());
    }
    tool(R"({"info": {}})", 0);
    EXPECT_TRUE(Devices::list().empty());
    EXPECT_EQ(failure([] { Devices::require("x"); }), unavailable);
}

// The simulated Mac's own device tool, with devices plugged in by the simulator.
using DevicesOnASimulatedMac = TestSupport::SimulatedMacTest;

TEST_F(DevicesOnASimulatedMac, ListsUsablePhonesInBothFormsAndTellsWhichCanTakeAnInstall) {
    EXPECT_TRUE(Devices::list().empty()) << "nothing attached";
    struct Case {
        std::vector<std::string> attach;
        bool listed;
        bool available;
    };
    const Case cases[] = {
        {{"--udid", "00008130-0000000000000001", "--name", "Flat iPhone", "--os", "18.1"},
         true,
         true},
        {{"--udid", "00008130-0000000000000002", "--type", "iPad", "--form", "nested"}, true, true},
        {{"--udid", "00008130-0000000000000003", "--form", "nested", "--developer-mode", "off"},
         true,
         false},
        {{"--udid", "00008130-0000000000000004", "--developer-mode", "off"}, true, false},
        {{"--udid", "00008130-0000000000000005", "--tunnel", "unavailable"}, true, false},
        {{"--udid", "00008130-0000000000000006", "--tunnel", "disconnected", "--form", "nested"},
         true,
         false},
        {{"--udid", "00008130-0000000000000007", "--tunnel", "available"}, true, true},
        {{"--udid", "00008130-0000000000000008", "--model", "iPhone99,9"}, true, true},
        {{"--udid", "00008130-0000000000000009", "--type", "watch"}, false, false},
        {{"--udid", "00008130-000000000000000A", "--type", "tv", "--form", "nested"}, false, false},
        {{"--udid", "00008130-000000000000000B", "--simulator"}, false, false},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"attach-phone"};
        arguments.insert(arguments.end(), c.attach.begin(), c.attach.end());
        TestSupport::appleSim(arguments);
        if (c.listed) {
            expected.push_back(c.attach[1]);
        }
    }
    std::vector<JSON> phones = Devices::list();
    std::vector<std::string> listed;
    for (const JSON& phone : phones) {
        listed.push_back(phone["udid"].text());
        EXPECT_EQ(phone.fields().size(), 10u) << phone.pretty();
    }
    EXPECT_EQ(listed, expected);
    ASSERT_FALSE(phones.empty());
    EXPECT_EQ(phones[0]["name"], JSON("Flat iPhone"));
    EXPECT_EQ(phones[0]["os"], JSON("18.1"));
    EXPECT_EQ(phones[0]["transport"], JSON("wired"));
    EXPECT_EQ(phones[0]["core_id"].kind(), JSON::Kind::string);
    for (const JSON& phone : phones) {
        if (phone["udid"] == JSON("00008130-0000000000000008")) {
            EXPECT_TRUE(phone["model"].isNull()) << "a model the tool cannot name";
        }
    }
    EXPECT_TRUE(fs::is_empty(temporary)) << "the tool's file is gone";

    for (const auto& c : cases) {
        const std::string& udid = c.attach[1];
        if (c.available) {
            EXPECT_EQ(Devices::require(udid)["udid"].text(), udid);
        } else {
            EXPECT_EQ(failure([&] { Devices::require(udid); }), unavailable) << udid;
        }
    }
    TestSupport::appleSim({"detach-phone", "00008130-0000000000000001"});
    EXPECT_EQ(failure([] { Devices::require("00008130-0000000000000001"); }), unavailable);
    EXPECT_TRUE(fs::is_empty(temporary));
}

} // namespace
