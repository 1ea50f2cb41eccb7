// devicectl device install app / device process launch: what a phone does with an app. It
// refuses a device it cannot reach, a locked phone whose developer disk image is not mounted
// yet, a signature that does not verify, a profile that does not list the device, has expired
// by the simulated clock or does not cover the app's identifier and entitlements, a
// development-signed app while Developer Mode is off, and an app that needs a newer iOS;
// otherwise it records the install. A launch needs the app installed and the phone unlocked.
// Every refusal is an NSError, printed and written into the --json-output document.
#include "Devicectl.hpp"

#include "AppSigning.hpp"
#include "CodeSignature.hpp"
#include "DeviceError.hpp"
#include "Failure.hpp"
#include "Files.hpp"
#include "JSONText.hpp"
#include "Options.hpp"
#include "Profiles.hpp"
#include "PropertyList.hpp"
#include "World.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <thread>

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Version texts compared as runs of digits by value ("17.10" is later than "17.4").
int compareVersions(const std::string& left, const std::string& right) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < left.size() || j < right.size()) {
        if (i < left.size() && j < right.size() && std::isdigit(static_cast<unsigned char>(left[i])) &&
            std::isdigit(static_cast<unsigned char>(right[j]))) {
            unsigned long a = 0;
            unsigned long b = 0;
            while (i < left.size() && std::isdigit(static_cast<unsigned char>(left[i]))) {
                a = a * 10 + static_cast<unsigned long>(left[i++] - '0');
            }
            while (j < right.size() && std::isdigit(static_cast<unsigned char>(right[j]))) {
                b = b * 10 + static_cast<unsigned long>(right[j++] - '0');
            }
            if (a != b) {
                return a < b ? -1 : 1;
            }
        } else {
            char a = i < left.size() ? left[i++] : '\0';
            char b = j < right.size() ? right[j++] : '\0';
            if (a != b) {
                return a < b ? -1 : 1;
            }
        }
    }
    return 0;
}

std::string clockStamp() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::localtime_r(&now, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &parts);
    return text;
}

struct Reached {
    Phone phone;
    WorldState world;
};

// The device a command names, by UDID, CoreDevice identifier or name, able to take commands.
// A paired phone whose tunnel is not open is reachable: devicectl opens the tunnel itself.
Reached reach(const std::string& device) {
    WorldState world = World::read();
    for (const Phone& phone : world.phones) {
        if (phone.udid != device && phone.identifier != device && phone.name != device) {
            continue;
        }
        if (phone.simulator) {
            DeviceError error = DeviceErrors::coreDevice(
                1000, phone.name + " is a simulated device; devicectl manages physical devices.");
            error.details = {{"DeviceIdentifier", device}};
            throw DeviceFailure(error);
        }
        if (!phone.reachable()) {
            DeviceError error = DeviceErrors::coreDevice(
                4, "Failed to find the device's tunnel. " + phone.name +
                       " may be out of range, not paired or no longer trusting this Mac.");
            error.details = {{"DeviceIdentifier", device}};
            throw DeviceFailure(error);
        }
        return {phone, world};
    }
    DeviceError error = DeviceErrors::coreDevice(1000, "The specified device was not found.");
    error.details = {{"DeviceIdentifier", device}};
    throw DeviceFailure(error);
}

// The lines devicectl prints as it takes hold of a phone, and the developer disk image it
// mounts the first time, which a locked phone refuses.
void takeHold(Reached& target) {
    std::cout << clockStamp() << "  Acquired tunnel connection to device.\n"
              << clockStamp() << "  Enabling developer disk image services.\n" << std::flush;
    if (!target.phone.diskImageMounted) {
        if (target.phone.lockedAt(realNow())) {
            throw DeviceFailure(DeviceErrors::locked(target.phone.identifier));
        }
        World::update([&](WorldState& world) {
            if (Phone* phone = world.phone(target.phone.udid)) {
                phone->diskImageMounted = true;
            }
        });
        target.phone.diskImageMounted = true;
    }
    std::cout << clockStamp() << "  Acquired usage assertion.\n" << std::flush;
}

[[noreturn]] void installFailure(const fs::path& app, DeviceError inner) {
    DeviceError outer = DeviceErrors::coreDevice(3002, "Failed to install the app on the device.");
    outer.url = "file://" + app.string() + "/";
    throw DeviceFailure(outer.wrapping(std::move(inner)));
}

