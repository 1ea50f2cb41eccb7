// The server side of TLS: one context holding the certificate chain and its key.
#pragma once

#include <filesystem>
#include <memory>

struct ssl_ctx_st;

namespace ZUQRelay {

/// A TLS server context for TLS 1.2 and later. Thread-safe once made.
class TLSContext {
public:
    /// Loads a PEM certificate chain and its PEM private key. Throws ZUQError naming the file
    /// and OpenSSL's reason when either cannot be used or they do not match.
    TLSContext(const std::filesystem::path& certificate, const std::filesystem::path& key);

    ssl_ctx_st* get() const { return context_.get(); }

private:
    struct Free {
        void operator()(ssl_ctx_st* context) const;
    };
    std::unique_ptr<ssl_ctx_st, Free> context_;
};

} // namespace ZUQRelay
