#include "Devices.hpp"

#include "Platform/File.hpp"
#include "Platform/Random.hpp"
#include "ProcessRunner.hpp"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr double listingTimeout = 30;

// The tool writes its document to a path we name; whatever it left there goes with this value.
class OutputFile {
public:
    OutputFile()
        : path_(Platform::temporaryDirectory() / ("zuq-devices-" + Platform::newUUID() + ".json")) {
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }

    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// The value when it is a JSON string; anything else counts as missing.
const JSON* text(const JSON& value) {
    return value.kind() == JSON::Kind::string ? &value : nullptr;
}

// The first of `choices` that is text, else "".
JSON firstText(std::initializer_list<const JSON*> choices) {
    for (const JSON* choice : choices) {
        if (text(*choice)) {
            return *choice;
        }
    }
    return "";
}

// The two-level form says "enabled" by the member's presence (an encoded enumeration case);
// the flat form says it in text.
bool developerMode(const JSON& properties, const JSON& deviceProperties) {
    const JSON& status = properties["state"]["developerModeStatus"];
    if (status.kind() == JSON::Kind::object && !status["enabled"].isNull()) {
        return true;
    }
    return deviceProperties["developerModeStatus"] == JSON("enabled");
}

// The two-level form nests hardware under "properties"; the flat form has it at the top.
const JSON& hardwareOf(const JSON& device) {
    const JSON& nested = device["properties"]["hardware"];
    return nested.isNull() ? device["hardwareProperties"] : nested;
}

JSON record(const JSON& device) {
    const JSON& properties = device["properties"];
    const JSON& hardware = hardwareOf(device);
    const JSON& deviceProperties = device["deviceProperties"];
    const JSON& connection = properties["connection"];
    const JSON& tunnel = device["connectionProperties"];

    JSON state = firstText({&connection["state"], &tunnel["tunnelState"]});
    bool developer = developerMode(properties, deviceProperties);
    bool available = developer && (state.text() == "connected" || state.text() == "available");
    return JSON::object({
        {"udid", hardware["udid"]},
        {"core_id", device["identifier"]},
        {"name", firstText({&properties["state"]["name"], &deviceProperties["name"]})},
        {"model", hardware["marketingName"]},
        {"product_type", hardware["productType"]},
        {"os", firstText({&properties["software"]["osVersionNumber"]["stringValue"],
                          &deviceProperties["osVersionNumber"]})},
        {"state", std::move(state)},
        {"developer_mode", developer},
        {"available", available},
        {"transport", firstText({&connection["transportType"], &tunnel["transportType"]})},
    });
}

bool usable(const JSON& device) {
    if (device.kind() != JSON::Kind::object) {
        return false;
    }
    const JSON& hardware = hardwareOf(device);
    const JSON& type = hardware["deviceType"];
    return hardware["reality"] == JSON("physical") &&
           (type == JSON("iPhone") || type == JSON("iPad")) && !hardware["udid"].text().empty();
}

} // namespace

std::vector<JSON> Devices::parse(const JSON& document) {
    std::vector<JSON> phones;
    for (const JSON& device : document["result"]["devices"].items()) {
        if (usable(device)) {
            phones.push_back(record(device));
        }
    }
    return phones;
}

std::vector<JSON> Devices::list(std::stop_token stop) {
    OutputFile output;
    ProcessRunner::run("/usr/bin/xcrun",
                       {"devicectl", "list", "devices", "--timeout", "20", "--json-output",
                        output.path().string()},
                       std::nullopt, std::nullopt, listingTimeout, std::nullopt,
                       ProcessRunner::Failure::raised, stop);
    return parse(JSON::decode(Platform::readFile(output.path())));
}

JSON Devices::require(std::string_view udid, std::stop_token stop) {
    for (JSON& phone : list(stop)) {
        if (phone["udid"].text() == udid && phone["available"] == JSON(true)) {
            return std::move(phone);
        }
    }
    throw ZUQError("The selected iPhone/iPad is unavailable. Connect it, trust this Mac, enable "
                   "Developer Mode, and unlock it.");
}
