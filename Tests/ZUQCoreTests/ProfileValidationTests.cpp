#include "BuildPipeline.hpp"
#include "Support.hpp"

#include <functional>

#include <gtest/gtest.h>

using Platform::PropertyList;
using TestSupport::failure;

namespace {

using namespace std::chrono_literals;

const std::string udid = "00008130-001A22B344C5D66E";
const std::string bundle = "com.example.app";
const PropertyList::Date now =
    std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());

const std::string expired = "Provisioning profile is expired";
const std::string unlisted =
    "The selected iPhone UDID is missing from the provisioning profile for com.example.app. "
    "Register it in the Apple Developer team and regenerate the profile.";
const std::string mismatch = "Bundle ID and signing profile do not match";
const std::string debugger = "Ad Hoc export still has development debugger entitlements";
const std::string notDevelopment = "Debug export is not development signed";
const std::string pushAdhoc =
    "APNs entitlement must be production for adhoc. Check signing and export profiles.";
const std::string pushDebug =
    "APNs entitlement must be development for debug. Check signing and export profiles.";

// A profile and signature that pass in `mode`; each case changes what it is about.
struct Signing {
    PropertyList::Dictionary profile;
    PropertyList::Dictionary allowed; // the profile's "Entitlements"
    PropertyList::Dictionary entitlements;

    explicit Signing(const std::string& mode) {
        bool debugging = mode == "debug";
        profile = {{"ExpirationDate", now + 24h},
                   {"ProvisionedDevices", PropertyList::Array{"00008101-AAAA", udid}}};
        allowed = {{"application-identifier", "TEAM123456." + bundle},
                   {"get-task-allow", debugging}};
        entitlements = {{"application-identifier", "TEAM123456." + bundle},
                        {"get-task-allow", debugging}};
    }

    std::string check(const std::string& mode) const {
        PropertyList::Dictionary whole = profile;
        whole["Entitlements"] = allowed;
        return failure([&] {
            BuildPipeline::validateProfile(whole, entitlements, udid, deploymentMode(mode).value(),
                                           bundle, now);
        });
    }
};

using Change = std::function<void(Signing&)>;

void set(PropertyList::Dictionary& dictionary, const std::string& key,
         std::optional<PropertyList> value) {
    if (value) {
        dictionary[key] = *value;
    } else {
        dictionary.erase(key);
    }
}

TEST(ProfileValidation, ExpiryDevicesAndIdentifiersComeFirst) {
    struct Case {
        const char* name;
        Change change;
        std::string expected;
    };
    const Case cases[] = {
        {"valid", [](Signing&) {}, "no error"},
        {"expiring exactly now", [](Signing& s) { s.profile["ExpirationDate"] = now; }, expired},
        {"expired yesterday", [](Signing& s) { s.profile["ExpirationDate"] = now - 24h; },
         expired},
        {"no expiry", [](Signing& s) { s.profile.erase("ExpirationDate"); }, expired},
        {"expiry as text", [](Signing& s) { s.profile["ExpirationDate"] = "2999-01-01"; },
         expired},
        // Expiry is checked before anything else is.
        {"expired and unlisted",
         [](Signing& s) {
             s.profile["ExpirationDate"] = now - 1s;
             s.profile.erase("ProvisionedDevices");
         },
         expired},
        {"phone not listed",
         [](Signing& s) { s.profile["ProvisionedDevices"] = PropertyList::Array{"other"}; },
         unlisted},
        {"phone listed in other letter case",
         [](Signing& s) {
             s.profile["ProvisionedDevices"] = PropertyList::Array{"00008130-001a22b344c5d66e"};
         },
         unlisted},
        {"no device list (all devices)",
         [](Signing& s) {
             s.profile.erase("ProvisionedDevices");
             s.profile["ProvisionsAllDevices"] = true;
         },
         unlisted},
        {"wildcard profile",
         [](Signing& s) { s.allowed["application-identifier"] = "TEAM123456.*"; }, "no error"},
        {"wildcard profile of another team",
         [](Signing& s) { s.allowed["application-identifier"] = "OTHERTEAM1.*"; }, mismatch},
        {"profile for another app",
         [](Signing& s) { s.allowed["application-identifier"] = "TEAM123456.com.example.other"; },
         mismatch},
        {"signed for another bundle than this one",
         [](Signing& s) {
             s.allowed["application-identifier"] = "TEAM123456.com.example.other";
             s.entitlements["application-identifier"] = "TEAM123456.com.example.other";
         },
         mismatch},
        {"identifier whose tail only resembles the bundle's",
         [](Signing& s) {
             s.allowed["application-identifier"] = "TEAM123456.*";
             s.entitlements["application-identifier"] = "TEAM123456.xcom.example.app";
         },
         mismatch},
        {"no identifier on either side",
         [](Signing& s) {
             s.allowed.erase("application-identifier");
             s.entitlements.erase("application-identifier");
         },
         mismatch},
        {"identifier of the wrong kind",
         [](Signing& s) { s.entitlements["application-identifier"] = 7; }, mismatch},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string mode : {"adhoc", "debug"}) {
            SCOPED_TRACE(mode);
            Signing signing(mode);
            c.change(signing);
            EXPECT_EQ(signing.check(mode), c.expected);
        }
    }
}

