#include "Profiles.hpp"

#include "Identities.hpp"
#include "PropertyList.hpp"

#include <algorithm>

namespace AppleSim::Profiles {

using nlohmann::json;

std::optional<Kind> kindOfMethod(const std::string& method) {
    if (method == "debugging" || method == "development") {
        return Kind::development;
    }
    if (method == "release-testing" || method == "ad-hoc") {
        return Kind::adHoc;
    }
    if (method == "enterprise") {
        return Kind::enterprise;
    }
    if (method == "app-store-connect" || method == "app-store") {
        return Kind::appStore;
    }
    return std::nullopt;
}

std::string name(Kind kind) {
    switch (kind) {
    case Kind::development: return "development";
    case Kind::adHoc: return "ad-hoc";
    case Kind::enterprise: return "enterprise";
    case Kind::appStore: return "app-store";
    }
    return "";
}

std::string typeName(Kind kind) {
    switch (kind) {
    case Kind::development: return "iOS App Development";
    case Kind::adHoc: return "Ad Hoc";
    case Kind::enterprise: return "In House";
    case Kind::appStore: return "App Store";
    }
    return "";
}

Profile make(const WorldState& world, Kind kind, const std::string& appIdentifier,
             const std::string& profileName, bool push, const SigningIdentity& signer) {
    const Team& team = *world.team;
    double now = world.now();
    double expires = std::min(now + 365.0 * 86400, signer.identity.notAfter);
    bool development = kind == Kind::development;
    json entitlements = {
        {"application-identifier", appIdentifier},
        {"com.apple.developer.team-identifier", team.id},
        {"get-task-allow", development},
        {"keychain-access-groups", {team.id + ".*", "com.apple.token"}},
    };
    if (push) {
        entitlements["aps-environment"] = development ? "development" : "production";
    }
    if (kind == Kind::appStore) {
        entitlements["beta-reports-active"] = true;
    }
    Profile profile;
    profile.uuid = Crypto::randomUUID();
    profile.name = profileName;
    std::string bundle = appIdentifier.substr(appIdentifier.find('.') + 1);
    json content = {
        {"AppIDName", bundle == "*" ? "XC Wildcard" : "XC " + bundle},
        {"ApplicationIdentifierPrefix", {team.id}},
        {"CreationDate", PropertyList::date(now)},
        {"Platform", {"iOS", "xrOS", "visionOS"}},
        {"IsXcodeManaged", profileName.rfind("iOS Team", 0) == 0},
        {"DeveloperCertificates", {PropertyList::data(Crypto::der(signer.certificate))}},
        {"Entitlements", entitlements},
        {"ExpirationDate", PropertyList::date(expires)},
        {"Name", profileName},
        {"TeamIdentifier", {team.id}},
        {"TeamName", team.name},
        {"TimeToLive", 365},
        {"UUID", profile.uuid},
        {"Version", 1},
    };
    if (kind == Kind::enterprise) {
        content["ProvisionsAllDevices"] = true;
    } else if (kind != Kind::appStore) {
        json devices = json::array();
        for (const RegisteredDevice& device : world.registeredDevices) {
            devices.push_back(device.udid);
        }
        content["ProvisionedDevices"] = devices;
    }
    profile.content = content;
    profile.bytes = Crypto::signCMS(PropertyList::xml(content), signer.certificate, signer.key,
                                    false);
    return profile;
}

std::optional<json> decode(std::string_view bytes, std::string& problem) {
    std::optional<Crypto::Verified> verified = Crypto::verifyCMS(bytes, std::nullopt, problem);
    if (!verified) {
        return std::nullopt;
    }
    try {
        json content = PropertyList::parse(verified->content);
        if (!content.is_object()) {
            problem = "the signed content is not a dictionary";
            return std::nullopt;
        }
        return content;
    } catch (const PropertyList::Error& error) {
        problem = std::string("the signed content is not a property list: ") + error.what();
        return std::nullopt;
    }
}

} // namespace AppleSim::Profiles
