// The wire protocol between zuq and its relay, shared by both: every operation with its
// method and path, the header names, and the job states and sides with the texts they travel
// as. Nothing here does I/O.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Protocol {

/// Every request the relay serves.
enum class Operation {
    createGroup,  // POST /v1/groups
    createInvite, // POST /v1/invites
    join,         // POST /v1/join
    group,        // GET /v1/group
    revoke,       // DELETE /v1/devices/{id}
    submit,       // POST /v1/jobs
    jobs,         // GET /v1/jobs
    job,          // GET /v1/jobs/{id}
    events,       // GET /v1/jobs/{id}/events
    cancel,       // POST /v1/jobs/{id}/cancel
    upload,       // PUT /v1/jobs/{id}/artifact
    download,     // GET /v1/jobs/{id}/artifact
    finishBuild,  // POST /v1/jobs/{id}/finish-build
    finish,       // POST /v1/jobs/{id}/finish
    fail,         // POST /v1/jobs/{id}/fail
    event,        // POST /v1/jobs/{id}/event
    heartbeat,    // POST /v1/heartbeat
    claim,        // POST /v1/claim
};

/// Who may call an operation.
enum class Access {
    open,        // anyone: joining with an invite
    bootstrap,   // whoever holds the relay's bootstrap secret: creating a group
    member,      // an enrolled Mac of the group
    leaseHolder, // a member holding the job's lease, sent in "X-ZUQ-Lease"
};

/// What an operation's request body is.
enum class Body {
    none,        // nothing; a body sent anyway is not read
    json,        // a JSON object
    emptyOrJSON, // a JSON object or nothing, which reads as {}
    upload,      // a build, exactly Content-Length bytes
    download,    // nothing; the answer is a build
};

/// The largest JSON request body of any operation.
inline constexpr std::size_t maxJSONBytes = 1 << 20;
/// The largest body of an operation that takes a name or two, or nothing at all: room for
/// texts at their longest, every character escaped.
inline constexpr std::size_t smallJSONBytes = 8 * 1024;
/// The largest finished build's manifest: ten short texts of the app's Info.plist and job.
inline constexpr std::size_t manifestJSONBytes = 16 * 1024;
/// The largest inventory a Mac reports, encoded: the relay keeps no more of one, and a Mac
/// cuts its own to fit.
inline constexpr std::size_t inventoryBytes = 256 * 1024;
/// The largest heartbeat: an inventory at its largest and the leases it renews.
inline constexpr std::size_t heartbeatJSONBytes = inventoryBytes + 64 * 1024;
/// The largest job submission: a few texts of at most 1000 characters, every one escaped.
inline constexpr std::size_t submissionJSONBytes = 128 * 1024;

/// Everything about one operation: its method and path pattern ("*" stands for one path
/// segment, the identifier of a job or a device), who may call it, its body and the largest
/// body it takes (a build's limit is the relay's setting instead).
struct Endpoint {
    Operation operation;
    std::string_view method;
    std::string_view pattern;
    Access access;
    Body body;
    std::size_t maxBodyBytes;
};

/// The relay's whole surface, one row per operation, in the order of `Operation`. The client's
/// typed calls and the relay's routes both read it.
inline constexpr std::array<Endpoint, 18> endpoints = {{
    {Operation::createGroup, "POST", "/v1/groups", Access::bootstrap, Body::json, smallJSONBytes},
    {Operation::createInvite, "POST", "/v1/invites", Access::member, Body::emptyOrJSON,
     smallJSONBytes},
    {Operation::join, "POST", "/v1/join", Access::open, Body::json, smallJSONBytes},
    {Operation::group, "GET", "/v1/group", Access::member, Body::none, 0},
    {Operation::revoke, "DELETE", "/v1/devices/*", Access::member, Body::none, 0},
    {Operation::submit, "POST", "/v1/jobs", Access::member, Body::json, submissionJSONBytes},
    {Operation::jobs, "GET", "/v1/jobs", Access::member, Body::none, 0},
    {Operation::job, "GET", "/v1/jobs/*", Access::member, Body::none, 0},
    {Operation::events, "GET", "/v1/jobs/*/events", Access::member, Body::none, 0},
    {Operation::cancel, "POST", "/v1/jobs/*/cancel", Access::member, Body::emptyOrJSON,
     smallJSONBytes},
    {Operation::upload, "PUT", "/v1/jobs/*/artifact", Access::leaseHolder, Body::upload, 0},
    {Operation::download, "GET", "/v1/jobs/*/artifact", Access::leaseHolder, Body::download, 0},
    {Operation::finishBuild, "POST", "/v1/jobs/*/finish-build", Access::leaseHolder, Body::json,
     manifestJSONBytes},
    {Operation::finish, "POST", "/v1/jobs/*/finish", Access::leaseHolder, Body::emptyOrJSON,
     smallJSONBytes},
    {Operation::fail, "POST", "/v1/jobs/*/fail", Access::leaseHolder, Body::json, maxJSONBytes},
    {Operation::event, "POST", "/v1/jobs/*/event", Access::leaseHolder, Body::json,
     maxJSONBytes},
    {Operation::heartbeat, "POST", "/v1/heartbeat", Access::member, Body::json,
     heartbeatJSONBytes},
    {Operation::claim, "POST", "/v1/claim", Access::member, Body::emptyOrJSON, smallJSONBytes},
}};

