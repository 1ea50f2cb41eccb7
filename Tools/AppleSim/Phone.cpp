// devicectl device install app / device process launch: what a phone does with an app. It
// refuses a device it cannot reach, a signature that does not verify, a profile that does not
// list the device, has expired by the simulated clock or does not cover the app's identifier
// and entitlements, a development-signed app while Developer Mode is off, and an app that needs
// a newer iOS; otherwise it records the install. A launch needs the app installed.
#include "Devicectl.hpp"

#include "AppSigning.hpp"
#include "CodeSignature.hpp"
#include "Failure.hpp"
#include "Files.hpp"
#include "Options.hpp"
#include "Profiles.hpp"
#include "PropertyList.hpp"
#include "World.hpp"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iostream>
#include <thread>

namespace AppleSim {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char* separator =
    "--------------------------------------------------------------------------------";

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
Reached reach(const std::string& device) {
    WorldState world = World::read();
    for (const Phone& phone : world.phones) {
        if (phone.udid != device && phone.identifier != device && phone.name != device) {
            continue;
        }
        if (phone.simulator) {
            throw ToolFailure("ERROR: " + phone.name + " is a simulated device; devicectl manages "
                              "physical devices. (com.apple.dt.CoreDeviceError error 1000 (0x3E8))\n"
                              "       DeviceIdentifier = " + device);
        }
        if (!phone.reachable()) {
            throw ToolFailure("ERROR: Failed to find the device's tunnel. " + phone.name +
                              " may be locked, out of range or no longer trusting this Mac. "
                              "(com.apple.dt.CoreDeviceError error 4 (0x04))\n       DeviceIdentifier = " +
                              device);
        }
        return {phone, world};
    }
    throw ToolFailure("ERROR: The specified device was not found. (com.apple.dt.CoreDeviceError "
                      "error 1000 (0x3E8))\n       DeviceIdentifier = " + device);
}

[[noreturn]] void installFailure(const fs::path& app, const std::string& detail) {
    throw ToolFailure("ERROR: Failed to install the app on the device. "
                      "(com.apple.dt.CoreDeviceError error 3002 (0xBBA))\n       NSURL = file://" +
                      app.string() + "/\n" + separator + "\n" + detail);
}

[[noreturn]] void verificationFailure(const fs::path& app, const fs::path& bundle,
                                      const std::string& code, const std::string& reason) {
    installFailure(app, "ERROR: The application could not be verified. (MIInstallerErrorDomain "
                        "error 13 (0x0D))\n       FunctionName = -[MICodeSigningVerifier "
                        "performValidationWithError:]\n       LegacyErrorString = "
                        "ApplicationVerificationFailed\n       Failed to verify code signature of " +
                        bundle.string() + " : " + code + " (" + reason + ")");
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
        verificationFailure(app, bundle, "0xe8008015", noProfile);
    }
    std::string problem;
    std::optional<json> profile = Profiles::decode(bytes, problem);
    if (!profile) {
        verificationFailure(app, bundle, "0xe8008015", std::string(noProfile) +
                                                           " The profile does not verify: " + problem);
    }
    std::string name = PropertyList::text(*profile, "Name");
    std::string signer = Crypto::der(signature.signer);
    bool listed = false;
    for (const json& certificate : profile->value("DeveloperCertificates", json::array())) {
        listed = listed || PropertyList::dataBytes(certificate) == signer;
    }
    if (!listed) {
        verificationFailure(app, bundle, "0xe8008015",
                            std::string(noProfile) + " The signing certificate is not in \"" +
                                name + "\".");
    }
    std::optional<double> expires = PropertyList::dateSeconds(profile->value("ExpirationDate", json()));
    if (!expires || *expires <= now) {
        verificationFailure(app, bundle, "0xe8008015",
                            std::string(noProfile) + " The provisioning profile \"" + name +
                                "\" expired on " + isoDate(expires.value_or(0)) + ".");
    }
    json devices = profile->value("ProvisionedDevices", json::array());
    bool all = profile->value("ProvisionsAllDevices", false);
    if (!all && std::find(devices.begin(), devices.end(), phone.udid) == devices.end()) {
        verificationFailure(app, bundle, "0xe8008015",
                            std::string(noProfile) + " The device " + phone.udid +
                                " is not included in the provisioning profile \"" + name + "\".");
    }
    const char* badEntitlements = "The executable was signed with invalid entitlements.";
    json allowed = profile->value("Entitlements", json::object());
    const json& asked = signature.entitlements;
    std::string signedIdentifier = PropertyList::text(asked, "application-identifier");
    if (!appIdentifierCovers(PropertyList::text(allowed, "application-identifier"), signedIdentifier) ||
        signedIdentifier != signature.teamID + "." + signature.identifier) {
        verificationFailure(app, bundle, "0xe8008016", badEntitlements);
    }
    if (asked.value("get-task-allow", false) && !allowed.value("get-task-allow", false)) {
        verificationFailure(app, bundle, "0xe8008016", badEntitlements);
    }
    if (asked.contains("aps-environment") &&
        asked["aps-environment"] != allowed.value("aps-environment", json())) {
        verificationFailure(app, bundle, "0xe8008016", badEntitlements);
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

int install(const ParsedOptions& options) {
    std::string device = options.value("--device").value_or(options.value("-d").value_or(""));
    if (device.empty() || options.positional.size() != 1) {
        throw ToolFailure("Usage: devicectl device install app --device <uuid|ecid|udid|name> <path>", 64);
    }
    fs::path app = fs::absolute(options.positional.front());
    Reached target = reach(device);
    const Phone& phone = target.phone;
    json info;
    try {
        info = PropertyList::read((app / "Info.plist").string());
    } catch (const PropertyList::Error&) {
        throw ToolFailure("ERROR: The item at " + app.string() +
                          " is not a valid bundle. (com.apple.dt.CoreDeviceError error 3000 (0xBB8))");
    }
    std::string problem;
    std::optional<CodeSignature::Info> signature = CodeSignature::verify(app, problem);
    if (!signature) {
        bool unsigned_ = problem.find("not signed at all") != std::string::npos;
        verificationFailure(app, app, unsigned_ ? "0xe800801c" : "0xe8008017",
                            unsigned_ ? "No code signature found."
                                      : "A signed resource has been added, modified, or deleted.");
    }
    json platforms = info.value("CFBundleSupportedPlatforms", json::array());
    json families = info.value("UIDeviceFamily", json::array({1}));
    bool platform = std::find(platforms.begin(), platforms.end(), "iPhoneOS") != platforms.end();
    bool family = phone.type == "iPhone" ? std::find(families.begin(), families.end(), 1) != families.end()
                  : phone.type == "iPad" ? !families.empty()
                                         : false;
    std::string appName = PropertyList::text(info, "CFBundleName", app.stem().string());
    if (!platform || !family) {
        installFailure(app, "ERROR: This app is not compatible with " + phone.name +
                                ". (IXUserPresentableErrorDomain error 1 (0x01))");
    }
    std::string minimum = PropertyList::text(info, "MinimumOSVersion", "0");
    if (compareVersions(phone.os, minimum) < 0) {
        installFailure(app, "ERROR: Unable to install \u201c" + appName + "\u201d. This app requires iOS " +
                                minimum + " or later; " + phone.name + " runs iOS " + phone.os +
                                ". (MIInstallerErrorDomain error 27 (0x1B))");
    }
    if (signature->entitlements.value("get-task-allow", false) && !phone.developerMode) {
        installFailure(app, "ERROR: Developer Mode is disabled on " + phone.name +
                                ". Turn it on in Settings > Privacy & Security > Developer Mode to "
                                "install development-signed apps. (com.apple.dt.CoreDeviceError "
                                "error 1010 (0x3F2))");
    }
    double now = target.world.now();
    double expires = checkProvisioning(app, app, *signature, phone, now);
    for (const fs::path& nested : AppSigning::nestedBundles(app)) {
        std::optional<CodeSignature::Info> nestedSignature = CodeSignature::read(nested, problem);
        if (!nestedSignature) {
            verificationFailure(app, nested, "0xe800801c", "No code signature found.");
        }
        expires = std::min(expires, checkProvisioning(app, nested, *nestedSignature, phone, now));
    }

    std::cout << clockStamp() << "  Acquired tunnel connection to device.\n"
              << clockStamp() << "  Enabling developer disk image services.\n"
              << clockStamp() << "  Acquired usage assertion.\n" << std::flush;
    double slow = 0;
    WorldState world = World::update([&](WorldState& state) {
        slow = state.nextInstallSlow;
        state.nextInstallSlow = 0;
    });
    progress(world.realistic(), slow, app.filename().string());
    std::string bundleID = PropertyList::text(info, "CFBundleIdentifier");
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
    std::string container = Crypto::randomUUID();
    std::cout << "App installed:\n\u2022 bundleID: " << bundleID
              << "\n\u2022 installationURL: file:///private/var/containers/Bundle/Application/"
              << container << "/" << app.filename().string() << "/\n\u2022 launchServicesIdentifier: unknown"
              << "\n\u2022 databaseUUID: " << Crypto::nameUUID(phone.udid + bundleID)
              << "\n\u2022 databaseSequenceNumber: " << world.installs.size() + 1000
              << "\n\u2022 options: \n" << std::flush;
    return 0;
}

int launch(const ParsedOptions& options) {
    std::string device = options.value("--device").value_or(options.value("-d").value_or(""));
    if (device.empty() || options.positional.empty()) {
        throw ToolFailure("Usage: devicectl device process launch --device <uuid|ecid|udid|name> "
                          "[--terminate-existing] <bundle identifier> [arguments ...]",
                          64);
    }
    std::string bundleID = options.positional.front();
    Reached target = reach(device);
    if (!target.phone.developerMode) {
        throw ToolFailure("ERROR: Developer Mode is disabled on " + target.phone.name +
                          ". (com.apple.dt.CoreDeviceError error 1010 (0x3F2))");
    }
    auto installed = std::find_if(target.world.installs.begin(), target.world.installs.end(),
                                  [&](const Install& install) {
                                      return install.udid == target.phone.udid &&
                                             install.bundleID == bundleID;
                                  });
    std::string failedRequest = "ERROR: The request to open \"" + bundleID +
                                "\" failed. (FBSOpenApplicationServiceErrorDomain error 1 (0x01))\n";
    if (installed == target.world.installs.end()) {
        throw ToolFailure(failedRequest + separator + "\nERROR: The application " + bundleID +
                          " is not installed on " + target.phone.name +
                          ". (FBSOpenApplicationErrorDomain error 4 (0x04))");
    }
    if (installed->profileExpires <= target.world.now()) {
        throw ToolFailure(failedRequest + separator +
                          "\nERROR: The request was denied by service delegate (SBMainWorkspace) "
                          "for reason: Security (\"Unable to launch " + bundleID +
                          " because it has an invalid code signature, inadequate entitlements or "
                          "its profile has not been explicitly trusted by the user\").");
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
        state.launches.push_back({target.phone.udid, bundleID, pid, state.now()});
        if (state.launches.size() > 100) {
            state.launches.erase(state.launches.begin());
        }
    });
    if (world.realistic()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (fail) {
        throw ToolFailure("ERROR: The application failed to launch. (com.apple.dt.CoreDeviceError "
                          "error 10002 (0x271A))\n       BundleIdentifier = " + bundleID + "\n" +
                          separator + "\nERROR: The operation couldn\u2019t be completed. (OSStatus error -10814.)");
    }
    std::cout << "Launched application with " << bundleID << " bundle identifier.\n";
    return 0;
}

} // namespace

int devicectlDevice(const std::vector<std::string>& arguments) {
    auto parse = [&](std::size_t skip, const std::set<std::string>& flags) {
        try {
            return parseOptions({arguments.begin() + static_cast<long>(skip), arguments.end()},
                                {"--device", "-d", "--timeout"}, flags);
        } catch (const OptionError& error) {
            throw ToolFailure(std::string("Error: ") + error.what(), 64);
        }
    };
    if (arguments.size() >= 2 && arguments[0] == "install" && arguments[1] == "app") {
        return install(parse(2, {"--quiet", "-q", "--verbose", "-v"}));
    }
    if (arguments.size() >= 2 && arguments[0] == "process" && arguments[1] == "launch") {
        return launch(parse(2, {"--terminate-existing", "--quiet", "-q", "--verbose", "-v",
                                "--start-stopped", "--console"}));
    }
    throw ToolFailure("Error: Unknown command: devicectl device " + joinWords(arguments) +
                          "\napple-sim: devicectl simulates `device install app` and "
                          "`device process launch`",
                      64);
}

} // namespace AppleSim
