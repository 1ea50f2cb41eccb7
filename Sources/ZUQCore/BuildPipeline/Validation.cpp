#include "BuildPipeline.hpp"

#include "ProcessRunner.hpp"

#include <algorithm>
#include <cctype>

namespace fs = std::filesystem;
using Platform::PropertyList;
using ProcessRunner::Failure;

namespace BuildPipeline {

namespace {

bool listsText(const PropertyList& list, const std::string& text) {
    const auto& items = list.items();
    return std::any_of(items.begin(), items.end(),
                       [&](const PropertyList& item) { return item.string() == text; });
}

bool isTrue(const PropertyList& value) {
    return value.boolean() == true;
}

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The run of digits at `at`, without leading zeros; moves `at` past it.
std::string_view digitRun(std::string_view text, std::size_t& at) {
    std::size_t start = at;
    while (at < text.size() && isDigit(text[at])) {
        ++at;
    }
    std::string_view run = text.substr(start, at - start);
    std::size_t significant = run.find_first_not_of('0');
    return significant == std::string_view::npos ? std::string_view() : run.substr(significant);
}

// Letters and digits of ASCII, '-' and '.': the characters a bundle identifier may hold.
bool isBundleIdentifier(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    });
}

// "Info.plist" of a bundle, which must be a dictionary.
PropertyList infoPlist(const fs::path& bundle) {
    PropertyList info = PropertyList::read(bundle / "Info.plist");
    if (info.kind() != PropertyList::Kind::dictionary) {
        throw ZUQError("Invalid plist: Info.plist");
    }
    return info;
}

PropertyList dictionaryFrom(const std::string& output, std::string_view origin) {
    PropertyList value = PropertyList::decode(output, origin);
    if (value.kind() != PropertyList::Kind::dictionary) {
        throw ZUQError("Cannot read provisioning or signed entitlements");
    }
    return value;
}

} // namespace

void validateProfile(const PropertyList& profile, const PropertyList& entitlements,
                     const std::string& udid, DeploymentMode mode,
                     const std::string& bundleID, PropertyList::Date now) {
    auto expiration = profile["ExpirationDate"].date();
    if (!expiration || *expiration <= now) {
        throw ZUQError("Provisioning profile is expired");
    }
    if (!listsText(profile["ProvisionedDevices"], udid)) {
        throw ZUQError("The selected iPhone UDID is missing from the provisioning profile for " +
                       bundleID +
                       ". Register it in the Apple Developer team and regenerate the profile.");
    }

    const PropertyList& allowed = profile["Entitlements"];
    const std::string& signedIdentifier = entitlements["application-identifier"].text();
    std::string_view profileIdentifier = allowed["application-identifier"].text();
    bool covered = profileIdentifier.ends_with(".*")
                       ? signedIdentifier.starts_with(
                             profileIdentifier.substr(0, profileIdentifier.size() - 1))
                       : signedIdentifier == profileIdentifier;
    if (!covered || !signedIdentifier.ends_with("." + bundleID)) {
        throw ZUQError("Bundle ID and signing profile do not match");
    }

    if (mode == DeploymentMode::adhoc) {
        if (isTrue(entitlements["get-task-allow"]) || isTrue(allowed["get-task-allow"])) {
            throw ZUQError("Ad Hoc export still has development debugger entitlements");
        }
    } else if (!isTrue(entitlements["get-task-allow"])) {
        throw ZUQError("Debug export is not development signed");
    }

    if (auto push = entitlements["aps-environment"].string()) {
        std::string expected = mode == DeploymentMode::adhoc ? "production" : "development";
        if (*push != expected || allowed["aps-environment"].string() != expected) {
            throw ZUQError("APNs entitlement must be " + expected + " for " + std::string(text(mode)) +
                           ". Check signing and export profiles.");
        }
    }
}

