// Building a target's product as an archive build does: the bundle with its executable
// (code compiled from the target's sources), its generated Info.plist (binary, with
// CFBundleSupportedPlatforms and MinimumOSVersion), its resources and compiled asset catalog,
// and the products it embeds (app extensions in PlugIns, a Watch app in Watch). Signing is
// left to the caller.
#pragma once

#include "BuildSettings.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace AppleSim {

class BuildLog;
struct Project;
struct Target;

/// A build error, worded as Xcode prints it (without "error: " and the target suffix).
class BuildError : public std::runtime_error {
public:
    BuildError(const std::string& message, std::string target)
        : std::runtime_error(message), target_(std::move(target)) {}
    const std::string& target() const { return target_; }

private:
    std::string target_;
};

struct BuildRequest {
    const Project* project = nullptr;
    std::string configuration;
    std::map<std::string, std::string> overrides;
    std::string sdkVersion;
    std::string xcodeVersion;
    std::uint64_t payload = 0; // size of an incompressible Assets.car in the app, or 0
    std::filesystem::path intermediates;
};

struct Product {
    std::filesystem::path bundle;
    std::string bundleID;
    std::string productName;
    const Target* target = nullptr;
    nlohmann::json entitlements = nlohmann::json::object(); // what CODE_SIGN_ENTITLEMENTS asks for
    std::string teamID;
    std::string signingStyle;
    std::string provisioningProfile; // PROVISIONING_PROFILE_SPECIFIER
    std::vector<Product> embedded;
};

/// Builds `target` into `directory`/<product>.<extension>, its embedded products first.
/// Throws BuildError.
Product buildProduct(const Target& target, const std::filesystem::path& directory,
                     const BuildRequest& request, BuildLog& log);

} // namespace AppleSim
