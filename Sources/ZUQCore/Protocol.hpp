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

/// An operation's method and path pattern; "*" in the pattern stands for one path segment,
/// the identifier of a job or a device.
struct Endpoint {
    Operation operation;
    std::string_view method;
    std::string_view pattern;
};

/// The relay's whole surface, one row per operation, in the order of `Operation`.
inline constexpr std::array<Endpoint, 18> endpoints = {{
    {Operation::createGroup, "POST", "/v1/groups"},
    {Operation::createInvite, "POST", "/v1/invites"},
    {Operation::join, "POST", "/v1/join"},
    {Operation::group, "GET", "/v1/group"},
    {Operation::revoke, "DELETE", "/v1/devices/*"},
    {Operation::submit, "POST", "/v1/jobs"},
    {Operation::jobs, "GET", "/v1/jobs"},
    {Operation::job, "GET", "/v1/jobs/*"},
    {Operation::events, "GET", "/v1/jobs/*/events"},
    {Operation::cancel, "POST", "/v1/jobs/*/cancel"},
    {Operation::upload, "PUT", "/v1/jobs/*/artifact"},
    {Operation::download, "GET", "/v1/jobs/*/artifact"},
    {Operation::finishBuild, "POST", "/v1/jobs/*/finish-build"},
    {Operation::finish, "POST", "/v1/jobs/*/finish"},
    {Operation::fail, "POST", "/v1/jobs/*/fail"},
    {Operation::event, "POST", "/v1/jobs/*/event"},
    {Operation::heartbeat, "POST", "/v1/heartbeat"},
    {Operation::claim, "POST", "/v1/claim"},
}};

/// The row of `operation`.
constexpr const Endpoint& endpoint(Operation operation) noexcept {
    return endpoints[static_cast<std::size_t>(operation)];
}

/// The path of `operation` with `id` in place of its "*" (an operation without one ignores
/// `id`). The identifier is placed as given: the client sends what the user typed, and the
/// relay refuses what is not an identifier.
std::string path(Operation operation, std::string_view id = {});

/// Request paths, as the client sends them.
namespace Paths {
inline constexpr std::string_view groups = endpoint(Operation::createGroup).pattern;
inline constexpr std::string_view invites = endpoint(Operation::createInvite).pattern;
inline constexpr std::string_view join = endpoint(Operation::join).pattern;
inline constexpr std::string_view group = endpoint(Operation::group).pattern;
inline constexpr std::string_view jobs = endpoint(Operation::jobs).pattern;
inline constexpr std::string_view heartbeat = endpoint(Operation::heartbeat).pattern;
inline constexpr std::string_view claim = endpoint(Operation::claim).pattern;
/// "/v1/devices/<id>".
std::string device(std::string_view id);
/// "/v1/jobs/<id>".
std::string job(std::string_view id);
/// "/v1/jobs/<id>/events", with "?after=<after>" when `after` is given.
std::string events(std::string_view id, std::optional<std::int64_t> after = std::nullopt);
/// "/v1/jobs/<id>/artifact", "/cancel", "/finish-build", "/finish", "/fail" and "/event".
std::string artifact(std::string_view id);
std::string cancel(std::string_view id);
std::string finishBuild(std::string_view id);
std::string finish(std::string_view id);
std::string fail(std::string_view id);
std::string event(std::string_view id);
} // namespace Paths

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
