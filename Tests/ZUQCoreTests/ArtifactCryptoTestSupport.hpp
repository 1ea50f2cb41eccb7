// What the encrypted build and package tests share: a reader and a writer of the encrypted
// format made here directly on OpenSSL from the file layout, independent of the code under
// test, and small helpers for files and fault injection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace ArtifactCryptoTestSupport {

/// A fixed group key (the bytes 0 to 31) and another (the bytes 31 down to 0).
inline constexpr const char* keyText = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";
inline constexpr const char* otherKeyText = "Hx4dHBsaGRgXFhUUExIREA8ODQwLCgkIBwYFBAMCAQA=";
std::string keyBytes();

/// The 4-byte big-endian form of `value`.
std::string bigEndian(std::uint32_t value);

/// An AES-256-GCM box in combined form (random nonce, ciphertext, tag) of `plaintext`
/// authenticated with `authenticated`.
std::string seal(std::string_view plaintext, std::string_view authenticated,
                 std::string_view key = keyBytes());

/// A frame: the box's length, then the box.
std::string frame(const std::string& box);

/// A whole encrypted file: the magic, one data frame per chunk, the end frame.
std::string referenceEncrypt(const std::vector<std::string>& chunks, std::string_view job);

/// What the reference reader found in an encrypted file.
struct Decoded {
    std::string plaintext;
    std::vector<std::size_t> boxes; // box lengths in file order, end frame included
    std::vector<std::string> nonces;
};

/// Reads an encrypted file frame by frame; throws std::runtime_error describing the first
/// departure from the layout or failed tag.
Decoded referenceDecrypt(std::string_view bytes, std::string_view key, std::string_view job);

/// The frames of an encrypted file (length field and box each), after the magic.
std::vector<std::string> splitFrames(std::string_view bytes);

/// The permission bits of a file.
mode_t modeOf(const std::filesystem::path& path);

/// Names in `directory` that look like unfinished destinations ("*.tmp-*").
std::vector<std::string> temporaryFiles(const std::filesystem::path& directory);

/// Runs `work` in a forked child whose files may not grow past `limit` bytes (a write beyond
/// fails with EFBIG, as on a full disk). Returns the errno of the std::system_error it threw,
/// 0 when it succeeded, 255 for any other exception.
int inChildWithFileSizeLimit(std::size_t limit, const std::function<void()>& work);

} // namespace ArtifactCryptoTestSupport
