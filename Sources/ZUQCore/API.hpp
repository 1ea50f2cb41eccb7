// The relay client, the only code that speaks HTTP, and enrolment into a group through it.
#pragma once

#include "JSON.hpp"
#include "Protocol.hpp"
#include "Records.hpp"
#include "Storage.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

/// A transfer that failed below HTTP: no connection, a stalled or timed-out transfer, a TLS
/// failure. The message keeps libcurl's own words and names the relay.
class NetworkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A client of one relay, optionally authenticated as an enrolled Mac. Every request carries
/// "User-Agent: ZUQ/0.1.0" and, with credentials, the Mac's bearer authorization; redirects are
/// never followed; any answer outside 2xx becomes a RelayError (a ZUQError) holding the
/// status, the relay's reason and its "error" sentence, or "Relay returned HTTP <status>".
/// Nothing is retried.
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
        /// The largest build a download takes, which is the largest a relay stores by default.
        std::uint64_t largestBuild = std::uint64_t(4) << 30;
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
    /// Whatever the relay sends, at most `Limits::largestBuild` bytes are written: an answer
    /// announcing more is refused before its body, one sending more is cut off at the limit
    /// ("The relay sent a build larger than the <n> bytes this Mac accepts"), and of a refusal
    /// only its first 64 KiB are read. On any failure `to` is untouched and the temporary file
    /// is gone.
    void download(std::string_view job, std::string_view lease, const std::filesystem::path& to,
                  std::string_view expectedSHA, std::stop_token stop = {}) const;

    // The relay's operations, each one `call` with exactly the request the relay expects.
    // Answers are returned as the relay sent them unless said otherwise; refusals throw as
    // `call` does.

    /// The members of a job submission, sent as "builder_id", "receiver_id", "project_id",
    /// "scheme", "configuration", "mode" and "udid".
    struct Submission {
        std::string builder;
        std::string receiver;
        std::string project;
        std::string scheme;
        std::string configuration;
        DeploymentMode mode;
        std::string udid;
    };
    /// A lease this Mac holds, as a heartbeat reports it: the job and the lease's text.
    struct HeldLease {
        std::string job;
        std::string token;
    };
    /// A leased job's state as a heartbeat answers it; `state` is nothing for a text this
    /// client does not know, which no side works in.
    struct LeasedJob {
        std::string id;
        std::string stateText;
        std::optional<Protocol::JobState> state;
    };
    /// A job handed out by a claim: its record and the lease that binds it to this Mac.
    struct Claim {
        JSON job;
        std::string lease;
    };

    /// POST /v1/groups {"name", "device_name"} with the secret in "X-ZUQ-Bootstrap": a new
    /// group with this Mac in it; {"group_id", "group_name", "device_id", "token"}.
    JSON createGroup(std::string_view name, std::string_view deviceName,
                     std::string_view bootstrap) const;
    /// POST /v1/invites {}: a single-use {"code", "expires_in_seconds"}.
    JSON createInvite() const;
    /// POST /v1/join {"code", "device_name"}; `code` goes as it is, any JSON value. Answers
    /// like createGroup.
    JSON join(const JSON& code, std::string_view deviceName) const;
    /// GET /v1/group: {"id", "name", "devices"}.
    JSON group() const;
    /// DELETE /v1/devices/<device>: {"ok", "id"}.
    JSON revoke(std::string_view device) const;

    /// POST /v1/jobs with the seven members: the new job's record.
    JSON submit(const Submission& submission) const;
    /// GET /v1/jobs: {"jobs"}, newest first.
    JSON jobs() const;
    /// GET /v1/jobs/<id>: the job's record, whose "state" tells whether work may go on.
    JSON job(std::string_view id) const;
    /// GET /v1/jobs/<id>/events, or with "?after=<after>" the events after that id: {"events"}.
    JSON events(std::string_view id, std::optional<std::int64_t> after = std::nullopt) const;
    /// POST /v1/jobs/<id>/cancel {}: the job's record.
    JSON cancel(std::string_view id) const;

    /// POST /v1/heartbeat {"inventory": inventory, "leases": [{"id", "token"}]}: the states of
    /// the jobs of the leases the relay knows as this Mac's, in its order.
    std::vector<LeasedJob> heartbeat(const JSON& inventory,
                                     const std::vector<HeldLease>& leases) const;
    /// POST /v1/claim {}: this Mac's oldest job waiting for it, now leased to it, or nothing.
    std::optional<Claim> claim() const;

    // Work on a leased job; each carries the lease in "X-ZUQ-Lease".

    /// POST /v1/jobs/<id>/event {"message"}: the event as recorded.
    JSON event(std::string_view job, std::string_view lease, std::string_view message) const;
    /// POST /v1/jobs/<id>/fail {"error"}: the job's record.
    JSON fail(std::string_view job, std::string_view lease, std::string_view error) const;
    /// POST /v1/jobs/<id>/finish-build {"manifest"}, after the upload: the job's record.
    JSON finishBuild(std::string_view job, std::string_view lease, const JSON& manifest) const;
    /// POST /v1/jobs/<id>/finish {}: the job's record.
    JSON finish(std::string_view job, std::string_view lease) const;

    struct Session;

private:
    // The one exchange of `operation` as its row in Protocol::endpoints describes it: its
    // method, its path with `id` (and `query`), and exactly the body, lease and bootstrap
    // secret the row calls for (anything else is a programming error: std::logic_error).
    JSON request(Protocol::Operation operation, std::string_view id = {},
                 const std::optional<JSON>& body = std::nullopt,
                 const std::optional<std::string>& lease = std::nullopt,
                 const std::optional<std::string>& bootstrap = std::nullopt,
                 std::string_view query = {}) const;

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
