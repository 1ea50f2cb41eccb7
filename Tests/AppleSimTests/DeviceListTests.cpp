// devicectl's device list, the separation of two simulated Macs, and tools running at once.
#include "SimulatorTest.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

class DeviceListTest : public SimulatorTest {
protected:
    // The list exactly as zuq asks for it.
    json listDevices(const std::map<std::string, std::string>& environment = {}) {
        fs::path output = temporary / ("devices-" + std::to_string(++lists_) + ".json");
        TestSupport::Output result = tool("xcrun",
                                          {"devicectl", "list", "devices", "--timeout", "20",
                                           "--json-output", output.string()},
                                          environment);
        EXPECT_EQ(result.status, 0) << result.err;
        std::ifstream file(output);
        return json::parse(file, nullptr, false);
    }

    int lists_ = 0;
};

// The members a reader of either form finds, looked up the way each form nests them.
struct Seen {
    std::string udid, reality, type, model, name, os, state;
    bool developerMode = false;
};

Seen read(const json& device) {
    auto text = [](const json& value, const std::vector<std::string>& path) {
        const json* at = &value;
        for (const std::string& key : path) {
            if (!at->is_object() || !at->contains(key)) {
                return std::string("<absent>");
            }
            at = &(*at)[key];
        }
        return at->is_string() ? at->get<std::string>() : std::string("<not text>");
    };
    Seen seen;
    if (device.contains("properties")) {
        const json& properties = device["properties"];
        seen.udid = text(properties, {"hardware", "udid"});
        seen.reality = text(properties, {"hardware", "reality"});
        seen.type = text(properties, {"hardware", "deviceType"});
        seen.model = text(properties, {"hardware", "marketingName"});
        seen.name = text(properties, {"state", "name"});
        seen.os = text(properties, {"software", "osVersionNumber", "stringValue"});
        seen.state = text(properties, {"connection", "state"});
        seen.developerMode = properties["state"]["developerModeStatus"].contains("enabled");
    } else {
        seen.udid = text(device, {"hardwareProperties", "udid"});
        seen.reality = text(device, {"hardwareProperties", "reality"});
        seen.type = text(device, {"hardwareProperties", "deviceType"});
        seen.model = text(device, {"hardwareProperties", "marketingName"});
        seen.name = text(device, {"deviceProperties", "name"});
        seen.os = text(device, {"deviceProperties", "osVersionNumber"});
        seen.state = text(device, {"connectionProperties", "tunnelState"});
        seen.developerMode = text(device, {"deviceProperties", "developerModeStatus"}) == "enabled";
    }
    return seen;
}

TEST_F(DeviceListTest, ListsAttachedDevicesInBothForms) {
    struct Case {
        std::vector<std::string> attach;
        Seen expected;
    };
    const Case cases[] = {
        {{"--udid", "00008130-000A1B2C3D4E5F60", "--name", "Ana's iPhone", "--os", "18.1"},
         {"00008130-000A1B2C3D4E5F60", "physical", "iPhone", "iPhone 15 Pro", "Ana's iPhone",
          "18.1", "disconnected", true}},
        {{"--udid", "00008103-001122334455667A", "--name", "Test iPad", "--type", "iPad", "--os",
          "17.4", "--form", "nested", "--developer-mode", "off", "--tunnel", "connected"},
         {"00008103-001122334455667A", "physical", "iPad", "iPad mini (6th generation)",
          "Test iPad", "17.4", "connected", false}},
        {{"--udid", "00008301-0000AAAA0000BBBB", "--name", "Watch", "--type", "watch", "--os",
          "11.1"},
         {"00008301-0000AAAA0000BBBB", "physical", "appleWatch", "Apple Watch Series 9", "Watch",
          "11.1", "disconnected", true}},
        {{"--udid", "SIM-7F3E", "--name", "Simulated iPhone", "--simulator", "--form", "nested"},
         {"SIM-7F3E", "simulated", "iPhone", "iPhone 15 Pro", "Simulated iPhone", "18.1",
          "disconnected", true}},
        {{"--udid", "00008140-0000CCCC0000DDDD", "--name", "Prototype", "--model", "iPhone99,9",
          "--tunnel", "unavailable"},
         {"00008140-0000CCCC0000DDDD", "physical", "iPhone", "<absent>", "Prototype", "18.1",
          "unavailable", true}},
    };
    for (const Case& example : cases) {
        std::vector<std::string> arguments = {"attach-phone"};
        arguments.insert(arguments.end(), example.attach.begin(), example.attach.end());
        control(arguments);
    }
    json document = listDevices();
    ASSERT_TRUE(document["result"]["devices"].is_array()) << document.dump(2);
    const json& devices = document["result"]["devices"];
    ASSERT_EQ(devices.size(), std::size(cases));
    for (std::size_t index = 0; index < devices.size(); ++index) {
        Seen seen = read(devices[index]);
        const Seen& expected = cases[index].expected;
        SCOPED_TRACE(expected.udid);
        EXPECT_EQ(seen.udid, expected.udid);
        EXPECT_EQ(seen.reality, expected.reality);
        EXPECT_EQ(seen.type, expected.type);
        EXPECT_EQ(seen.model, expected.model);
        EXPECT_EQ(seen.name, expected.name);
        EXPECT_EQ(seen.os, expected.os);
        EXPECT_EQ(seen.state, expected.state);
        EXPECT_EQ(seen.developerMode, expected.developerMode);
        EXPECT_TRUE(devices[index]["identifier"].is_string());
    }

    // Re-attaching changes the phone in place; detaching removes it.
    control({"attach-phone", "--udid", "00008130-000A1B2C3D4E5F60", "--name", "Ana's iPhone",
             "--developer-mode", "off"});
    control({"detach-phone", "SIM-7F3E"});
    json after = listDevices()["result"]["devices"];
    ASSERT_EQ(after.size(), std::size(cases) - 1);
    EXPECT_FALSE(read(after[0]).developerMode);
}

