// The server side of TLS: one context holding the certificate chain and its key.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <filesystem>
#include <memory>

namespace ZUQRelay {

/// A TLS server context for TLS 1.2 and later. Thread-safe once made.
class TLSContext {
public:
    /// Loads a PEM certificate chain and its PEM private key. Throws ZUQError naming the file
    /// and OpenSSL's reason when either cannot be used or they do not match.
    TLSContext(const std::filesystem::path& certificate, const std::filesystem::path& key);

    boost::asio::ssl::context& get() { return *context_; }

private:
    std::unique_ptr<boost::asio::ssl::context> context_;
};

} // namespace ZUQRelay
