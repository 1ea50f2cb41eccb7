// Code signatures of app bundles, shaped like Apple's: the executable is a Mach-O file whose
// LC_CODE_SIGNATURE points at a signature superblob (a code directory hashing the code pages,
// Info.plist, the resource seal and the entitlements; the entitlements; and a CMS signature of
// the code directory by the signing identity). _CodeSignature/CodeResources seals every other
// file of the bundle by its hash and every nested bundle (app extensions, frameworks, a Watch
// app) by its code directory hash, so any added, removed or changed byte is found.
#pragma once

#include "Crypto.hpp"

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace AppleSim {

struct SigningIdentity;

namespace CodeSignature {

/// Signs `bundle` (an .app, .appex or .framework holding Info.plist and its executable) as
/// `identifier` of `teamID` with `entitlements`. Nested bundles must be signed first.
void sign(const std::filesystem::path& bundle, const std::string& identifier,
          const std::string& teamID, const nlohmann::json& entitlements,
          const SigningIdentity& identity);

/// What a valid signature says.
struct Info {
    std::string identifier;
    std::string teamID;
    std::string cdhash; // raw, 20 bytes
    nlohmann::json entitlements = nlohmann::json::object();
    Crypto::Certificate signer;
    std::filesystem::path executable;
};

/// Verifies `bundle` as `codesign --verify --deep --strict` does: every hash, the CMS
/// signature (chained to the simulated authority), every sealed file and, recursively, every
/// nested bundle. Returns the signature's information, or nothing with `problem` set to
/// codesign's account of what is wrong (several lines, each naming the path).
std::optional<Info> verify(const std::filesystem::path& bundle, std::string& problem);

/// Reads the signature of `bundle` without checking the files it seals (codesign -d).
/// Returns nothing with `problem` set when the bundle is not signed or the signature is damaged.
std::optional<Info> read(const std::filesystem::path& bundle, std::string& problem);

} // namespace CodeSignature

} // namespace AppleSim
