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
const std::string wired =
    R"("transportType": "wired", "tunnelState": "connected", "pairingState": "paired")";

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

// The members of connectionProperties as devicectl writes them for a paired phone: the tunnel
// state is only ever "connected", "disconnected" or "unavailable", and an unreachable phone has
// no transport.
std::string connection(const std::string& tunnel, const std::string& transport = "wired",
                       const std::string& pairing = "paired") {
    std::string members = R"("authenticationType": "manualPairing", "isMobileDeviceOnly": false,)"
                          R"( "pairingState": ")" + pairing + R"(", "tunnelState": ")" + tunnel +
                          "\"";
    if (!transport.empty()) {
        members += R"(, "transportType": ")" + transport + R"(", "tunnelTransportProtocol": "tcp")";
    }
    return members;
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
        {"a phone with its tunnel open", flat(iPhone, ready, connection("connected")), ann},
        // The ordinary state of a paired phone: devicectl opens the tunnel when a command needs
        // it (its table says "available (paired)").
        {"a paired phone on USB, tunnel not open yet", flat(iPhone, ready, connection("disconnected")),
         with({{"state", "disconnected"}})},
        {"a paired phone on Wi-Fi, tunnel not open yet",
         flat(iPhone, ready, connection("disconnected", "localNetwork")),
         with({{"state", "disconnected"}, {"transport", "localNetwork"}})},
        {"an iPad without a model name", flat(iPad, ready, connection("connected", "localNetwork")),
         phone("00008027-0011223344556677", "CORE-1", "Ann's iPhone", nullptr, "iPad13,4", "18.1",
               "connected", true, true, "localNetwork")},
        {"out of reach", flat(iPhone, ready, connection("unavailable", "")),
         with({{"state", "unavailable"}, {"available", false}, {"transport", ""}})},
        {"not paired", flat(iPhone, ready, connection("disconnected", "wired", "unpaired")),
         with({{"state", "disconnected"}, {"available", false}})},
        {"pairing state not given", flat(iPhone, ready, R"("tunnelState": "disconnected")"),
         with({{"state", "disconnected"}, {"transport", ""}})},
        {"developer mode off", flat(iPhone, R"("developerModeStatus": "disabled")", connection("connected")),
         with({{"name", ""}, {"os", ""}, {"developer_mode", false}, {"available", false}})},
        {"developer mode off and tunnel idle",
         flat(iPhone, R"("name": "Ann's iPhone", "osVersionNumber": "18.1", "developerModeStatus": "disabled")",
              connection("disconnected")),
         with({{"state", "disconnected"}, {"developer_mode", false}, {"available", false}})},
        {"developer mode in other letters",
         flat(iPhone, R"("developerModeStatus": "Enabled")", connection("connected")),
         with({{"name", ""}, {"os", ""}, {"developer_mode", false}, {"available", false}})},
        {"no connection at all", flat(iPhone, ready),
         with({{"state", ""}, {"available", false}, {"transport", ""}})},
        {"texts of other kinds count as missing",
         flat(iPhone, R"("name": 7, "osVersionNumber": 18, "developerModeStatus": true)",
              R"("tunnelState": true, "pairingState": 1)"),
         with({{"name", ""},
               {"os", ""},
               {"state", ""},
               {"developer_mode", false},
               {"available", false},
               {"transport", ""}})},
        // Real ECIDs use all 64 bits; the number is not read, but must not spoil the document.
        {"the largest ECID",
         flat(iPhone + R"(, "ecid": 18446744073709551615)", ready, connection("disconnected")),
         with({{"state", "disconnected"}})},
        {"an ECID past 64 bits", flat(iPhone + R"(, "ecid": 98446744073709551615)", ready, connection("connected")),
         ann},
        // Simulators are listed too, paired on the same machine with an idle tunnel.
        {"a simulator",
         flat(R"("udid": "75BD17D7-0A6C-48A1-9768-568ACF690500", "reality": "simulated", "deviceType": "iPhone")",
              R"("name": "iPhone 16", "bootState": "shutdown")",
              R"("pairingState": "paired", "transportType": "sameMachine", "tunnelState": "disconnected")"),
         std::nullopt},
        {"a watch beside its phone",
         flat(R"("udid": "00008301-E8932C8C210BC02E", "reality": "physical", "deviceType": "appleWatch", "ecid": 2)",
              ready, connection("disconnected", "localNetwork")),
         std::nullopt},
        {"a TV",
         flat(R"("udid": "T", "reality": "physical", "deviceType": "appleTV")", ready, connection("connected")),
         std::nullopt},
        {"a device type in other letters",
         flat(R"("udid": "L", "reality": "physical", "deviceType": "iphone")", ready, connection("connected")),
         std::nullopt},
        {"no udid", flat(R"("reality": "physical", "deviceType": "iPhone")", ready, connection("connected")),
         std::nullopt},
        {"an empty udid",
         flat(R"("udid": "", "reality": "physical", "deviceType": "iPhone")", ready, connection("connected")),
         std::nullopt},
        {"a udid that is not text",
         flat(R"("udid": 8110, "reality": "physical", "deviceType": "iPhone")", ready, connection("connected")),
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
    const std::string os = R"("osVersionNumber": {"stringValue": "17.5.1"})";
    const std::string enabled = R"("name": "Bo", "developerModeStatus": {"enabled": {"mode": 1}})";
    auto state = [](const std::string& value, const std::string& transport = "wired",
                    const std::string& pairing = "paired") {
        return R"("state": ")" + value + R"(", "pairingState": ")" + pairing + "\"" +
               (transport.empty() ? "" : R"(, "transportType": ")" + transport + "\"");
    };
    struct Case {
        const char* what;
        std::string device;
        bool developerMode;
        std::string state, transport;
        bool available;
    };
    const Case cases[] = {
        {"connected", nested(iPhone, enabled, state("connected"), os), true, "connected", "wired", true},
        {"idle on USB", nested(iPhone, enabled, state("disconnected"), os), true, "disconnected",
         "wired", true},
        {"idle on Wi-Fi", nested(iPhone, enabled, state("disconnected", "localNetwork"), os), true,
         "disconnected", "localNetwork", true},
        {"out of reach", nested(iPhone, enabled, state("unavailable", ""), os), true,
         "unavailable", "", false},
        {"not paired", nested(iPhone, enabled, state("disconnected", "wired", "unpaired"), os),
         true, "disconnected", "wired", false},
        // The member's presence is the signal, whatever it holds.
        {"enabled as an empty object",
         nested(iPhone, R"("name": "Bo", "developerModeStatus": {"enabled": {}})", state("connected"), os),
         true, "connected", "wired", true},
        {"disabled",
         nested(iPhone, R"("name": "Bo", "developerModeStatus": {"disabled": {}})", state("connected"), os),
         false, "connected", "wired", false},
        {"enabled null falls back to nothing",
         nested(iPhone, R"("name": "Bo", "developerModeStatus": {"enabled": null})", state("connected"), os),
         false, "connected", "wired", false},
    };
    for (const auto& c : cases) {
        std::vector<JSON> records = parse(c.device);
        ASSERT_EQ(records.size(), 1u) << c.what;
        EXPECT_EQ(records[0], phone("00008110-000A1B2C3D4E5F60", "CORE-2", "Bo", "iPhone 15 Pro",
                                    "iPhone16,1", "17.5.1", c.state, c.developerMode, c.available,
                                    c.transport))
            << c.what << "\n"
            << records[0].pretty();
    }

    // Where the nested form lacks a member, the flat members beside it are read instead; an
    // identifier that is not text is left out rather than passed on.
    std::vector<JSON> mixed = parse(
        R"({"identifier": 5, "properties": {"hardware": null, "state": {"developerModeStatus": {}}},
            "hardwareProperties": {)" +
        iPhone + R"(},
            "deviceProperties": {"name": "Flat", "osVersionNumber": "18.0",
                                 "developerModeStatus": "enabled"},
            "connectionProperties": {"tunnelState": "disconnected", "transportType": "localNetwork",
                                     "pairingState": "paired"}})");
    ASSERT_EQ(mixed.size(), 1u);
    EXPECT_EQ(mixed[0], phone("00008110-000A1B2C3D4E5F60", JSON(), "Flat", "iPhone 15 Pro", "iPhone16,1",
                              "18.0", "disconnected", true, true, "localNetwork"));

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