// installd verifies the copy it staged, and names that copy in its message; `detail` says
// what the simulator found wrong, which installd keeps to itself.
[[noreturn]] void verificationFailure(const fs::path& app, const fs::path& bundle,
                                      const std::string& code, const std::string& reason,
                                      const std::string& detail = "") {
    std::string staged = "/var/installd/Library/Caches/com.apple.mobile.installd.staging/"
                         "temp.Ab3dE9/extracted/" +
                         app.filename().string() + bundle.string().substr(app.string().size());
    DeviceError verify{"MIInstallerErrorDomain",
                       13,
                       "Failed to verify code signature of " + staged + " : " + code + " (" +
                           reason + ")",
                       {{"FunctionName", "-[MICodeSigningVerifier performValidationWithError:]"},
                        {"LegacyErrorString", "ApplicationVerificationFailed"},
                        {"SourceFileLine", "79"}},
                       {},
                       nullptr};
    if (!detail.empty()) {
        verify.details.push_back({"AppleSimDetail", detail});
    }
    installFailure(app, verify);
}

bool appIdentifierCovers(const std::string& profile, const std::string& signedIdentifier) {
    if (profile.size() >= 2 && profile.compare(profile.size() - 2, 2, ".*") == 0) {
        return signedIdentifier.rfind(profile.substr(0, profile.size() - 1), 0) == 0;
    }
    return profile == signedIdentifier;
}

// One bundle's profile against its signature, the device and the simulated date. Returns the
// profile's expiry.
double checkProvisioning(const fs::path& app, const fs::path& bundle,
                         const CodeSignature::Info& signature, const Phone& phone, double now) {
    const char* noProfile = "A valid provisioning profile for this executable was not found.";
    std::string bytes;
    try {
        bytes = readFile(bundle / "embedded.mobileprovision");
    } catch (const std::system_error&) {
        verificationFailure(app, bundle, "0xe8008015", noProfile, "The bundle has no profile.");
    }
    std::string problem;
    std::optional<json> profile = Profiles::decode(bytes, problem);
    if (!profile) {
        verificationFailure(app, bundle, "0xe8008015", noProfile,
                            "The profile does not verify: " + problem);
    }
    std::string name = PropertyList::text(*profile, "Name");
    std::string signer = Crypto::der(signature.signer);
    bool listed = false;
    for (const json& certificate : profile->value("DeveloperCertificates", json::array())) {
        listed = listed || PropertyList::dataBytes(certificate) == signer;
    }
    if (!listed) {
        verificationFailure(app, bundle, "0xe8008015", noProfile,
                            "The signing certificate is not in \"" + name + "\".");
    }
    std::optional<double> expires = PropertyList::dateSeconds(profile->value("ExpirationDate", json()));
    if (!expires || *expires <= now) {
        verificationFailure(app, bundle, "0xe8008015", noProfile,
                            "The provisioning profile \"" + name + "\" expired on " +
                                isoDate(expires.value_or(0)) + ".");
    }
    json devices = profile->value("ProvisionedDevices", json::array());
    bool all = profile->value("ProvisionsAllDevices", false);
    if (!all && std::find(devices.begin(), devices.end(), phone.udid) == devices.end()) {
        verificationFailure(app, bundle, "0xe8008015", noProfile,
                            "The device " + phone.udid +
                                " is not included in the provisioning profile \"" + name + "\".");
    }
    const char* badEntitlements = "The executable was signed with invalid entitlements.";
    json allowed = profile->value("Entitlements", json::object());
    const json& asked = signature.entitlements;
    std::string signedIdentifier = PropertyList::text(asked, "application-identifier");
    if (!appIdentifierCovers(PropertyList::text(allowed, "application-identifier"), signedIdentifier) ||
        signedIdentifier != signature.teamID + "." + signature.identifier) {
        verificationFailure(app, bundle, "0xe8008016", badEntitlements,
                            "The profile does not allow application-identifier " +
                                signedIdentifier + ".");
    }
    if (asked.value("get-task-allow", false) && !allowed.value("get-task-allow", false)) {
        verificationFailure(app, bundle, "0xe8008016", badEntitlements,
                            "The profile does not allow get-task-allow.");
    }
    if (asked.contains("aps-environment") &&
        asked["aps-environment"] != allowed.value("aps-environment", json())) {
        verificationFailure(app, bundle, "0xe8008016", badEntitlements,
                            "The profile does not allow this aps-environment.");
    }
    return *expires;
}

void progress(bool realistic, double slow, const std::string& package) {
    double total = (realistic ? 3.0 : 0.0) + slow;
    const int steps[] = {0, 5, 10, 30, 50, 70, 90, 100};
    for (int percent : steps) {
        std::cout << "[" << (percent < 10 ? "  " : percent < 100 ? " " : "") << percent << "%] "
                  << (percent == 0 ? "Queued" : percent < 30 ? "Preparing" : percent < 100 ? "Installing" : "Installed package " + package)
                  << "\n" << std::flush;
        if (total > 0 && percent < 100) {
            std::this_thread::sleep_for(std::chrono::duration<double>(total / 7));
        }
    }
}

