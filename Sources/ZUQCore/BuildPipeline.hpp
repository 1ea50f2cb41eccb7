// What a builder Mac does with a claimed job (archive, export, check, pack, encrypt, upload)
// and what the receiver does with its build (download, decrypt, check again, install, launch).
#pragma once

#include "API.hpp"
#include "JSON.hpp"
#include "Platform/PropertyList.hpp"
#include "Records.hpp"
#include "Storage.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

/// The build and install pipeline. Stateless; every function may run on several threads at
/// once for different jobs. Tools run through ProcessRunner under the job's identifier, so
/// `ProcessRunner::cancel(job)` reaches the one running; a stop requested on the `stop` token
/// of an operation refuses the next tool start, ends a running tool and cuts short a transfer
/// or the wait before an upload is tried again (each with CancellationError or the tool's
/// failure).
namespace BuildPipeline {

/// Receives each progress text, in order; never throws.
using Event = std::function<void(const std::string&)>;


// MARK: Archive and export

/// The arguments of `/usr/bin/xcrun` that archive `scheme` in `configuration` into
/// `directory`/App.xcarchive, with Xcode's intermediate files in `directory`/DerivedData:
/// "xcodebuild", "archive", "-workspace" or "-project" and the path, "-scheme", "-configuration",
/// "-destination" "generic/platform=iOS", "-archivePath", "-derivedDataPath", then for
/// automatic signing "-allowProvisioningUpdates" "CODE_SIGN_STYLE=Automatic", then
/// "DEVELOPMENT_TEAM=<team>" when the project names a team. Throws ZUQError "Scheme/configuration
/// is not allowed by this Mac's registered project. Refresh the project registration." unless
/// both are registered (exact, case-sensitive).
std::vector<std::string> archiveArguments(const Project& project, const std::string& scheme,
                                          const std::string& configuration,
                                          const std::filesystem::path& directory);

/// The arguments of `/usr/bin/xcrun` that export `directory`/App.xcarchive into
/// `directory`/Export with `directory`/ExportOptions.plist, ending with
/// "-allowProvisioningUpdates" for automatic signing.
std::vector<std::string> exportArguments(const Project& project,
                                         const std::filesystem::path& directory);

/// The export options for `mode`: the owner's export-options file, when the project names one,
/// with "method" ("release-testing" for adhoc, "debugging" for debug), "destination"
/// ("export"), "signingStyle", "thinning" ("<none>"), "manageAppVersionAndBuildNumber" (false)
/// and, when the project names a team, "teamID" set over it. Throws the file's own read or
/// parse error, and ZUQError "Invalid export-options plist" when it is not a dictionary.
Platform::PropertyList::Dictionary exportOptions(const Project& project, DeploymentMode mode);

// MARK: IPAs

/// How much an IPA may unpack to. An IPA may come from another Mac of the group, which is
/// trusted with the group key but not with this Mac's disk.
struct UnpackLimits {
    /// Entries an IPA may list.
    std::uint64_t entries = 100'000;
    /// Bytes its entries may expand to together; never more than the free space either.
    std::uint64_t bytes = std::uint64_t(8) << 30;
};

/// Screens the IPA from its own ZIP structure before anything is written, expands it into a
/// fresh `destination` (0700; anything there before is removed first) with `ditto`, whose
/// output goes to `log`, and returns the one app bundle in `destination`/Payload.
///
/// The screen reads the central directory and every local header itself (no listing can be cut
/// short) and throws ZUQError: "Unsafe IPA archive path" for an entry name, or a Unicode path
/// name beside it, that is empty, absolute, holds a backslash or a NUL, or climbs with a ".."
/// piece; "IPAs containing symbolic links are not supported by this ZUQ version." for a link;
/// "IPAs containing device files, pipes or sockets are not supported by this ZUQ version.";
/// "The IPA lists <n> entries; this Mac unpacks at most <entries>"; "The IPA expands to <n>
/// bytes, more than the <bytes> this Mac unpacks" (or "… than the <n> free in <folder>");
/// "The IPA is not a well-formed ZIP archive: <what>" for an archive whose entries do not
/// account for every byte, or an entry that does not expand to exactly what it declares (each
/// is expanded in memory first, and cut off as soon as it yields more). After `ditto`,
/// anything it made that is not a plain file or folder is removed and refused the same way.
/// "IPA must contain exactly one iOS app" unless Payload holds exactly one "*.app" (other
/// top-level folders, such as SwiftSupport or Symbols, are allowed). Tool failures and file
/// errors pass through; what the expansion wrote stays for the caller to remove.
std::filesystem::path extractIPA(const std::filesystem::path& ipa,
                                 const std::filesystem::path& destination,
                                 const std::optional<std::filesystem::path>& log,
                                 const std::optional<std::string>& job, std::stop_token stop = {},
                                 const UnpackLimits& limits = {});

/// Every directory below `app`, at any depth, named "*.appex", in the order the directory is
/// walked; unreadable directories are skipped and nothing is thrown.
std::vector<std::filesystem::path> extensionBundles(const std::filesystem::path& app);

// MARK: Validation

/// Checks one code bundle's provisioning profile and signed entitlements for a phone and a
/// mode, at `now`. Throws ZUQError at the first rule that fails: "Provisioning profile is
/// expired"; "The selected iPhone UDID is missing from the provisioning profile for <bundleID>.
/// Register it in the Apple Developer team and regenerate the profile."; "Bundle ID and signing
/// profile do not match"; "Ad Hoc export still has development debugger entitlements"; "Debug
/// export is not development signed"; "APNs entitlement must be <production|development> for
/// <mode>. Check signing and export profiles.". No side effects.
void validateProfile(const Platform::PropertyList& profile,
                     const Platform::PropertyList& entitlements, const std::string& udid,
                     DeploymentMode mode, const std::string& bundleID,
                     Platform::PropertyList::Date now);

/// Whether version text `lhs` orders before `rhs`: runs of digits compare by value, anything
/// else as text, and trailing zero components do not count ("18" equals "18.0").
bool versionPrecedes(std::string_view lhs, std::string_view rhs);

/// Decides whether the unpacked `app` can run on the phone `udid` (running iOS `phoneOS`;
/// empty skips that check) in `mode`: verifies its signature with `codesign` (output to
/// `log`), requires a physical-device iOS app whose bundle identifier holds only letters,
/// digits, hyphens and periods, new enough for the phone and without a Watch app, and checks
/// the app and each of its extensions with `validateProfile`. Returns
/// {"bundle_id", "version", "build", "minimum_os", "aps_environment"} of the app. Writes
/// nothing.
JSON validateApp(const std::filesystem::path& app, const std::string& udid,
                 DeploymentMode mode, const std::string& phoneOS,
                 const std::optional<std::filesystem::path>& log,
                 const std::optional<std::string>& job, std::stop_token stop = {});

// MARK: Jobs

/// Builds a claimed job on this Mac: archives and exports its registered project in the job's
/// directory under the state directory ("Jobs/<id>"), checks the app as the receiver will,
/// packs it with its manifest, encrypts it with the group key and uploads it (trying again
/// after 5 seconds, 4 attempts in all), then reports the build finished. Progress texts go to
/// `event`. Whatever the outcome, the package, the encrypted build, the validation copy and
/// Xcode's intermediate files are removed; "build.log", "ExportOptions.plist", the archive and
/// the export stay.
void build(const JSON& job, const std::string& lease, const Credentials& credentials,
           const API& api, const Event& event, std::stop_token stop = {});

/// Installs a built job on this Mac's phone: downloads and decrypts the build into
/// "Jobs/<id>/Receive", refuses it unless its manifest names this job, this Mac, the phone and
/// the mode, checks the app again, installs and launches it with `devicectl` (waiting a while
/// for a locked or busy phone, see Devices::install) and reports the job finished. Whatever
/// the outcome, only "install.log" stays in the receive directory. `limits` bounds what the
/// build's IPA may unpack to.
void install(const JSON& job, const std::string& lease, const Credentials& credentials,
             const API& api, const Event& event, std::stop_token stop = {},
             const UnpackLimits& limits = {});

/// Throws ZUQError "Job stopped: <state>" unless the relay reports the job in `state`.
void assertActive(const API& api, const std::string& id, std::string_view state);

} // namespace BuildPipeline
