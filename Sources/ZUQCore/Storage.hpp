// What zuq keeps for a user: the state directory, the enrolled credential and the projects
// registered for building on this Mac.
#pragma once

#include "JSON.hpp"

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

/// The per-user state directory and owner-only writes inside it.
namespace Paths {

/// $ZUQ_STATE_DIR when set and not empty (a relative path is taken from the current
/// directory), else the user's data directory + "/ZUQ". Read afresh on every call; creates
/// nothing.
std::filesystem::path root();

/// The root, or `name` (which may hold "/" for nested directories) under it, created with
/// every missing parent as mode 0700. Existing directories keep their mode.
std::filesystem::path directory(std::string_view name);

/// Replaces the file with `data` atomically; the result has mode 0600 even if the file existed
/// with a wider one.
void atomicWrite(std::string_view data, const std::filesystem::path& to);

} // namespace Paths

/// An enrolled Mac's identity on the relay, its group and the group's key.
struct Credentials {
    std::string server;        // the relay origin as given at enrolment
    std::string deviceID;      // "device_id" of the relay's answer
    std::string token;         // "token": this Mac's bearer secret
    std::string groupID;       // "group_id"
    std::string groupName;     // "group_name"
    std::string deviceName;    // the name this Mac enrolled with
    std::string encryptionKey; // standard Base64 of the 32-byte group key

    /// Copies the four relay members that are JSON strings (others read as empty text).
    static Credentials fromResponse(std::string server, const JSON& response, std::string name,
                                    std::string key);

    /// "Bearer <deviceID>.<token>".
    std::string authorization() const;

    /// The stored form: a compact object of the seven fields under their own names.
    std::string encode() const;
    /// Reads the stored form; every field must be present as a string, extra members are
    /// ignored. Throws JSON::ParseError or ZUQError naming the missing member.
    static Credentials decode(std::string_view data);

    friend bool operator==(const Credentials&, const Credentials&) = default;
};

/// The credential as one generic-password item of the login keychain.
namespace CredentialStore {

/// The keychain item's service; its prefix is shared with the agent's label.
inline constexpr std::string_view service = "dev.zuq.credentials";
/// The item's account: one enrolment per user account.
inline constexpr std::string_view account = "active-group";
/// Names the access list given to the item when zuq runs from an application bundle.
inline constexpr std::string_view accessDescriptor = "ZUQ private group";

/// The stored credential, or nothing when this user is not enrolled. A damaged item throws
/// rather than looking unenrolled; a keychain that cannot be read throws
/// "Cannot read ZUQ credentials from Keychain (<status>). Unlock your login keychain.".
std::optional<Credentials> load();

/// The stored credential, or "This Mac is not enrolled. Use group create or group join first."
Credentials require();

/// Replaces the stored data, or adds the item when there is none. A new item is readable after
/// first unlock on this device only, and, when the program runs from an application bundle's
/// Contents/MacOS directory, gets an access list naming the bundle's zuq tool and the bundle.
/// A failure leaves the previous item, or its absence, as it was.
void save(const Credentials& credentials);

} // namespace CredentialStore

/// An Xcode project registered for building on this Mac. A plain value.
struct Project {
    std::string id;                              // lower-case random UUID, kept on re-registration
    std::string name;                            // display name
    std::string path;                            // resolved absolute .xcodeproj or .xcworkspace
    std::vector<std::string> schemes;            // shared schemes, in the listing's order
    std::vector<std::string> configurations;     // unique, sorted ascending
    std::optional<std::string> teamID;           // signing team; absent when none was given
    std::optional<std::string> exportOptionsPath; // owner's export options; absent when none
    bool automaticSigning = true;                // false: manual signing from exportOptionsPath

    /// The relay form: exactly "id", "name", "schemes" and "configurations".
    JSON json() const;
    /// "-workspace" and the path for a path ending in ".xcworkspace", else "-project" and the
    /// path: the project-selection arguments of every xcodebuild call for this project.
    std::vector<std::string> selection() const;

    friend bool operator==(const Project&, const Project&) = default;
};

/// The registry of projects, "projects.json" in the state directory. Every read-modify-write
/// holds a process-wide mutex and an advisory lock on a file beside the registry, so writers in
/// different processes (the command-line tool and the agent) never lose each other's changes.
/// Nothing is cached: every call reads the file afresh. All functions are thread-safe.
namespace ProjectStore {

/// The registered projects in registry order; an absent file is an empty registry. A file that
/// cannot be read or is not a valid registry throws, and is left as it was.
std::vector<Project> load();

/// Replaces every entry with the same id or the same path by `project`, placed last.
void upsert(const Project& project);

/// Drops every entry with that id; an id that matches nothing is not an error (the file is
/// still rewritten, so a Mac without a registry gets one holding an empty array).
void remove(std::string_view id);

/// How a registered project is signed.
enum class Signing { automatic, manual };

/// Builds a record from the Xcode project at `path` (relative, "~" or absolute; "." and ".."
/// removed as text, then symbolic links resolved) by asking `xcodebuild -list -json`. Anything
/// but an existing .xcodeproj or .xcworkspace throws "Select an existing .xcodeproj or
/// .xcworkspace." before a tool runs; a listing without schemes throws "No schemes found. Share
/// your app scheme in Xcode and try again."; the tool's and the registry's failures pass
/// through. A workspace without configurations takes those of the projects beside it, else
/// Debug and Release. Reuses the id of an earlier registration of the same resolved path;
/// `name` defaults to the bundle's name; a relative or "~" `exportOptions` is made absolute
/// against the current directory. Writes nothing.
Project inspect(const std::string& path, const std::optional<std::string>& name,
                const std::optional<std::string>& team,
                const std::optional<std::string>& exportOptions, Signing signing,
                std::stop_token stop = {});

} // namespace ProjectStore
