#include "Devicectl.hpp"

#include "DeviceModels.hpp"
#include "Failure.hpp"
#include "Files.hpp"
#include "JSONText.hpp"
#include "Options.hpp"
#include "World.hpp"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <iostream>

namespace AppleSim {

using nlohmann::json;

namespace {

const char* listUsage =
    "Usage: devicectl list devices [--timeout <seconds>] [--json-output <path>] [--quiet]";

// A stable 64-bit number for the phone's ECID (FNV-1a of the UDID): real ECIDs use all 64
// bits, so readers meet numbers beyond what a double holds exactly.
std::uint64_t ecid(const std::string& udid) {
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : udid) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

json cpu(const char* name, int subType) {
    return {{"name", name}, {"subType", subType}, {"type", 16777228}};
}

json hardware(const Phone& phone) {
    std::string productType = phone.model.empty() ? defaultProductType(phone.type) : phone.model;
    json value = {
        {"cpuType", cpu("arm64e", 2)},
        {"deviceType", deviceTypeName(phone.type)},
        {"platform", platformName(phone.type)},
        {"productType", productType},
        {"reality", phone.simulator ? "simulated" : "physical"},
        {"udid", phone.udid},
        {"supportedCPUTypes", json::array({cpu("arm64e", 2), cpu("arm64", 0)})},
        {"supportedDeviceFamilies", phone.type == "iPad" ? json::array({1, 2}) : json::array({1})},
        {"thinningProductType", productType},
    };
    if (std::optional<DeviceModel> model = knownModel(productType)) {
        value["marketingName"] = model->marketingName;
        value["hardwareModel"] = model->hardwareModel;
    }
    if (!phone.simulator) {
        value["ecid"] = ecid(phone.udid);
        value["isProductionFused"] = true;
    }
    return value;
}

json capabilities(const Phone& phone) {
    json list = json::array();
    auto add = [&](const char* identifier, const char* name) {
        list.push_back({{"featureIdentifier", identifier}, {"name", name}});
    };
    if (phone.simulator || phone.pairing != "paired") {
        return list;
    }
    // What devicectl can do before it has opened a tunnel, and once it has.
    add("com.apple.coredevice.feature.connectdevice", "Connect to Device");
    add("com.apple.coredevice.feature.acquireusageassertion", "Acquire Usage Assertion");
    add("com.apple.coredevice.feature.unpairdevice", "Unpair Device");
    if (phone.tunnel == "connected") {
        add("com.apple.coredevice.feature.installapp", "Install Application");
        add("com.apple.coredevice.feature.launchapplication", "Launch Application");
        add("com.apple.coredevice.feature.listapps", "List Applications");
        add("com.apple.coredevice.feature.getdeviceinfo", "Fetch Extended Device Info");
    }
    return list;
}

json connectionProperties(const Phone& phone) {
    if (phone.simulator) {
        return {{"authenticationType", "implicit"},
                {"isMobileDeviceOnly", false},
                {"pairingState", "paired"},
                {"potentialHostnames", json::array()},
                {"transportType", "sameMachine"},
                {"tunnelState", "disconnected"}};
    }
    json connection = {
        {"authenticationType", "manualPairing"},
        {"isMobileDeviceOnly", false},
        {"pairingState", phone.pairing},
        {"potentialHostnames",
         json::array({phone.udid + ".coredevice.local", phone.identifier + ".coredevice.local"})},
        {"tunnelState", phone.tunnel},
    };
    // An unreachable phone has no transport; a reachable one names USB or the network.
    if (phone.tunnel != "unavailable") {
        connection["transportType"] = phone.transport;
        connection["tunnelTransportProtocol"] = "tcp";
    }
    if (phone.tunnel == "connected") {
        connection["tunnelIPAddress"] = "fdf1:23c4:cd56::1";
    }
    return connection;
}

json flatEntry(const Phone& phone) {
    json device = {
        {"bootState", "booted"},
        {"ddiServicesAvailable",
         phone.tunnel == "connected" && phone.developerMode && phone.diskImageMounted},
        {"developerModeStatus", phone.developerMode ? "enabled" : "disabled"},
        {"hasInternalOSBuild", false},
        {"name", phone.name},
        {"osVersionNumber", phone.os},
        {"rootFileSystemIsWritable", false},
    };
    if (phone.simulator) {
        device.erase("developerModeStatus");
        device["provider"] = "com.apple.CoreSimulator.SimulatorCoreDevicePlugin";
    }
    return {{"capabilities", capabilities(phone)},
            {"connectionProperties", connectionProperties(phone)},
            {"deviceProperties", device},
            {"hardwareProperties", hardware(phone)},
            {"identifier", phone.identifier},
            {"tags", json::array()},
            {"visibilityClass", "default"}};
}

// The two-level form: everything again under "properties", grouped by what it describes, with
// the flat members beside it.
json nestedEntry(const Phone& phone) {
    json entry = flatEntry(phone);
    json state = {{"name", phone.name}, {"bootState", "booted"}};
    // An encoded enumeration: the case is the member's name, its values inside.
    state["developerModeStatus"] = phone.developerMode ? json{{"enabled", {{"mode", 1}}}}
                                                       : json{{"disabled", json::object()}};
    json connection = {{"state", entry["connectionProperties"]["tunnelState"]},
                       {"pairingState", entry["connectionProperties"]["pairingState"]}};
    if (entry["connectionProperties"].contains("transportType")) {
        connection["transportType"] = entry["connectionProperties"]["transportType"];
    }
    entry["properties"] = {{"hardware", hardware(phone)},
                           {"state", state},
                           {"software", {{"osVersionNumber", {{"stringValue", phone.os}}}}},
                           {"connection", connection}};
    return entry;
}

} // namespace

json deviceEntry(const Phone& phone) {
    return phone.form == "nested" ? nestedEntry(phone) : flatEntry(phone);
}

namespace {

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.append(width - text.size(), ' ');
    }
    return text;
}

