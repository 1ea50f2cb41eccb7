// Generic-password items of the user's login keychain, with the keychain's own status codes.
// On macOS this is Security.framework. Elsewhere each item is one JSON file of mode 0600 in
// ${XDG_DATA_HOME:-$HOME/.local/share}/zuq-keychain (mode 0700), written atomically; it records
// the data, the accessibility and the access list, so the rules about them can be checked.
// A file named "locked" in that directory makes every call answer as a locked keychain does;
// one named "read-only" makes changes fail as they do on a read-only keychain.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Platform::Keychain {

inline constexpr int success = 0;                    // errSecSuccess
inline constexpr int itemNotFound = -25300;          // errSecItemNotFound
inline constexpr int duplicateItem = -25299;         // errSecDuplicateItem
inline constexpr int interactionNotAllowed = -25308; // errSecInteractionNotAllowed: locked
inline constexpr int ioError = -36;                  // errSecIO
inline constexpr int writePermission = -61;          // errSecWrPerm
inline constexpr int decodeError = -26275;           // errSecDecode: the stored item is damaged

/// The attributes that identify one generic-password item.
struct Query {
    std::string service;
    std::string account;
};

/// An access list to attach when an item is added: the applications, by path, that may read
/// the item without asking. A path the platform cannot make a trusted application of is
/// left out; if the list cannot be made at all, the item is added without one.
struct AccessRequest {
    std::string descriptor;
    std::vector<std::filesystem::path> applications;
};

/// Reads an item's data (a copy-matching call asking for the data of one item). Returns the
/// status; `data` is set when the status is `success` and the item has data.
int copyData(const Query& query, std::optional<std::string>& data);

/// Replaces the data of an existing item, keeping its other attributes.
int updateData(const Query& query, std::string_view data);

/// Adds a new item readable after the first unlock, on this device only.
int add(const Query& query, std::string_view data, const std::optional<AccessRequest>& access);

#ifndef __APPLE__
/// What the file-backed keychain holds for one item, for tests and diagnostics.
struct StoredItem {
    std::string data;
    std::string accessibility;
    std::optional<std::string> accessDescriptor;
    std::vector<std::string> trustedApplications;
};
std::optional<StoredItem> inspect(const Query& query);

/// The directory of the file-backed keychain.
std::filesystem::path directory();
#endif

} // namespace Platform::Keychain
