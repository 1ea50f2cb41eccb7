// Reading request bodies strictly, and the small text rules the relay applies to what it
// stores.
#pragma once

#include "JSON.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace ZUQRelay::Members {

/// The string member `name` of `body`; refuses as invalid with
/// "Member "<name>" must be a string".
const std::string& string(const JSON& body, std::string_view name);
/// The same, also refusing text longer than `limit` characters as invalid with
/// "Member "<name>" is too long (at most <limit> characters)".
const std::string& string(const JSON& body, std::string_view name, std::size_t limit);
/// The object member `name`; invalid: "Member "<name>" must be an object".
const JSON& object(const JSON& body, std::string_view name);
/// The array member `name`; invalid: "Member "<name>" must be an array".
const JSON::Array& array(const JSON& body, std::string_view name);

/// The first `count` Unicode characters (code points) of valid UTF-8 `text`.
std::string firstCharacters(std::string_view text, std::size_t count);
/// The number of Unicode characters (code points) in valid UTF-8 `text`.
std::size_t characterCount(std::string_view text);

/// ASCII lower case, for identifiers.
std::string lowerCase(std::string_view text);

/// A time as the relay writes it: seconds since 1970, to the millisecond.
double timestamp(double seconds);

} // namespace ZUQRelay::Members
