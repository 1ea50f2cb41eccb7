// Text encodings of bytes: standard Base64, unpadded base64url and lower-case hexadecimal.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Platform {

/// Standard Base64 ("+", "/", "=" padding), no line breaks.
std::string base64Encode(std::string_view bytes);

/// Strict standard Base64: only the alphabet, length a multiple of four, padding required and
/// canonical (unused bits zero). No white space. Nothing for anything else.
std::optional<std::string> base64Decode(std::string_view text);

/// base64url without padding ("-", "_"), as used for tokens.
std::string base64URLEncode(std::string_view bytes);

/// Two lower-case hexadecimal digits per byte.
std::string hexEncode(std::string_view bytes);

} // namespace Platform