std::string deviceOption(const ParsedOptions& options) {
    return options.value("--device").value_or(options.value("-d").value_or(""));
}

json install(const ParsedOptions& options) {
    std::string device = deviceOption(options);
    if (device.empty() || options.positional.size() != 1) {
        throw ToolFailure("Usage: devicectl device install app --device <uuid|ecid|udid|name> <path>", 64);
    }
    fs::path app = fs::absolute(options.positional.front());
    Reached target = reach(device);
    const Phone& phone = target.phone;
    takeHold(target);
    json info;
    try {
        info = PropertyList::read((app / "Info.plist").string());
    } catch (const PropertyList::Error&) {
        DeviceError invalid = DeviceErrors::coreDevice(
            3000, "The item at " + app.filename().string() + " is not a valid bundle.");
        invalid.details = {
            {"NSLocalizedFailureReason", "Failed to get the identifier for the app to be installed."},
            {"NSLocalizedRecoverySuggestion",
             "Ensure that your bundle's Info.plist contains a value for the CFBundleIdentifier key."}};
        invalid.url = "file://" + app.string() + "/";
        installFailure(app, invalid);
    }
    std::string problem;
    std::optional<CodeSignature::Info> signature = CodeSignature::verify(app, problem);
    if (!signature) {
        bool unsigned_ = problem.find("not signed at all") != std::string::npos;
        verificationFailure(app, app, unsigned_ ? "0xe800801c" : "0xe8008017",
                            unsigned_ ? "No code signature found."
                                      : "A signed resource has been added, modified, or deleted.",
                            problem);
    }
    json platforms = info.value("CFBundleSupportedPlatforms", json::array());
    json families = info.value("UIDeviceFamily", json::array({1}));
    bool platform = std::find(platforms.begin(), platforms.end(), "iPhoneOS") != platforms.end();
    bool family = phone.type == "iPhone" ? std::find(families.begin(), families.end(), 1) != families.end()
                  : phone.type == "iPad" ? !families.empty()
                                         : false;
    std::string appName = PropertyList::text(info, "CFBundleName", app.stem().string());
    if (!platform || !family) {
        installFailure(app, {"IXUserPresentableErrorDomain", 1,
                             "This app is not compatible with " + phone.name + ".", {}, {}, nullptr});
    }
    std::string minimum = PropertyList::text(info, "MinimumOSVersion", "0");
    if (compareVersions(phone.os, minimum) < 0) {
        installFailure(app, {"MIInstallerErrorDomain", 27,
                             "Unable to install \u201c" + appName + "\u201d. This app requires iOS " +
                                 minimum + " or later; " + phone.name + " runs iOS " + phone.os + ".",
                             {{"LegacyErrorString", "DeviceOSVersionTooLow"}}, {}, nullptr});
    }
    if (signature->entitlements.value("get-task-allow", false) && !phone.developerMode) {
        installFailure(app, DeviceErrors::coreDevice(
                                1010, "Developer Mode is disabled on " + phone.name +
                                          ". Turn it on in Settings > Privacy & Security > "
                                          "Developer Mode to install development-signed apps."));
    }
    double now = target.world.now();
    double expires = checkProvisioning(app, app, *signature, phone, now);
    for (const fs::path& nested : AppSigning::nestedBundles(app)) {
        std::optional<CodeSignature::Info> nestedSignature = CodeSignature::read(nested, problem);
        if (!nestedSignature) {
            verificationFailure(app, nested, "0xe800801c", "No code signature found.", problem);
        }
        expires = std::min(expires, checkProvisioning(app, nested, *nestedSignature, phone, now));
    }

    std::string bundleID = PropertyList::text(info, "CFBundleIdentifier");
    double slow = 0;
    std::string refusal;
    WorldState world = World::update([&](WorldState& state) {
        slow = state.nextInstallSlow;
        refusal = state.nextInstallRefusal;
        state.nextInstallSlow = 0;
        state.nextInstallRefusal.clear();
    });
    if (refusal == "busy") {
        installFailure(app, {"IXErrorDomain", 46,
                             "A coordinated app install already exists for [" + bundleID +
                                 "/[system-defined]] with scope IXCoordinatorScopeGlobal (creator "
                                 "MobileBackup)",
                             {{"NSLocalizedFailureReason",
                               "A coordinated install exists but its process scoping differs "
                               "from the request."}},
                             {}, nullptr});
    }
    if (refusal == "no-space") {
        DeviceError full{"IXUserPresentableErrorDomain", 11,
                         "Unable to Install \u201c" + appName + "\u201d",
                         {{"NSLocalizedFailureReason",
                           "This app can\u2019t be installed because there isn\u2019t enough "
                           "storage. Delete one or more apps, or manage your storage in Settings."}},
                         {}, nullptr};
        installFailure(app, full.wrapping({"NSPOSIXErrorDomain", 28,
                                           "copyfile of file:///private/var/mobile/Media/"
                                           "PublicStaging/" + app.filename().string() +
                                               "/ failed: No space left on device",
                                           {{"FunctionName", "IXCopyItemAtURL"}}, {}, nullptr}));
    }
    progress(world.realistic(), slow, app.filename().string());
    World::update([&](WorldState& state) {
        Install record{phone.udid,
                       bundleID,
                       appName,
                       PropertyList::text(info, "CFBundleShortVersionString"),
                       PropertyList::text(info, "CFBundleVersion"),
                       state.now(),
                       expires};
        auto existing = std::find_if(state.installs.begin(), state.installs.end(), [&](const Install& install) {
            return install.udid == record.udid && install.bundleID == record.bundleID;
        });
        if (existing != state.installs.end()) {
            *existing = record;
        } else {
            state.installs.push_back(record);
        }
    });
    std::string url = "file:///private/var/containers/Bundle/Application/" + Crypto::randomUUID() +
                      "/" + app.filename().string() + "/";
    std::string database = Crypto::nameUUID(phone.udid + bundleID);
    std::size_t sequence = world.installs.size() + 1000;
    std::cout << "App installed:\n\u2022 bundleID: " << bundleID << "\n\u2022 installationURL: " << url
              << "\n\u2022 launchServicesIdentifier: unknown"
              << "\n\u2022 databaseUUID: " << database
              << "\n\u2022 databaseSequenceNumber: " << sequence << "\n\u2022 options: \n" << std::flush;
    return {{"deviceIdentifier", phone.identifier},
            {"installedApplications",
             json::array({{{"bundleID", bundleID},
                           {"databaseSequenceNumber", sequence},
                           {"databaseUUID", database},
                           {"installationURL", url},
                           {"launchServicesIdentifier", "unknown"},
                           {"options", json::object()}}})}};
}

