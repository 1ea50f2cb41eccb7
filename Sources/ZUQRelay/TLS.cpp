#include "TLS.hpp"

#include "JSON.hpp"

#include <string>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace ZUQRelay {

namespace {

[[noreturn]] void fail(const std::string& what) {
    char reason[256] = "unknown error";
    if (unsigned long error = ERR_get_error(); error != 0) {
        ERR_error_string_n(error, reason, sizeof reason);
    }
    ERR_clear_error();
    throw ZUQError(what + ": " + reason);
}

struct FreeContext {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

} // namespace

TLSContext::TLSContext(const std::filesystem::path& certificate, const std::filesystem::path& key) {
    std::unique_ptr<SSL_CTX, FreeContext> owned(SSL_CTX_new(TLS_server_method()));
    if (!owned) {
        fail("Cannot create a TLS context");
    }
    SSL_CTX* context = owned.get();
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // Idle connections keep no buffers.
    SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
    if (SSL_CTX_use_certificate_chain_file(context, certificate.c_str()) != 1) {
        fail("Cannot use the TLS certificate " + certificate.string());
    }
    if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        fail("Cannot use the TLS key " + key.string());
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        fail("The TLS key " + key.string() + " does not match the certificate");
    }
    context_ = std::make_unique<boost::asio::ssl::context>(owned.release());
}

} // namespace ZUQRelay