std::string modelText(const Phone& phone) {
    std::string productType = phone.model.empty() ? defaultProductType(phone.type) : phone.model;
    std::optional<DeviceModel> model = knownModel(productType);
    return model ? model->marketingName + " (" + productType + ")" : productType;
}

// The table devicectl prints for people.
std::string table(const std::vector<Phone>& phones) {
    if (phones.empty()) {
        return "No devices found.\n";
    }
    std::string text = "Devices:\n" + pad("Name", 22) + "   " + pad("Hostname", 44) + "   " +
                       pad("Identifier", 36) + "   " + pad("State", 22) + "   Model\n" +
                       std::string(22, '-') + "   " + std::string(44, '-') + "   " +
                       std::string(36, '-') + "   " + std::string(22, '-') + "   " +
                       std::string(28, '-') + "\n";
    for (const Phone& phone : phones) {
        // devicectl's table says "available (paired)" for a paired phone whose tunnel is
        // not open yet: it can take commands all the same.
        std::string state = phone.simulator            ? "booted"
                            : !phone.reachable()       ? "unavailable"
                            : phone.tunnel == "connected" ? "connected"
                                                          : "available (paired)";
        text += pad(phone.name, 22) + "   " + pad(phone.udid + ".coredevice.local", 44) + "   " +
                pad(phone.identifier, 36) + "   " + pad(state, 22) + "   " + modelText(phone) +
                "\n";
    }
    return text;
}

int listDevices(const std::vector<std::string>& arguments) {
    ParsedOptions options;
    try {
        options = parseOptions(arguments, {"--timeout", "-t", "--json-output", "-j"},
                               {"--quiet", "-q", "--verbose", "-v"});
    } catch (const OptionError& error) {
        throw ToolFailure(std::string("Error: ") + error.what() + "\n" + listUsage, 64);
    }
    if (!options.positional.empty()) {
        throw ToolFailure("Error: Unexpected argument '" + options.positional.front() + "'\n" +
                              listUsage,
                          64);
    }
    std::optional<std::string> timeout = options.value("--timeout");
    if (!timeout) {
        timeout = options.value("-t");
    }
    if (timeout) {
        std::optional<double> seconds = parseNumber(*timeout);
        if (!seconds || *seconds <= 0) {
            throw ToolFailure("Error: The value '" + *timeout +
                                  "' is invalid for '--timeout <seconds>'\n" + listUsage,
                              64);
        }
    }
    WorldState world = World::read();
    json devices = json::array();
    for (const Phone& phone : world.phones) {
        devices.push_back(deviceEntry(phone));
    }
    std::optional<std::string> output = options.value("--json-output");
    if (!output) {
        output = options.value("-j");
    }
    if (output) {
        json commandArguments = json::array({"devicectl", "list", "devices"});
        for (const std::string& word : arguments) {
            commandArguments.push_back(word);
        }
        json document = {{"info",
                          {{"arguments", commandArguments},
                           {"commandType", "devicectl.list.devices"},
                           {"environment", {{"TERM", "xterm-256color"}}},
                           {"jsonVersion", 2},
                           {"outcome", "success"},
                           {"version", devicectlVersion}}},
                         {"result", {{"devices", devices}}}};
        try {
            FileDescriptor fd = openFile(*output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            writeAll(fd.get(), appleJSON(document), *output);
        } catch (const std::system_error& error) {
            throw ToolFailure("ERROR: Unable to write JSON output to " + *output + ". (" +
                              error.code().message() + ")");
        }
    }
    if (!options.flag("--quiet") && !options.flag("-q")) {
        std::cout << table(world.phones);
    }
    return 0;
}

} // namespace

int devicectl(const std::vector<std::string>& arguments) {
    if (arguments.size() == 1 && (arguments[0] == "--version" || arguments[0] == "version")) {
        std::cout << devicectlVersion << "\n";
        return 0;
    }
    if (arguments.size() >= 2 && arguments[0] == "list" && arguments[1] == "devices") {
        return listDevices({arguments.begin() + 2, arguments.end()});
    }
    if (!arguments.empty() && arguments[0] == "device") {
        return devicectlDevice({arguments.begin() + 1, arguments.end()});
    }
    throw ToolFailure("Error: Unknown command: devicectl " + joinWords(arguments) +
                          "\napple-sim: devicectl simulates `list devices`, "
                          "`device install app` and `device process launch`",
                      64);
}

} // namespace AppleSim
