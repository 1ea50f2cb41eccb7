// The group key, the encrypted build format and the build package.
//
// An encrypted build is "ZUQENC1\n" followed by frames. A frame is a 4-byte big-endian box
// length n (28 to 4,194,332) and an AES-256-GCM box in combined form: a 12-byte random nonce,
// n - 28 bytes of ciphertext and a 16-byte tag. The plaintext is cut into chunks of at most
// 4 MiB, each non-empty chunk sealed as one data frame, and the stream closes with one end
// frame of empty plaintext (n = 28); nothing follows it. Frame i is authenticated with
// "<job>:<i>:data" or "<job>:<i>:end", so a frame moved to another job or position, a stream cut
// short or one extended fails.
//
// A build package is "ZUQPKG1\n", a 4-byte big-endian manifest length L (1 to 1,048,575), L
// bytes of compact JSON manifest, and the IPA's bytes up to the end of the file. The manifest's
// "ipa_sha256" is the lower-case hexadecimal SHA-256 of those bytes.
//
// Every operation streams: memory use is bounded by two frame buffers whatever the file size.
// A destination is written under a temporary name beside it and renamed into place only once
// complete (and, for `decrypt` and `unpack`, authenticated or verified), so on any failure the
// destination is left as it was and no partial or unverified file appears. The operations
// share no state and may run on several threads at once for different files.
#pragma once

#include "JSON.hpp"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

struct evp_cipher_ctx_st;

namespace ArtifactCrypto {

/// The first bytes of an encrypted build.
inline constexpr std::string_view magic = "ZUQENC1\n";
/// The first bytes of a build package.
inline constexpr std::string_view packageMagic = "ZUQPKG1\n";

/// The largest plaintext of one frame.
inline constexpr std::size_t chunkSize = 4'194'304;
/// Nonce and tag around a frame's ciphertext.
inline constexpr std::size_t nonceSize = 12;
inline constexpr std::size_t tagSize = 16;
inline constexpr std::size_t boxOverhead = nonceSize + tagSize;
inline constexpr std::size_t maximumBox = chunkSize + boxOverhead;
/// The largest serialised manifest a package holds.
inline constexpr std::size_t maximumManifest = 1'048'575;

/// A new group encryption key: standard Base64 (44 characters, padded) of 32 bytes from
/// OpenSSL's CSPRNG.
std::string newKey();

/// The SHA-256 of a file's whole content as 64 lower-case hexadecimal characters. File errors
/// are std::system_error naming the path.
std::string sha256(const std::filesystem::path& file);

/// Encrypts `source` into a new file `to` (mode 0600, replacing any file there) bound to `job`.
/// Throws ZUQError "Invalid group encryption key" before touching any file when `key` is not
/// strict standard Base64 of exactly 32 bytes; file errors are std::system_error. `to` may
/// name `source` itself.
void encrypt(const std::filesystem::path& source, const std::filesystem::path& to,
             std::string_view key, std::string_view job);

/// Decrypts and authenticates `source` into a new file `to` (mode 0600). `to` appears only when
/// the whole stream, end frame included, has been authenticated. Throws ZUQError:
/// "Invalid group encryption key", "Invalid ZUQ artifact header", "Truncated encrypted build"
/// (the end frame is missing), "Invalid encrypted chunk" (a length out of range or a frame cut
/// short), `authenticationFailure` (wrong key or job, or a frame altered, moved or relabelled),
/// "Unexpected data after encrypted build".
void decrypt(const std::filesystem::path& source, const std::filesystem::path& to,
             std::string_view key, std::string_view job);

/// The message of a frame that fails authentication.
inline constexpr std::string_view authenticationFailure =
    "Encrypted build failed authentication: wrong key, wrong job, or altered data";

/// Writes a new package `to` (mode 0600) from the IPA file `ipa` and `manifest` serialised as by
/// JSON::data(). Throws ZUQError "Manifest too large" (over 1,048,575 bytes) before touching
/// any file. The manifest's "ipa_sha256" is the caller's to set; it is not checked here.
void package(const std::filesystem::path& ipa, const JSON& manifest,
             const std::filesystem::path& to);

/// Splits `package` into its manifest, returned, and its IPA, written to a new file `ipa`
/// (mode 0600) that appears only when its SHA-256 equals the manifest's "ipa_sha256" exactly
/// (lower case). Throws ZUQError "Invalid build package" (magic or length field short or
/// wrong), "Invalid build manifest" (length 0 or over 1,048,575, or the manifest cut short),
/// JSON::ParseError for a manifest that is not JSON, and "Package checksum mismatch" (also for
/// a missing or non-text "ipa_sha256").
JSON unpack(const std::filesystem::path& package, const std::filesystem::path& ipa);

/// AES-256-GCM over one frame's box, in place, under one key for any number of frames. Used by
/// `encrypt` and `decrypt`, which feed each box in pieces as they read it so that the bytes
/// are sealed while still in the processor's cache; exposed so that the in-memory rate can be
/// measured apart from file input and output. Not thread-safe; one value per thread.
class FrameCipher {
public:
    /// Decodes the key text; throws ZUQError "Invalid group encryption key".
    explicit FrameCipher(std::string_view key);
    FrameCipher(FrameCipher&&) noexcept;
    FrameCipher& operator=(FrameCipher&&) noexcept;
    ~FrameCipher();

    /// Seals a whole box: `box` holds room for nonce, `size` (at most chunkSize) bytes and tag,
    /// with the plaintext at box + nonceSize. Writes a fresh random nonce, encrypts in place
    /// and appends the tag.
    void seal(unsigned char* box, std::size_t size, std::string_view authenticated);

    /// Opens a whole box of `boxSize` bytes (boxOverhead to maximumBox) in place: the plaintext
    /// is left at box + nonceSize. Throws ZUQError `authenticationFailure` when the tag does not
    /// match; the plaintext area then holds nothing that may be used.
    void open(unsigned char* box, std::size_t boxSize, std::string_view authenticated);

    /// The same in steps. Sealing: `beginSealing` writes a fresh random nonce at `nonce`,
    /// `sealPiece` encrypts the plaintext in place piece by piece in order, `endSealing` writes
    /// the tag. Opening: `beginOpening`, `openPiece` likewise, and `endOpening` throws
    /// `authenticationFailure` when the tag does not match what was opened.
    void beginSealing(unsigned char* nonce, std::string_view authenticated);
    void sealPiece(unsigned char* piece, std::size_t size);
    void endSealing(unsigned char* tag);
    void beginOpening(const unsigned char* nonce, std::string_view authenticated);
    void openPiece(unsigned char* piece, std::size_t size);
    void endOpening(const unsigned char* tag);

private:
    struct Free {
        void operator()(evp_cipher_ctx_st* context) const;
    };
    std::unique_ptr<evp_cipher_ctx_st, Free> encryption_;
    std::unique_ptr<evp_cipher_ctx_st, Free> decryption_;
};

} // namespace ArtifactCrypto