// What readers of real documents meet: only three tunnel states, a transport for a reachable
// phone, 64-bit ECIDs, the two-level form beside the flat one, and devicectl's table calling an
// idle paired phone "available (paired)".
TEST_F(DeviceListTest, DocumentsAreShapedLikeTheRealTools) {
    struct Case {
        std::vector<std::string> attach;
        std::string tunnel, transport, pairing, table;
    };
    const Case cases[] = {
        {{"--udid", "00008130-0000000000000001"}, "disconnected", "wired", "paired",
         "available (paired)"},
        {{"--udid", "00008130-0000000000000002", "--transport", "localNetwork"}, "disconnected",
         "localNetwork", "paired", "available (paired)"},
        {{"--udid", "00008130-0000000000000003", "--tunnel", "connected", "--form", "nested"},
         "connected", "wired", "paired", "connected"},
        {{"--udid", "00008130-0000000000000004", "--tunnel", "unavailable"}, "unavailable", "",
         "paired", "unavailable"},
        {{"--udid", "00008130-0000000000000005", "--pairing", "unpaired", "--form", "nested",
          "--developer-mode", "off"},
         "disconnected", "wired", "unpaired", "unavailable"},
    };
    for (const Case& example : cases) {
        std::vector<std::string> arguments = {"attach-phone"};
        arguments.insert(arguments.end(), example.attach.begin(), example.attach.end());
        control(arguments);
    }
    TestSupport::Output refused =
        TestSupport::run(TestSupport::binaryDirectory() / "apple-sim",
                         {"attach-phone", "--udid", "X", "--tunnel", "available"});
    EXPECT_EQ(refused.status, 2) << "devicectl never says \"available\"";

    json devices = listDevices()["result"]["devices"];
    ASSERT_EQ(devices.size(), std::size(cases));
    TestSupport::Output table = tool("xcrun", {"devicectl", "list", "devices"});
    for (std::size_t index = 0; index < std::size(cases); ++index) {
        const Case& example = cases[index];
        const json& device = devices[index];
        const json& connection = device["connectionProperties"];
        SCOPED_TRACE(example.attach[1]);
        EXPECT_EQ(connection["tunnelState"], example.tunnel);
        EXPECT_EQ(connection.value("transportType", ""), example.transport);
        EXPECT_EQ(connection["pairingState"], example.pairing);
        const json& ecid = device["hardwareProperties"]["ecid"];
        EXPECT_TRUE(ecid.is_number_unsigned()) << ecid;
        if (device.contains("properties")) {
            const json& properties = device["properties"];
            EXPECT_EQ(properties["connection"]["state"], example.tunnel);
            EXPECT_EQ(properties["hardware"]["udid"], device["hardwareProperties"]["udid"])
                << "the flat members beside the two-level ones";
            json expected = example.attach.back() == "off" ? json{{"disabled", json::object()}}
                                                           : json{{"enabled", {{"mode", 1}}}};
            EXPECT_EQ(properties["state"]["developerModeStatus"], expected);
        }
        std::string row;
        std::istringstream lines(table.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.find(example.attach[1]) != std::string::npos) {
                row = line;
            }
        }
        EXPECT_NE(row.find("   " + example.table + " "), std::string::npos) << row;
    }
    // ECIDs spread over all 64 bits, as real ones do.
    EXPECT_TRUE(std::any_of(devices.begin(), devices.end(), [](const json& device) {
        return device["hardwareProperties"]["ecid"].get<std::uint64_t>() > (1ull << 53);
    }));
}

