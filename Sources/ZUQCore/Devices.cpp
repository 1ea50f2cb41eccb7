#include "Devices.hpp"

#include "Platform/File.hpp"
#include "Platform/Random.hpp"
#include "ProcessRunner.hpp"
#include "Records.hpp"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr double listingTimeout = 30;
constexpr double installTimeout = 600;
constexpr double launchTimeout = 90;

// The tool writes its document to a path we name; whatever it left there goes with this value.
class OutputFile {
public:
    explicit OutputFile(std::string_view prefix)
        : path_(Platform::temporaryDirectory() /
                (std::string(prefix) + Platform::newUUID() + ".json")) {}
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

// MARK: Phone records

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

// The two-level form says "enabled" by the member's presence (an encoded enumeration case,
// {"enabled": {"mode": 1}}); the flat form says it in text.
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
    // "disconnected" is how a paired phone idles until a command opens its tunnel; only
    // "unavailable" says it cannot be reached. A pairing state, where given, must be "paired".
    std::string pairing =
        firstText({&connection["pairingState"], &tunnel["pairingState"]}).text();
    bool paired = pairing.empty() || pairing == "paired";
    bool available = developer && paired && !state.text().empty() && state.text() != "unavailable";
    return PhoneRecord{
        hardware["udid"].string(),
        device["identifier"].string(),
        firstText({&properties["state"]["name"], &deviceProperties["name"]}).text(),
        hardware["marketingName"].string(),
        hardware["productType"].string(),
        firstText({&properties["software"]["osVersionNumber"]["stringValue"],
                   &deviceProperties["osVersionNumber"]})
            .text(),
        state.text(),
        developer,
        available,
        firstText({&connection["transportType"], &tunnel["transportType"]}).text(),
    }
        .json();
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

// MARK: Refusals

// What to do, for the refusals people meet most.
constexpr const char* lockedAdvice = "The device is locked. Unlock it and keep it unlocked "
                                     "until the app has launched, then run the job again.";
constexpr const char* busyAdvice = "The device is busy with another installation. Wait until "
                                   "it has finished, then run the job again.";
constexpr const char* developerModeAdvice =
    "Developer Mode is off on the device. Turn it on in Settings > Privacy & Security > "
    "Developer Mode, restart the device when asked, then run the job again.";
constexpr const char* profileAdvice =
    "The app's provisioning profile does not list this device or has expired. Register the "
    "device with the team, let Xcode make a new profile, and build again.";
constexpr const char* signatureAdvice =
    "The app's signature or entitlements are not valid for this device. Check the signing "
    "settings and the capabilities the provisioning profile allows, and build again.";
constexpr const char* spaceAdvice = "The device does not have enough free storage for the app. "
                                    "Free some space on it, then run the job again.";

// One NSError of the chain: its domain and code, its description, and every text of its user
// info (failure reason, recovery suggestion, legacy error string, ...).
struct Level {
    std::string domain;
    double code = 0;
    std::string description;
    std::vector<std::string> texts;
};

// A user-info text: {"string": "..."} as the tool writes it, or plain text.
std::string userText(const JSON& value) {
    return value.kind() == JSON::Kind::string ? value.text() : value["string"].text();
}

// The error and those it wraps, outermost first. The depth is bounded: the document comes from
// a tool, not from us.
std::vector<Level> chain(const JSON& error) {
    std::vector<Level> levels;
    for (const JSON* at = &error; at->kind() == JSON::Kind::object && levels.size() < 32;
         at = &(*at)["userInfo"]["NSUnderlyingError"]["error"]) {
        const JSON& info = (*at)["userInfo"];
        Level level{(*at)["domain"].text(), (*at)["code"].number(), {}, {}};
        level.description = userText(info["NSLocalizedDescription"]);
        if (level.description.empty()) {
            level.description = userText(info["NSDescription"]);
        }
        for (const auto& [key, value] : info.fields()) {
            if (key != "NSUnderlyingError" && key != "NSURL") {
                if (std::string found = userText(value); !found.empty()) {
                    level.texts.push_back(std::move(found));
                }
            }
        }
        levels.push_back(std::move(level));
    }
    return levels;
}

bool containsIgnoringCase(std::string_view text, std::string_view part) {
    return std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           }) != text.end();
}

// Whether any level of the chain says `part` in any of its texts.
bool says(const std::vector<Level>& levels, std::string_view part) {
    return std::any_of(levels.begin(), levels.end(), [&](const Level& level) {
        return std::any_of(level.texts.begin(), level.texts.end(),
                           [&](const std::string& text) { return containsIgnoringCase(text, part); });
    });
}

bool has(const std::vector<Level>& levels, std::string_view domain, double code) {
    return std::any_of(levels.begin(), levels.end(), [&](const Level& level) {
        return level.domain == domain && level.code == code;
    });
}

