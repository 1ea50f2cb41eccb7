// The relay client, the only code that speaks HTTP, and enrolment into a group through it.
#pragma once

#include "JSON.hpp"
#include "Storage.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>

/// A transfer that failed below HTTP: no connection, a stalled or timed-out transfer, a TLS
/// failure. The message keeps libcurl's own words and names the relay.
class NetworkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A client of one relay, optionally authenticated as an enrolled Mac. Every request carries
/// "User-Agent: ZUQ/0.1.0" and, with credentials, the Mac's bearer authorization; redirects are
/// never followed; any answer outside 2xx becomes a ZUQError holding the relay's "error"
/// sentence, or "Relay returned HTTP <status>". Nothing is retried.
///
/// Values are cheap to copy and immutable; copies share one pool of connections, and any
/// number of threads may use them at once. A connection is reused across calls.
class API {
public:
    /// Limits of one transfer. A transfer fails once no byte has moved for `stall` (a
    /// connection attempt for `connect`) or when it has run for `total`.
    struct Limits {
        std::chrono::seconds connect{60};
        std::chrono::seconds stall{120};
        std::chrono::seconds total{7200};
    };

    /// Validates the origin: "https://host[:port]" with an empty or "/" path, or "http" for
    /// localhost, 127.0.0.1 and ::1 only; no user, password, query or fragment. Anything else
    /// throws "Server must be an HTTPS origin. HTTP is allowed only for localhost testing.".
    API(std::string_view server, std::optional<Credentials> credentials);
    API(std::string_view server, std::optional<Credentials> credentials, Limits limits);
    /// The client of an enrolled Mac, for the relay it enrolled with.
    explicit API(const Credentials& credentials);

    const std::string& server() const;
    const std::optional<Credentials>& credentials() const;

    /// One JSON exchange. `path` starts with "/" and may carry a query; it must stay on the
    /// relay's host ("Invalid API path" otherwise, before any traffic). A body is sent as
    /// compact JSON with "Content-Type: application/json". Returns the decoded answer; a
    /// success without a JSON body throws the parser's error.
    JSON call(std::string_view method, std::string_view path,
              const std::optional<JSON>& body = std::nullopt,
              const std::optional<std::string>& lease = std::nullopt,
              const std::optional<std::string>& bootstrap = std::nullopt) const;

    /// PUTs `file` as the job's artifact, streamed, with its Content-Length and its SHA-256
    /// in "X-ZUQ-SHA256". A stop request aborts the transfer with CancellationError.
    void upload(std::string_view job, std::string_view lease, const std::filesystem::path& file,
                std::stop_token stop = {}) const;

    /// GETs the job's artifact into a temporary file beside `to`, checks its SHA-256 against
    /// `expectedSHA` ("Downloaded build checksum mismatch") and only then moves it to `to`.
    /// On any failure `to` is untouched and the temporary file is gone.
    void download(std::string_view job, std::string_view lease, const std::filesystem::path& to,
                  std::string_view expectedSHA, std::stop_token stop = {}) const;

    struct Session;

private:
    std::shared_ptr<const Session> session_;
};

/// Turning a Mac without a credential into a member of a group.
namespace Enrollment {

/// How long an invite lasts, as the relay grants it.
inline constexpr int inviteLifetimeSeconds = 900;

/// Creates a group on the relay at `server` (bootstrap secret in "X-ZUQ-Bootstrap"), makes a
/// fresh group key once the relay has accepted, stores and returns the credential. Refuses
/// with "This Mac is already enrolled." before any traffic when a credential exists.
Credentials create(const std::string& server, const std::string& group, const std::string& device,
                   const std::string& bootstrap);

/// Asks the relay for a one-time code and returns the invite text: "zuq1." followed by the
/// standard Base64 of {"server", "code", "key"}.
std::string invite(const Credentials& credentials);

/// Joins with an invite text as pasted (surrounding white space, or the JSON printed by the
/// invite command, are accepted), stores and returns the credential. The key is checked before
/// anything is sent.
Credentials join(const std::string& invite, const std::string& device);

} // namespace Enrollment
