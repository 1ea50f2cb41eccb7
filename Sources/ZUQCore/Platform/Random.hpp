// Cryptographically secure random bytes and UUIDs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Platform {

/// `count` bytes from OpenSSL's CSPRNG; throws std::runtime_error if it fails.
std::string randomBytes(std::size_t count);

/// A random (version 4) UUID in canonical form: 36 characters, upper-case hexadecimal, from
/// the operating system's generator (cheap on first use, unlike OpenSSL's).
std::string newUUID();

/// True for 32 hexadecimal digits of either case grouped 8-4-4-4-12 by hyphens.
bool isUUID(std::string_view text) noexcept;

} // namespace Platform
