// Reading request bodies strictly, and the small text rules the relay applies to what it
// stores.
#pragma once

#include "JSON.hpp"
#include "Protocol.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace ZUQRelay::Members {

/// The string member `name` of `body`; refuses as invalid with
/// "Member "<name>" must be a string".
const std::string& string(const JSON& body, std::string_view name);
/// The same, also refusing text longer than `limit` characters as invalid with
/// "Member "<name>" is too long (at most <limit> characters)", and text with a NUL character,
/// which PostgreSQL cannot keep, with "Member "<name>" must not contain the NUL character".
const std::string& string(const JSON& body, std::string_view name, std::size_t limit);
/// `text` with each NUL character replaced by U+FFFD, for free texts (progress messages,
/// errors) that are kept rather than refused.
std::string withoutNUL(std::string_view text);
/// The object member `name`; invalid: "Member "<name>" must be an object".
const JSON& object(const JSON& body, std::string_view name);
/// The array member `name`; invalid: "Member "<name>" must be an array".
const JSON::Array& array(const JSON& body, std::string_view name);

/// The first `count` Unicode characters (code points) of valid UTF-8 `text`.
std::string firstCharacters(std::string_view text, std::size_t count);
/// The number of Unicode characters (code points) in valid UTF-8 `text`.
std::size_t characterCount(std::string_view text);

/// The first characters of valid UTF-8 `text` that fit in `bytes` bytes, never cutting one
/// character in two.
std::string firstBytes(std::string_view text, std::size_t bytes);

inline constexpr std::size_t inventoryPhones = 64;
inline constexpr std::size_t inventoryProjects = 256;
inline constexpr std::size_t inventoryCharacters = 1000;
inline constexpr std::size_t inventoryItems = 256;
inline constexpr std::size_t inventoryDepth = 6;
inline constexpr std::size_t inventoryBytes = Protocol::inventoryBytes;

/// What the relay keeps of a Mac's reported inventory: at most `inventoryPhones` "phones" and
/// `inventoryProjects` "projects", texts and member names cut to `inventoryCharacters`
/// characters, other lists to `inventoryItems` items and every object (the inventory itself
/// included, "phones" and "projects" kept first) to `inventoryItems` members, nesting to
/// `inventoryDepth` levels. Should that still encode to `bytes` (`inventoryBytes` unless a
/// tighter bound is given) or more, texts are cut shorter, then members other than "phones"
/// and "projects" go (and those two when they are not lists), then projects from the end,
/// then phones from the end, until it fits. Short records are kept whole, so the members a
/// job reads of a phone ("udid", "os") survive any report a Mac would really send. Never
/// refuses: an inventory that is not an object is kept as an empty one.
JSON boundedInventory(const JSON& inventory, std::size_t bytes = inventoryBytes);
/// The encoded text of `boundedInventory(inventory)`; a report within every limit, as a
/// Mac's real one is, is encoded as it stands without being copied first.
std::string boundedInventoryText(const JSON& inventory, std::size_t bytes = inventoryBytes);

/// ASCII lower case, for identifiers.
std::string lowerCase(std::string_view text);

/// A time as the relay writes it: seconds since 1970, to the millisecond.
double timestamp(double seconds);

} // namespace ZUQRelay::Members