// An NSError as devicectl writes it into its JSON output: texts wrapped as {"string": ...},
// the error beneath under NSUnderlyingError.
std::string nsError(const std::string& domain, long long code, const std::string& description,
                    const std::string& more = "", const std::string& underlying = "") {
    std::string info = R"("NSLocalizedDescription": {"string": )" + JSON(description).data() + "}";
    if (!more.empty()) {
        info += ", " + more;
    }
    if (!underlying.empty()) {
        info += R"(, "NSUnderlyingError": {"error": )" + underlying + "}";
    }
    return R"({"code": )" + std::to_string(code) + R"(, "domain": )" + JSON(domain).data() +
           R"(, "userInfo": {)" + info + "}}";
}

std::string failedDocument(const std::string& error) {
    return R"({"error": )" + error +
           R"(, "info": {"commandType": "devicectl.device.install.app", "jsonVersion": 2,)"
           R"( "outcome": "failed", "version": "397.21"}})";
}

TEST(DevicesRefusal, ReadsTheToolsErrorAndSaysWhatToDo) {
    const std::string locked = "The device is locked. Unlock it and keep it unlocked until the "
                               "app has launched, then run the job again.";
    const std::string busy = "The device is busy with another installation. Wait until it has "
                             "finished, then run the job again.";
    const std::string developerMode =
        "Developer Mode is off on the device. Turn it on in Settings > Privacy & Security > "
        "Developer Mode, restart the device when asked, then run the job again.";
    const std::string profile =
        "The app's provisioning profile does not list this device or has expired. Register the "
        "device with the team, let Xcode make a new profile, and build again.";
    const std::string signature =
        "The app's signature or entitlements are not valid for this device. Check the signing "
        "settings and the capabilities the provisioning profile allows, and build again.";
    const std::string space = "The device does not have enough free storage for the app. Free "
                              "some space on it, then run the job again.";
    const std::string failedInstall =
        nsError("com.apple.dt.CoreDeviceError", 3002, "Failed to install the app on the device.",
                R"("NSURL": {"url": "file:///Users/ann/Build/App.app/"})", "%s");
    auto install = [&](const std::string& inner) {
        std::string outer = failedInstall;
        return outer.replace(outer.find("%s"), 2, inner);
    };
    auto verification = [](const std::string& code, const std::string& reason) {
        return nsError("MIInstallerErrorDomain", 13,
                       "Failed to verify code signature of /var/installd/Library/Caches/"
                       "com.apple.mobile.installd.staging/temp.OkuMP7/extracted/App.app : " +
                           code + " (" + reason + ")",
                       R"("FunctionName": {"string": "-[MICodeSigningVerifier performValidationWithError:]"},)"
                       R"( "LegacyErrorString": {"string": "ApplicationVerificationFailed"})");
    };
    auto openRequest = [](const std::string& inner) {
        return nsError("FBSOpenApplicationServiceErrorDomain", 1,
                       "The request to open \"dev.zuq.App\" failed.",
                       R"("BSErrorCodeDescription": {"string": "RequestDenied"})", inner);
    };
    struct Case {
        const char* what;
        std::string error;
        std::string description, advice;
        bool passing;
    };
    const Case cases[] = {
        {"a profile without the phone",
         install(verification("0xe8008015", "A valid provisioning profile for this executable was not found.")),
         "Failed to verify code signature of /var/installd/Library/Caches/com.apple.mobile."
         "installd.staging/temp.OkuMP7/extracted/App.app : 0xe8008015 (A valid provisioning "
         "profile for this executable was not found.)",
         profile, false},
        {"entitlements the profile does not allow",
         install(verification("0xe8008016", "The executable was signed with invalid entitlements.")),
         "", signature, false},
        {"no signature", install(verification("0xe800801c", "No code signature found.")), "",
         signature, false},
        {"verification failed for another reason",
         install(nsError("MIInstallerErrorDomain", 13, "The application could not be verified.")),
         "The application could not be verified.", signature, false},
        {"locked while the developer disk image is mounted",
         nsError("com.apple.dt.CoreDeviceError", 12040,
                 "The developer disk image could not be mounted on this device.", "",
                 nsError("com.apple.mobiledevice", -402652958,
                         "Failed to mount /private/var/tmp/CoreDevice_DDI_Staging_501/0DC75A3D/"
                         "Restore/022-16019-313.dmg: 0xe80000e2 "
                         "(kAMDMobileImageMounterDeviceLocked: The device is locked.)")),
         "", locked, true},
        {"locked when the app is opened",
         openRequest(nsError(
             "FBSOpenApplicationErrorDomain", 7,
             "The request was denied by service delegate (SBMainWorkspace) for reason: Locked "
             "(\"Unable to launch dev.zuq.App because the device was not, or could not be, "
             "unlocked\").",
             R"("BSErrorCodeDescription": {"string": "Locked"})")),
         "", locked, true},
        {"refused to open for security",
         openRequest(nsError(
             "FBSOpenApplicationErrorDomain", 3,
             "The request was denied by service delegate (SBMainWorkspace) for reason: Security "
             "(\"Unable to launch dev.zuq.App because it has an invalid code signature, "
             "inadequate entitlements or its profile has not been explicitly trusted by the "
             "user\").")),
         "", signature, false},
        {"another install of the app under way",
         install(nsError("IXErrorDomain", 46,
                         "A coordinated app install already exists for [dev.zuq.App]",
                         R"("NSLocalizedFailureReason": {"string": "A coordinated install exists but its process scoping differs from the request."})")),
         "A coordinated app install already exists for [dev.zuq.App]", busy, true},
        {"no space left",
         install(nsError("IXUserPresentableErrorDomain", 11, "Unable to Install \u201cApp\u201d",
                         R"("NSLocalizedFailureReason": {"string": "This app can\u2019t be installed because there isn\u2019t enough storage."})",
                         nsError("NSPOSIXErrorDomain", 28,
                                 "copyfile of file:///private/var/mobile/Media/PublicStaging/"
                                 "App.app/ failed: No space left on device"))),
         "copyfile of file:///private/var/mobile/Media/PublicStaging/App.app/ failed: No space "
         "left on device",
         space, false},
        {"developer mode off",
         install(nsError("com.apple.dt.CoreDeviceError", 1010,
                         "Developer Mode is disabled on Ann\u2019s iPhone.")),
         "Developer Mode is disabled on Ann\u2019s iPhone.", developerMode, false},
        {"not a bundle: no advice, the tool's words",
         install(nsError("com.apple.dt.CoreDeviceError", 3000,
                         "The item at cmake_widgets.app is not a valid bundle.",
                         R"("NSLocalizedFailureReason": {"string": "Failed to get the identifier for the app to be installed."})")),
         "The item at cmake_widgets.app is not a valid bundle.", "", false},
        {"the innermost description, NSDescription at the bottom",
         nsError("com.apple.CoreDevice.ControlChannelConnectionError", 1,
                 "Internal logic error: Connection was invalidated", "",
                 nsError("com.apple.CoreDevice.ControlChannelConnectionError", 0, "Transport error", "",
                         R"({"code": 60, "domain": "Network.NWError", "userInfo": {"NSDescription": {"string": "Operation timed out"}}})")),
         "Operation timed out", "", false},
        {"descriptions as plain text",
         R"({"code": 4, "domain": "com.apple.dt.CoreDeviceError", "userInfo": {"NSLocalizedDescription": "The device is not connected."}})",
         "The device is not connected.", "", false},
        {"nothing described", R"({"code": 7, "domain": "SomeDomain"})", "SomeDomain error 7", "",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<Devices::Refusal> refusal =
            Devices::refusal(JSON::decode(failedDocument(c.error)));
        ASSERT_TRUE(refusal.has_value());
        if (!c.description.empty()) {
            EXPECT_EQ(refusal->description, c.description);
        }
        EXPECT_EQ(refusal->advice, c.advice);
        EXPECT_EQ(refusal->passing, c.passing);
    }
    for (const char* document :
         {R"({"info": {"outcome": "success"}, "result": {}})", R"({"error": "failed"})", "[]"}) {
        EXPECT_FALSE(Devices::refusal(JSON::decode(document))) << document;
    }
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
         true},
        {{"--udid", "00008130-0000000000000007", "--tunnel", "connected", "--transport",
          "localNetwork"},
         true,
         true},
        {{"--udid", "00008130-000000000000000C", "--pairing", "unpaired"}, true, false},
        {{"--udid", "00008130-000000000000000D", "--tunnel", "unavailable", "--form", "nested"},
         true,
         false},
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
    EXPECT_EQ(phones[0]["state"], JSON("disconnected")) << "how an attached phone idles";
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
