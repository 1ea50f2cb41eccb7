// Signing a built app the way Xcode does for a kind of distribution: every nested bundle
// first, each with its own provisioning profile and entitlements, then the app itself.
#pragma once

#include "Profiles.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace AppleSim {

struct WorldState;

namespace AppSigning {

/// A refusal, worded as Xcode words it; the caller adds its "error: ..." framing.
class Error : public std::runtime_error {
public:
    Error(const std::string& message, std::string bundleName)
        : std::runtime_error(message), bundleName_(std::move(bundleName)) {}
    /// The bundle's directory name ("SampleApp.app"), for the caller's framing.
    const std::string& bundleName() const { return bundleName_; }

private:
    std::string bundleName_;
};

struct Plan {
    Profiles::Kind kind = Profiles::Kind::development;
    bool automatic = true;
    bool allowProvisioningUpdates = false;
    std::map<std::string, std::string> manualProfiles; // bundle identifier -> profile name
    std::string teamID;
};

/// What signed one bundle, for the build log.
struct Signed {
    std::filesystem::path bundle;
    std::string identifier;
    std::string identity; // certificate name
    std::string identitySHA1;
    std::string profileName;
    std::string profileUUID;
};

/// The entitlements a bundle asks for (from its .entitlements file, or its earlier signature).
using EntitlementsOf = std::function<nlohmann::json(const std::filesystem::path& bundle)>;

/// Signs `app` and everything nested in it according to `plan`. Records profiles Xcode
/// downloads in `world`. Throws Error.
std::vector<Signed> signApp(const std::filesystem::path& app, const Plan& plan, WorldState& world,
                            const EntitlementsOf& entitlementsOf);

/// Nested bundles of `app` (.appex, .app, .framework), deepest first.
std::vector<std::filesystem::path> nestedBundles(const std::filesystem::path& app);

} // namespace AppSigning

} // namespace AppleSim