bool versionPrecedes(std::string_view lhs, std::string_view rhs) {
    std::size_t i = 0, j = 0;
    while (i < lhs.size() && j < rhs.size()) {
        if (isDigit(lhs[i]) && isDigit(rhs[j])) {
            std::string_view a = digitRun(lhs, i), b = digitRun(rhs, j);
            if (a.size() != b.size()) {
                return a.size() < b.size();
            }
            if (a != b) {
                return a < b;
            }
            continue;
        }
        if (lhs[i] != rhs[j]) {
            return static_cast<unsigned char>(lhs[i]) < static_cast<unsigned char>(rhs[j]);
        }
        ++i;
        ++j;
    }
    // "18" and "18.0" name the same release: what is left counts only if it is not zeros.
    std::string_view rest = j < rhs.size() ? rhs.substr(j) : std::string_view();
    return rest.find_first_not_of(".0") != std::string_view::npos;
}

JSON validateApp(const fs::path& app, const std::string& udid, DeploymentMode mode,
                 const std::string& phoneOS, const std::optional<fs::path>& log,
                 const std::optional<std::string>& job, std::stop_token stop) {
    ProcessRunner::run("/usr/bin/codesign", {"--verify", "--deep", "--strict", app.string()},
                       std::nullopt, log, 120, job, Failure::raised, stop);

    PropertyList info = infoPlist(app);
    std::optional<std::string> bundleID = info["CFBundleIdentifier"].string();
    if (!bundleID || bundleID->empty() ||
        !listsText(info["CFBundleSupportedPlatforms"], "iPhoneOS")) {
        throw ZUQError("The build is not a physical-device iOS app");
    }
    // The identifier reaches the device tool's command line; only Apple's own alphabet for it
    // may, so that it can never be read as anything but an identifier.
    if (!isBundleIdentifier(*bundleID)) {
        throw ZUQError("The app's bundle identifier \"" + *bundleID +
                       "\" is not valid: it may hold only letters, digits, hyphens and periods.");
    }
    std::string minimum = info["MinimumOSVersion"].string().value_or("0");
    if (!phoneOS.empty() && versionPrecedes(phoneOS, minimum)) {
        throw ZUQError("App requires iOS " + minimum + "; selected device has " + phoneOS);
    }
    std::error_code ignored;
    if (fs::symlink_status(app / "Watch", ignored).type() != fs::file_type::not_found &&
        !ignored) {
        throw ZUQError("Apps with embedded Watch apps need companion-device provisioning, which "
                       "this ZUQ version does not yet support.");
    }

    std::vector<fs::path> bundles{app};
    for (fs::path& extension : extensionBundles(app)) {
        bundles.push_back(std::move(extension));
    }
    std::string push;
    for (const fs::path& bundle : bundles) {
        std::string identifier = infoPlist(bundle)["CFBundleIdentifier"].text();
        fs::path profilePath = bundle / "embedded.mobileprovision";
        if (!fs::is_regular_file(profilePath, ignored)) {
            throw ZUQError("Missing provisioning profile in " + bundle.filename().string());
        }
        ProcessResult profile =
            ProcessRunner::run("/usr/bin/security", {"cms", "-D", "-i", profilePath.string()},
                               std::nullopt, std::nullopt, 30, job, Failure::raised, stop);
        ProcessResult signature = ProcessRunner::run(
            "/usr/bin/codesign", {"-d", "--entitlements", ":-", bundle.string()}, std::nullopt,
            std::nullopt, 30, job, Failure::raised, stop);
        PropertyList decoded = dictionaryFrom(profile.output, "The profile " + profilePath.string());
        PropertyList entitlements =
            dictionaryFrom(signature.output, "The signed entitlements of " + bundle.string());
        validateProfile(decoded, entitlements, udid, mode, identifier,
                        std::chrono::time_point_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now()));
        if (bundle == app) {
            push = entitlements["aps-environment"].string().value_or("none");
        }
    }

    return JSON::object({
        {"bundle_id", *bundleID},
        {"version", info["CFBundleShortVersionString"].text()},
        {"build", info["CFBundleVersion"].text()},
        {"minimum_os", minimum},
        {"aps_environment", push},
    });
}

} // namespace BuildPipeline