json launch(const ParsedOptions& options) {
    std::string device = deviceOption(options);
    if (device.empty() || options.positional.empty()) {
        throw ToolFailure("Usage: devicectl device process launch --device <uuid|ecid|udid|name> "
                          "[--terminate-existing] [--] <bundle identifier> [arguments ...]",
                          64);
    }
    std::string bundleID = options.positional.front();
    Reached target = reach(device);
    const Phone& phone = target.phone;
    if (!phone.developerMode) {
        throw DeviceFailure(
            DeviceErrors::coreDevice(1010, "Developer Mode is disabled on " + phone.name + "."));
    }
    takeHold(target);
    auto installed = std::find_if(target.world.installs.begin(), target.world.installs.end(),
                                  [&](const Install& install) {
                                      return install.udid == phone.udid &&
                                             install.bundleID == bundleID;
                                  });
    // SpringBoard's refusals, under the request that failed.
    auto refused = [&](std::int64_t code, const std::string& description,
                       std::vector<std::pair<std::string, std::string>> details) {
        DeviceError request{"FBSOpenApplicationServiceErrorDomain", 1,
                            "The request to open \"" + bundleID + "\" failed.",
                            {{"BSErrorCodeDescription", "RequestDenied"}}, {}, nullptr};
        return DeviceFailure(request.wrapping(
            {"FBSOpenApplicationErrorDomain", code, description, std::move(details), {}, nullptr}));
    };
    if (installed == target.world.installs.end()) {
        throw refused(4, "The application " + bundleID + " is not installed on " + phone.name + ".",
                      {{"BSErrorCodeDescription", "NotFound"}});
    }
    if (phone.lockedAt(realNow())) {
        std::string reason = "Unable to launch " + bundleID +
                             " because the device was not, or could not be, unlocked.";
        throw refused(7,
                      "The request was denied by service delegate (SBMainWorkspace) for reason: "
                      "Locked (\"" + reason + "\").",
                      {{"BSErrorCodeDescription", "Locked"}, {"NSLocalizedFailureReason", reason}});
    }
    if (installed->profileExpires <= target.world.now()) {
        std::string reason = "Unable to launch " + bundleID +
                             " because it has an invalid code signature, inadequate entitlements "
                             "or its profile has not been explicitly trusted by the user";
        throw refused(3,
                      "The request was denied by service delegate (SBMainWorkspace) for reason: "
                      "Security (\"" + reason + "\").",
                      {{"BSErrorCodeDescription", "Security"}, {"NSLocalizedFailureReason", reason}});
    }
    bool fail = false;
    int pid = 0;
    WorldState world = World::update([&](WorldState& state) {
        fail = state.nextLaunchFail;
        state.nextLaunchFail = false;
        if (fail) {
            return;
        }
        unsigned char bytes[2];
        std::string random = Crypto::randomBytes(2);
        std::copy(random.begin(), random.end(), bytes);
        pid = 1000 + (bytes[0] << 8 | bytes[1]) % 60000;
        state.launches.push_back({phone.udid, bundleID, pid, state.now()});
        if (state.launches.size() > 100) {
            state.launches.erase(state.launches.begin());
        }
    });
    if (world.realistic()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (fail) {
        DeviceError failed = DeviceErrors::coreDevice(10002, "The application failed to launch.");
        failed.details = {{"BundleIdentifier", bundleID}};
        throw DeviceFailure(failed.wrapping(
            {"NSOSStatusErrorDomain", -10814, "The operation couldn\u2019t be completed. (OSStatus error -10814.)",
             {}, {}, nullptr}));
    }
    std::cout << "Launched application with " << bundleID << " bundle identifier.\n";
    std::string executable = "file:///private/var/containers/Bundle/Application/" +
                             Crypto::nameUUID(phone.udid + bundleID) + "/" +
                             installed->name + ".app/" + installed->name;
    return {{"deviceIdentifier", phone.identifier},
            {"launchOptions",
             {{"activatedWhenStarted", true},
              {"arguments", json::array()},
              {"startStopped", false},
              {"terminateExistingInstances", options.flag("--terminate-existing")}}},
            {"process", {{"executable", executable}, {"processIdentifier", pid}}}};
}

// Writes devicectl's JSON document: what the command was, how it ended, and its result or error.
void writeDocument(const std::string& path, const std::vector<std::string>& arguments,
                   const std::string& commandType, const json& outcome, bool failed) {
    json words = json::array({"devicectl", "device"});
    for (const std::string& word : arguments) {
        words.push_back(word);
    }
    json document = {{"info",
                      {{"arguments", words},
                       {"commandType", commandType},
                       {"environment", {{"TERM", "xterm-256color"}}},
                       {"jsonVersion", 2},
                       {"outcome", failed ? "failed" : "success"},
                       {"version", devicectlVersion}}},
                     {failed ? "error" : "result", outcome}};
    try {
        FileDescriptor fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        writeAll(fd.get(), appleJSON(document), path);
    } catch (const std::system_error& error) {
        throw ToolFailure("ERROR: Unable to write JSON output to " + path + ". (" +
                          error.code().message() + ")");
    }
}

} // namespace