TEST_F(DeviceListTest, TwoMacsKeepSeparateWorlds) {
    fs::path otherHome = directory / "other-mac";
    fs::create_directories(otherHome);
    std::map<std::string, std::string> other = {{"HOME", otherHome.string()}};
    control({"setup"});
    control({"attach-phone", "--udid", "PHONE-A", "--name", "A"});
    TestSupport::Output setupB = TestSupport::run(
        TestSupport::binaryDirectory() / "apple-sim", {"setup", "--team", "OTHERTEAM1"}, other);
    ASSERT_EQ(setupB.status, 0) << setupB.err;
    TestSupport::Output attachB = TestSupport::run(TestSupport::binaryDirectory() / "apple-sim",
                                                   {"attach-phone", "--udid", "PHONE-B"}, other);
    ASSERT_EQ(attachB.status, 0) << attachB.err;

    json mine = listDevices()["result"]["devices"];
    json theirs = listDevices(other)["result"]["devices"];
    ASSERT_EQ(mine.size(), 1u);
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_EQ(read(mine[0]).udid, "PHONE-A");
    EXPECT_EQ(read(theirs[0]).udid, "PHONE-B");
    EXPECT_EQ(control({"status"})["team"]["id"], "ZUQSIMTEAM");
    EXPECT_TRUE(fs::exists(otherHome / ".apple-sim" / "world.json"));
}

// A heartbeat lists devices while other tools change the world: no change is lost and no
// reader sees half a file.
TEST_F(DeviceListTest, ConcurrentCallsLoseNothing) {
    constexpr int writers = 10;
    std::vector<std::thread> threads;
    std::atomic<int> badLists = 0;
    for (int index = 0; index < writers; ++index) {
        threads.emplace_back([&, index] {
            TestSupport::Output output =
                TestSupport::run(TestSupport::binaryDirectory() / "apple-sim",
                                 {"attach-phone", "--udid", "PHONE-" + std::to_string(index)});
            EXPECT_EQ(output.status, 0) << output.err;
        });
    }
    for (int index = 0; index < 4; ++index) {
        threads.emplace_back([&, index] {
            for (int round = 0; round < 5; ++round) {
                fs::path output = temporary / ("list-" + std::to_string(index) + "-" +
                                               std::to_string(round) + ".json");
                TestSupport::Output result =
                    tool("xcrun", {"devicectl", "list", "devices", "--timeout", "20",
                                   "--json-output", output.string()});
                std::ifstream file(output);
                json document = json::parse(file, nullptr, false);
                if (result.status != 0 || !document["result"]["devices"].is_array()) {
                    ++badLists;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(badLists, 0);
    EXPECT_EQ(listDevices()["result"]["devices"].size(), static_cast<std::size_t>(writers));
}

TEST_F(DeviceListTest, UnknownCallsFailNamingTheirArguments) {
    struct Case {
        std::string tool;
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {"xcrun", {"simctl", "list"}, 72, "`xcrun simctl list`"},
        {"xcrun", {"devicectl", "device", "info", "apps"}, 64, "devicectl device info apps"},
        {"xcrun", {"devicectl", "list", "devices", "--timeout", "soon"}, 64, "'soon'"},
        {"xcodebuild", {"-showBuildSettings"}, 64, "xcodebuild -showBuildSettings"},
        {"xcodebuild", {"-frobnicate"}, 64, "invalid option '-frobnicate'"},
    };
    for (const Case& example : cases) {
        TestSupport::Output output = tool(example.tool, example.arguments);
        EXPECT_EQ(output.status, example.status) << example.message;
        EXPECT_NE(output.err.find(example.message), std::string::npos) << output.err;
    }
    TestSupport::Output control =
        TestSupport::run(TestSupport::binaryDirectory() / "apple-sim", {"frobnicate"});
    EXPECT_EQ(control.status, 2);
    EXPECT_EQ(json::parse(control.err, nullptr, false)["error"],
              "Unknown subcommand 'frobnicate'; apple-sim help lists them");
}

} // namespace
