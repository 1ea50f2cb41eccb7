// Provisioning profiles: a property list describing which app identifier, devices and
// entitlements a team may sign for, wrapped in CMS SignedData by the team's certificate.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace AppleSim {

struct SigningIdentity;
struct WorldState;

namespace Profiles {

/// The four kinds Xcode exports with.
enum class Kind { development, adHoc, enterprise, appStore };

/// Xcode's export method names, old and new ("debugging", "release-testing", ...).
std::optional<Kind> kindOfMethod(const std::string& method);
/// The word used in the world's records and in messages: development, ad-hoc, ...
std::string name(Kind kind);
/// "iOS App Development", "Ad Hoc", "In House", "App Store": how Xcode names profile types.
std::string typeName(Kind kind);

struct Profile {
    std::string bytes; // the CMS message, what embedded.mobileprovision holds
    nlohmann::json content;
    std::string uuid;
    std::string name;
};

/// A profile of `kind` for `appIdentifier` ("TEAM.bundle.id" or "TEAM.*"), listing the
/// team's registered devices (or all devices for enterprise), valid for a year from the
/// simulated now or until the signing certificate expires. `push` adds aps-environment.
Profile make(const WorldState& world, Kind kind, const std::string& appIdentifier,
             const std::string& profileName, bool push, const SigningIdentity& signer);

/// Verifies and decodes a profile; nothing with `problem` set when it is not a CMS message
/// signed by a simulated team or holds no property-list dictionary.
std::optional<nlohmann::json> decode(std::string_view bytes, std::string& problem);

} // namespace Profiles

} // namespace AppleSim
