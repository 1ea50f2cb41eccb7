// The cryptography of the simulated Apple world, over OpenSSL: digests, the team's keys and
// certificates, and CMS SignedData for provisioning profiles and code signatures.
//
// Every certificate is issued by one simulated Apple certification authority built into the
// program, so a phone of any simulated Mac trusts what any simulated team signed, and nothing
// else. Its key is not a secret: this is a test world, not a security boundary.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace AppleSim::Crypto {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateDeleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Certificate = std::unique_ptr<X509, CertificateDeleter>;

/// Raw digests of `data`.
std::string sha256(std::string_view data);
std::string sha1(std::string_view data);

/// Hexadecimal text of raw bytes.
std::string hex(std::string_view bytes, bool upperCase = false);

/// `count` random bytes.
std::string randomBytes(std::size_t count);

/// A random UUID in upper-case canonical text.
std::string randomUUID();

/// A UUID-shaped text derived from `name` (the same name gives the same text).
std::string nameUUID(std::string_view name);

/// A new EC P-256 key.
Key generateKey();

/// Fields of a team certificate's subject.
struct Subject {
    std::string commonName;
    std::string userID;
    std::string organizationalUnit; // the team identifier
    std::string organization;
};

/// A code-signing certificate for `key`, issued by the simulated authority, valid between the
/// two times (seconds since 1970).
Certificate issueCertificate(const Key& key, const Subject& subject, double notBefore,
                             double notAfter);

std::string pem(const Key& key);
std::string pem(const Certificate& certificate);
Key keyFromPEM(std::string_view text);
Certificate certificateFromPEM(std::string_view text);
std::string der(const Certificate& certificate);
Certificate certificateFromDER(std::string_view bytes);

std::string commonName(const Certificate& certificate);
std::string organizationalUnit(const Certificate& certificate);

/// CMS SignedData of `content` signed by `certificate` and `key`, in DER. With `detached`,
/// the content itself is left out (a code signature over a code directory).
std::string signCMS(std::string_view content, const Certificate& certificate, const Key& key,
                    bool detached);

/// The content and signer of a verified CMS message.
struct Verified {
    std::string content;
    Certificate signer;
};

/// Verifies a DER CMS message whose signer chains to the simulated authority (validity dates
/// are the caller's business: the simulated clock decides them). `detachedContent` is the
/// signed content when the message does not carry it. Returns nothing when the message cannot
/// be decoded or does not verify; `problem` then says why.
std::optional<Verified> verifyCMS(std::string_view message,
                                  const std::optional<std::string>& detachedContent,
                                  std::string& problem);

} // namespace AppleSim::Crypto
