#include "Platform/Digest.hpp"

#include "Platform/Encoding.hpp"

#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace Platform {

void SHA256::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

SHA256::SHA256() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("Cannot start a SHA-256 digest");
    }
}

SHA256::SHA256(SHA256&&) noexcept = default;
SHA256& SHA256::operator=(SHA256&&) noexcept = default;
SHA256::~SHA256() = default;

void SHA256::update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(context_.get(), data, size) != 1) {
        throw std::runtime_error("SHA-256 digest update failed");
    }
}

std::string SHA256::digest() {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_.get(), bytes, &size) != 1) {
        throw std::runtime_error("SHA-256 digest failed");
    }
    return std::string(reinterpret_cast<char*>(bytes), size);
}

std::string SHA256::hexDigest() {
    return hexEncode(digest());
}

std::string sha256Hex(std::string_view data) {
    SHA256 digest;
    digest.update(data);
    return digest.hexDigest();
}

bool constantTimeEqual(std::string_view lhs, std::string_view rhs) noexcept {
    return lhs.size() == rhs.size() && CRYPTO_memcmp(lhs.data(), rhs.data(), lhs.size()) == 0;
}

} // namespace Platform
