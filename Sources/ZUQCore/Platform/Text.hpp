// UTF-8 handling the platform's string type would otherwise give: repair of invalid byte
// sequences and counting by user-perceived characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Platform {

/// `bytes` with every maximal invalid UTF-8 subpart replaced by U+FFFD, so a multi-byte
/// character cut at the start or end of a buffer becomes one replacement character.
std::string replacingInvalidUTF8(std::string_view bytes);

/// True when `bytes` is well-formed UTF-8.
bool isValidUTF8(std::string_view bytes) noexcept;

/// The last `count` user-perceived characters of valid UTF-8 `text` (all of it when shorter).
/// A character is a base code point with the marks, variation selectors, emoji modifiers and
/// zero-width-joined code points that follow it; CR LF counts as one; a pair of regional
/// indicators (a flag) counts as one.
std::string lastCharacters(std::string_view text, std::size_t count);

/// The first `count` user-perceived characters of valid UTF-8 `text`, counted as
/// `lastCharacters` counts them (all of it when shorter).
std::string firstCharacters(std::string_view text, std::size_t count);

/// `text` without the Unicode white space and line breaks at either end (ASCII space, tab,
/// line feed, vertical tab, form feed, carriage return, U+0085, U+00A0, U+1680, U+2000-U+200A,
/// U+2028, U+2029, U+202F, U+205F, U+3000).
std::string_view trimWhitespace(std::string_view text) noexcept;

} // namespace Platform
