// Incremental SHA-256 over OpenSSL's EVP interface.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace Platform {

/// Feeds bytes in any number of pieces; `hexDigest` ends the computation. Not thread-safe;
/// one value per stream.
class SHA256 {
public:
    SHA256();
    SHA256(SHA256&&) noexcept;
    SHA256& operator=(SHA256&&) noexcept;
    ~SHA256();

    void update(const void* data, std::size_t size);
    void update(std::string_view data) { update(data.data(), data.size()); }
    /// The 32-byte digest.
    std::string digest();
    /// The digest as 64 lower-case hexadecimal characters.
    std::string hexDigest();

private:
    struct Free {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, Free> context_;
};

/// SHA-256 of a whole buffer, as 64 lower-case hexadecimal characters.
std::string sha256Hex(std::string_view data);

/// Compares two byte strings in time that depends only on their lengths.
bool constantTimeEqual(std::string_view lhs, std::string_view rhs) noexcept;

} // namespace Platform