/// The row of `operation`.
constexpr const Endpoint& endpoint(Operation operation) noexcept {
    return endpoints[static_cast<std::size_t>(operation)];
}

/// The path of `operation` with `id` in place of its "*" (an operation without one ignores
/// `id`). The identifier is placed as given: the client sends what the user typed, and the
/// relay refuses what is not an identifier.
std::string path(Operation operation, std::string_view id = {});

/// Why the relay refused a request, as it travels in a refusal's "reason" beside its "error"
/// sentence. A program tests the reason; the sentence is for people and may be reworded.
enum class Reason {
    invalid,         // "invalid", 400: the request itself is wrong
    unauthenticated, // "unauthenticated", 401: no valid device credential
    revoked,         // "revoked", 401: the Mac was revoked from its group
    forbidden,       // "forbidden", 403: a credential that does not allow this
    notFound,        // "not_found", 404: nothing of that name, or not the caller's to see
    notAllowed,      // "not_allowed", 405: a known path asked with another method
    tooSlow,         // "too_slow", 408: the request arrived too slowly
    conflict,        // "conflict", 409: does not fit the current state, such as a job's
    leaseLost,       // "lease_lost", 409: the lease is not (or no longer) valid for the job
    lengthRequired,  // "length_required", 411: a build without its length announced
    tooLarge,        // "too_large", 413: a body over its limit
    unsupported,     // "unsupported", 415: a body in a form the relay does not take
    tooMany,         // "too_many", 429: a limit on how many was reached
    internal,        // "internal", 500: the relay failed
    busy,            // "busy", 503: at capacity for now; try again shortly
    noSpace,         // "no_space", 507: the relay has no room to store this
};

/// The text of a reason, and the reason a text names (nothing for any other text).
std::string_view text(Reason reason) noexcept;
std::optional<Reason> reason(std::string_view text) noexcept;
/// The HTTP status that carries `reason`.
unsigned status(Reason reason) noexcept;
/// The reason of a refusal known only by its status: the first reason with that status.
std::optional<Reason> reasonOf(unsigned status) noexcept;

/// Member names of a refusal's JSON body.
inline constexpr std::string_view errorMember = "error";
inline constexpr std::string_view reasonMember = "reason";

/// The query parameter of the events cursor.
inline constexpr std::string_view afterParameter = "after";

/// Header names as they are sent; HTTP compares them without regard to letter case.
namespace Headers {
inline constexpr std::string_view authorization = "Authorization";
inline constexpr std::string_view userAgent = "User-Agent";
inline constexpr std::string_view contentType = "Content-Type";
/// The lease of work on a leased job.
inline constexpr std::string_view lease = "X-ZUQ-Lease";
/// The SHA-256 of an uploaded build, 64 hexadecimal digits.
inline constexpr std::string_view sha256 = "X-ZUQ-SHA256";
/// The bootstrap secret of group creation.
inline constexpr std::string_view bootstrap = "X-ZUQ-Bootstrap";
} // namespace Headers

/// The media types of JSON bodies and of builds.
inline constexpr std::string_view jsonType = "application/json";
inline constexpr std::string_view buildType = "application/octet-stream";

/// Where a job is: a side at work ("building", "installing") or ended for good ("succeeded",
/// "failed", "cancelled").
enum class JobState { building, installing, succeeded, failed, cancelled };

/// The Mac a lease binds to a job: the one that builds it or the one that installs it.
enum class Side { builder, receiver };

/// The texts that travel: "building", "builder", ...
std::string_view text(JobState state) noexcept;
std::string_view text(Side side) noexcept;
/// The state or side a text names, or nothing for any other text (compared exactly).
std::optional<JobState> jobState(std::string_view text) noexcept;
std::optional<Side> side(std::string_view text) noexcept;

/// True for the states after which a job never changes.
bool isTerminal(JobState state) noexcept;
/// The state in which `side` works on a job: building for the builder, installing for the
/// receiver.
JobState workingState(Side side) noexcept;
/// The side at work in `state`, or nothing for an ended job.
std::optional<Side> workingSide(JobState state) noexcept;

} // namespace Protocol