// The sentence for a refusal the tool words in several ways over its versions: by error code
// where one tells, by the phone's own words where none does.
const char* adviceFor(const std::vector<Level>& levels) {
    // kAMDMobileImageMounterDeviceLocked (0xE80000E2), or SpringBoard refusing to open an app
    // "because the device was not, or could not be, unlocked".
    if (has(levels, "com.apple.mobiledevice", -402652958) || says(levels, "device is locked") ||
        says(levels, "could not be, unlocked") || says(levels, "DeviceLocked")) {
        return lockedAdvice;
    }
    // Another install of the app is being coordinated (a restore, an App Store update).
    if (has(levels, "IXErrorDomain", 46) || says(levels, "device is busy")) {
        return busyAdvice;
    }
    if (has(levels, "NSPOSIXErrorDomain", 28) || says(levels, "enough storage") ||
        says(levels, "No space left on device")) {
        return spaceAdvice;
    }
    if (says(levels, "Developer Mode is disabled") || says(levels, "Developer Mode is not enabled") ||
        says(levels, "Developer Mode is off")) {
        return developerModeAdvice;
    }
    // installd: 0xe8008015, "A valid provisioning profile for this executable was not found".
    if (says(levels, "0xe8008015") || says(levels, "valid provisioning profile")) {
        return profileAdvice;
    }
    // 0xe8008016 invalid entitlements, 0xe800801c no signature, 0xe8008017 modified resources,
    // or SpringBoard denying a launch for "Security".
    if (says(levels, "0xe8008016") || says(levels, "0xe800801c") || says(levels, "0xe8008017") ||
        says(levels, "ApplicationVerificationFailed") || has(levels, "MIInstallerErrorDomain", 13) ||
        says(levels, "invalid code signature")) {
        return signatureAdvice;
    }
    return "";
}

// Waits `delay` unless a stop is requested first, which throws CancellationError.
void pause(std::chrono::seconds delay, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any wakeUp;
    std::unique_lock lock(mutex);
    wakeUp.wait_for(lock, stop, delay, [] { return false; });
    if (stop.stop_requested()) {
        throw CancellationError();
    }
}

// MARK: Requests

using Arguments = std::function<std::vector<std::string>(const std::string& output)>;

// How one request ended when the tool refused it: what its document said and the process
// runner's message.
struct Refused {
    Devices::Refusal refusal;
    std::string message;
};

// Runs one request with its JSON output in a temporary file. Returns nothing on success, the
// refusal when the tool wrote one; otherwise the process runner's error passes through.
std::optional<Refused> request(const Arguments& arguments, double timeout, const fs::path& log,
                               const std::string& job, std::stop_token stop) {
    OutputFile output("zuq-devicectl-");
    try {
        ProcessRunner::run("/usr/bin/xcrun", arguments(output.path().string()), std::nullopt, log,
                           timeout, job, ProcessRunner::Failure::raised, stop);
        return std::nullopt;
    } catch (const ZUQError& error) {
        std::optional<Devices::Refusal> said;
        try {
            said = Devices::refusal(JSON::decode(Platform::readFile(output.path())));
        } catch (const std::exception&) {
            // No document, or not one we can read: the runner's words are all there is.
        }
        if (!said) {
            throw;
        }
        return Refused{std::move(*said), error.what()};
    }
}

// The request, tried again while the device is locked or busy, up to the patience's bound.
void perform(const char* failed, const Arguments& arguments, double timeout, const fs::path& log,
             const std::string& job, std::stop_token stop, const Devices::Notice& notice,
             Devices::Patience patience) {
    auto deadline = std::chrono::steady_clock::now() + patience.bound;
    std::string told;
    for (;;) {
        std::optional<Refused> refused = request(arguments, timeout, log, job, stop);
        if (!refused) {
            return;
        }
        const Devices::Refusal& refusal = refused->refusal;
        if (refusal.passing && std::chrono::steady_clock::now() + patience.interval < deadline) {
            if (told != refusal.advice) {
                told = refusal.advice;
                notice((refusal.advice == lockedAdvice ? "The device is locked: unlock it to go on."
                                                       : "The device is busy.") +
                       std::string(" Trying again for up to ") +
                       std::to_string(patience.bound.count()) + " seconds.");
            }
            pause(patience.interval, stop);
            continue;
        }
        std::string headline = refusal.advice.empty()
                                   ? std::string(failed) + ": " + refusal.description
                                   : refusal.advice + "\ndevicectl: " + refusal.description;
        throw ZUQError(headline + "\n" + refused->message);
    }
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
    OutputFile output("zuq-devices-");
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

std::optional<Devices::Refusal> Devices::refusal(const JSON& document) {
    const JSON& error = document["error"];
    if (error.kind() != JSON::Kind::object) {
        return std::nullopt;
    }
    std::vector<Level> levels = chain(error);
    Refusal refusal;
    // The innermost level that describes itself; its code when none does.
    for (auto level = levels.rbegin(); level != levels.rend() && refusal.description.empty();
         ++level) {
        refusal.description = level->description;
    }
    if (refusal.description.empty()) {
        const Level& inner = levels.back();
        refusal.description = (inner.domain.empty() ? "unknown" : inner.domain) + " error " +
                              std::to_string(static_cast<long long>(inner.code));
    }
    refusal.advice = adviceFor(levels);
    refusal.passing = refusal.advice == lockedAdvice || refusal.advice == busyAdvice;
    return refusal;
}

void Devices::install(std::string_view udid, const fs::path& app, const fs::path& log,
                      const std::string& job, std::stop_token stop, const Notice& notice,
                      Patience patience) {
    std::string device(udid);
    perform(
        "Installing the app on the device failed",
        [&](const std::string& output) {
            return std::vector<std::string>{"devicectl", "device", "install", "app", "--device",
                                            device, "--json-output", output, app.string()};
        },
        installTimeout, log, job, stop, notice, patience);
}

void Devices::launch(std::string_view udid, const std::string& bundleID, const fs::path& log,
                     const std::string& job, std::stop_token stop, const Notice& notice,
                     Patience patience) {
    std::string device(udid);
    perform(
        "Launching the app on the device failed",
        [&](const std::string& output) {
            return std::vector<std::string>{"devicectl", "device", "process", "launch",
                                            "--device", device, "--terminate-existing",
                                            "--json-output", output, "--", bundleID};
        },
        launchTimeout, log, job, stop, notice, patience);
}