TEST(ProfileValidation, DebuggerAndPushEntitlementsFollowTheMode) {
    // The decision table: nothing means the key is absent.
    struct Case {
        std::string mode;
        std::optional<PropertyList> signedDebugger, profileDebugger, signedPush, profilePush;
        std::string expected;
    };
    const Case cases[] = {
        {"adhoc", true, false, std::nullopt, std::nullopt, debugger},
        {"adhoc", true, std::nullopt, "production", "production", debugger},
        {"adhoc", false, true, std::nullopt, std::nullopt, debugger},
        {"adhoc", std::nullopt, true, "production", "production", debugger},
        {"adhoc", false, false, std::nullopt, "development", "no error"},
        {"adhoc", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "no error"},
        {"adhoc", "true", "YES", std::nullopt, std::nullopt, "no error"},
        {"adhoc", false, std::nullopt, "production", "production", "no error"},
        {"adhoc", false, false, "production", std::nullopt, pushAdhoc},
        {"adhoc", false, false, "production", "development", pushAdhoc},
        {"adhoc", false, false, "development", "development", pushAdhoc},
        {"adhoc", false, false, "development", "production", pushAdhoc},
        {"debug", false, true, std::nullopt, std::nullopt, notDevelopment},
        {"debug", std::nullopt, true, std::nullopt, std::nullopt, notDevelopment},
        {"debug", "true", true, std::nullopt, std::nullopt, notDevelopment},
        {"debug", true, false, std::nullopt, "production", "no error"},
        {"debug", true, std::nullopt, "development", "development", "no error"},
        {"debug", true, true, "development", std::nullopt, pushDebug},
        {"debug", true, true, "development", "production", pushDebug},
        {"debug", true, true, "production", "production", pushDebug},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.mode << " " << c.signedDebugger.has_value() << c.profileDebugger.has_value()
                     << " " << c.signedPush.value_or("-").text() << "/"
                     << c.profilePush.value_or("-").text());
        Signing signing(c.mode);
        set(signing.entitlements, "get-task-allow", c.signedDebugger);
        set(signing.allowed, "get-task-allow", c.profileDebugger);
        set(signing.entitlements, "aps-environment", c.signedPush);
        set(signing.allowed, "aps-environment", c.profilePush);
        EXPECT_EQ(signing.check(c.mode), c.expected);
    }
}

TEST(ProfileValidation, TheMessageNamesTheBundleUnderTest) {
    Signing signing("adhoc");
    signing.profile["ProvisionedDevices"] = PropertyList::Array{};
    PropertyList::Dictionary whole = signing.profile;
    whole["Entitlements"] = signing.allowed;
    EXPECT_EQ(failure([&] {
                  BuildPipeline::validateProfile(whole, signing.entitlements, udid, DeploymentMode::adhoc,
                                                 "com.example.app.widget", now);
              }),
              "The selected iPhone UDID is missing from the provisioning profile for "
              "com.example.app.widget. Register it in the Apple Developer team and regenerate "
              "the profile.");
}

TEST(VersionOrder, DigitsCompareByValueAndTrailingZerosDoNotCount) {
    struct Case {
        const char* lhs;
        const char* rhs;
        bool precedes;
    };
    const Case cases[] = {
        {"17.4", "17.10", true},  {"17.10", "17.4", false}, {"17.4", "17.4", false},
        {"18", "18.0", false},    {"18.0", "18", false},    {"18.0.0", "18", false},
        {"18", "18.0.1", true},   {"18.1", "18.1.1", true}, {"9.3", "10.0", true},
        {"17.04", "17.4", false}, {"17.4", "17.04", false}, {"17.4b", "17.4", false},
        {"17.4", "17.4b", true},  {"0", "17.0", true},      {"18.2", "0", false},
        {"", "17.0", true},       {"17.0", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BuildPipeline::versionPrecedes(c.lhs, c.rhs), c.precedes)
            << c.lhs << " before " << c.rhs;
    }
}

} // namespace