int devicectlDevice(const std::vector<std::string>& arguments) {
    auto parse = [&](std::size_t skip, const std::set<std::string>& flags) {
        try {
            return parseOptions({arguments.begin() + static_cast<long>(skip), arguments.end()},
                                {"--device", "-d", "--timeout", "--json-output", "-j"}, flags);
        } catch (const OptionError& error) {
            throw ToolFailure(std::string("Error: ") + error.what(), 64);
        }
    };
    ParsedOptions options;
    json (*command)(const ParsedOptions&) = nullptr;
    std::string commandType;
    if (arguments.size() >= 2 && arguments[0] == "install" && arguments[1] == "app") {
        options = parse(2, {"--quiet", "-q", "--verbose", "-v"});
        command = install;
        commandType = "devicectl.device.install.app";
    } else if (arguments.size() >= 2 && arguments[0] == "process" && arguments[1] == "launch") {
        options = parse(2, {"--terminate-existing", "--quiet", "-q", "--verbose", "-v",
                            "--start-stopped", "--console"});
        command = launch;
        commandType = "devicectl.device.process.launch";
    } else {
        throw ToolFailure("Error: Unknown command: devicectl device " + joinWords(arguments) +
                              "\napple-sim: devicectl simulates `device install app` and "
                              "`device process launch`",
                          64);
    }
    std::optional<std::string> output = options.value("--json-output");
    if (!output) {
        output = options.value("-j");
    }
    json result;
    try {
        result = command(options);
    } catch (const DeviceFailure& failure) {
        if (output) {
            writeDocument(*output, arguments, commandType, devicectlJSON(failure.error()), true);
        }
        throw;
    }
    if (output) {
        writeDocument(*output, arguments, commandType, result, false);
    }
    return 0;
}

} // namespace AppleSim
