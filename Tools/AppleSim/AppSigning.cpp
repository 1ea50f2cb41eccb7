#include "AppSigning.hpp"

#include "CodeSignature.hpp"
#include "Failure.hpp"
#include "Files.hpp"
#include "Identities.hpp"
#include "PropertyList.hpp"
#include "World.hpp"

#include <algorithm>
#include <cctype>

namespace AppleSim::AppSigning {

namespace fs = std::filesystem;
using nlohmann::json;
using Profiles::Kind;

namespace {

std::string automaticProfileName(Kind kind, const std::string& bundleID) {
    switch (kind) {
    case Kind::development: return "iOS Team Provisioning Profile: " + bundleID;
    case Kind::adHoc: return "iOS Team Ad Hoc Provisioning Profile: " + bundleID;
    case Kind::enterprise: return "iOS Team In House Provisioning Profile: " + bundleID;
    case Kind::appStore: return "iOS Team Store Provisioning Profile: " + bundleID;
    }
    return "";
}

bool containsWildcard(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name.find("wildcard") != std::string::npos;
}

void collectNested(const fs::path& directory, int depth,
                   std::vector<std::pair<int, fs::path>>& found) {
    std::error_code error;
    std::vector<fs::path> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
        if (entry.is_directory(error) && !entry.is_symlink(error)) {
            entries.push_back(entry.path());
        }
    }
    std::sort(entries.begin(), entries.end());
    for (const fs::path& path : entries) {
        std::string extension = path.extension().string();
        bool bundle = extension == ".appex" || extension == ".app" || extension == ".framework";
        collectNested(path, depth + (bundle ? 1 : 0), found);
        if (bundle) {
            found.emplace_back(depth + 1, path);
        }
    }
}

Signed signBundle(const fs::path& bundle, const Plan& plan, WorldState& world,
                  const json& requested) {
    std::string bundleName = bundle.filename().string();
    json info = PropertyList::read((bundle / "Info.plist").string());
    std::string bundleID = PropertyList::text(info, "CFBundleIdentifier");
    if (bundleID.empty()) {
        throw Error("Bundle identifier is missing. " + bundleName +
                        " doesn't have a bundle identifier.",
                    bundleName);
    }
    bool development = plan.kind == Kind::development;
    std::string certificate = development ? "iOS Development" : "iOS Distribution";
    SigningIdentity identity = [&] {
        try {
            return Identities::load(world, development ? "development" : "distribution",
                                    world.now(), "");
        } catch (const ToolFailure&) {
            throw Error("No signing certificate \"" + certificate + "\" found: No \"" +
                            certificate + "\" signing certificate matching team ID \"" +
                            plan.teamID + "\" with a private key was found.",
                        bundleName);
        }
    }();

    std::string profileName;
    std::string appIdentifier = plan.teamID + "." + bundleID;
    if (plan.automatic) {
        profileName = automaticProfileName(plan.kind, bundleID);
        std::string key = Profiles::name(plan.kind) + ":" + bundleID;
        bool downloaded = std::find(world.downloadedProfiles.begin(),
                                    world.downloadedProfiles.end(),
                                    key) != world.downloadedProfiles.end();
        if (!downloaded && !plan.allowProvisioningUpdates) {
            throw Error("No profiles for '" + bundleID + "' were found: Xcode couldn't find any " +
                            Profiles::typeName(plan.kind) + " provisioning profiles matching '" +
                            bundleID + "'. Automatic signing is disabled and unable to generate a "
                            "profile. To enable automatic signing, pass "
                            "-allowProvisioningUpdates to xcodebuild.",
                        bundleName);
        }
        if (!downloaded) {
            world.downloadedProfiles.push_back(key);
        }
    } else {
        auto chosen = plan.manualProfiles.find(bundleID);
        if (chosen == plan.manualProfiles.end() || chosen->second.empty()) {
            throw Error("\"" + bundleName + "\" requires a provisioning profile.", bundleName);
        }
        profileName = chosen->second;
        if (containsWildcard(profileName)) {
            appIdentifier = plan.teamID + ".*";
        }
    }
    bool push = requested.is_object() && requested.contains("aps-environment");
    if (push && appIdentifier.back() == '*') {
        throw Error("Provisioning profile \"" + profileName +
                        "\" doesn't support the Push Notifications capability.",
                    bundleName);
    }
    Profiles::Profile profile =
        Profiles::make(world, plan.kind, appIdentifier, profileName, push, identity);
    writeFileAtomically(bundle / "embedded.mobileprovision", profile.bytes, 0644);
    makeDirectories(World::directory() / "profiles", 0700);
    writeFileAtomically(World::directory() / "profiles" / (profile.uuid + ".mobileprovision"),
                        profile.bytes, 0644);

    json entitlements = requested.is_object() ? requested : json::object();
    entitlements["application-identifier"] = plan.teamID + "." + bundleID;
    entitlements["com.apple.developer.team-identifier"] = plan.teamID;
    entitlements["get-task-allow"] = development;
    if (push) {
        entitlements["aps-environment"] = development ? "development" : "production";
    }
    CodeSignature::sign(bundle, bundleID, plan.teamID, entitlements, identity);
    return {bundle,       bundleID,     identity.identity.name, identity.identity.sha1,
            profile.name, profile.uuid};
}

} // namespace

std::vector<fs::path> nestedBundles(const fs::path& app) {
    std::vector<std::pair<int, fs::path>> found;
    collectNested(app, 0, found);
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& left, const auto& right) { return left.first > right.first; });
    std::vector<fs::path> bundles;
    for (const auto& [depth, path] : found) {
        bundles.push_back(path);
    }
    return bundles;
}

std::vector<Signed> signApp(const fs::path& app, const Plan& plan, WorldState& world,
                            const EntitlementsOf& entitlementsOf) {
    if (!world.team || world.team->id != plan.teamID) {
        throw Error("No Account for Team \"" + plan.teamID +
                        "\". Add a new account in Accounts settings or verify that your accounts "
                        "have valid credentials.",
                    app.filename().string());
    }
    std::vector<Signed> result;
    for (const fs::path& bundle : nestedBundles(app)) {
        result.push_back(signBundle(bundle, plan, world, entitlementsOf(bundle)));
    }
    result.push_back(signBundle(app, plan, world, entitlementsOf(app)));
    return result;
}

} // namespace AppleSim::AppSigning
