#include "Protocol.hpp"

namespace Protocol {

namespace {

constexpr bool rowsInOrder() {
    for (std::size_t index = 0; index < endpoints.size(); ++index) {
        if (static_cast<std::size_t>(endpoints[index].operation) != index) {
            return false;
        }
    }
    return true;
}
static_assert(rowsInOrder(), "endpoints must list the operations in their declared order");

// A lease is sent only to operations on one job; JSON bodies have a limit.
constexpr bool rowsConsistent() {
    for (const Endpoint& row : endpoints) {
        bool onJob = row.pattern.find('*') != std::string_view::npos;
        bool takesJSON = row.body == Body::json || row.body == Body::emptyOrJSON;
        if ((row.access == Access::leaseHolder && !onJob) || takesJSON != (row.maxBodyBytes > 0)) {
            return false;
        }
    }
    return true;
}
static_assert(rowsConsistent(), "every row must describe an operation the protocol can carry");

constexpr std::array<std::string_view, 5> stateTexts = {"building", "installing", "succeeded",
                                                        "failed", "cancelled"};
constexpr std::array<std::string_view, 2> sideTexts = {"builder", "receiver"};

// The value whose text, by its place in `texts`, is `text`.
template <class Value, std::size_t count>
std::optional<Value> named(const std::array<std::string_view, count>& texts,
                           std::string_view text) noexcept {
    for (std::size_t index = 0; index < count; ++index) {
        if (texts[index] == text) {
            return static_cast<Value>(index);
        }
    }
    return std::nullopt;
}

} // namespace

std::string path(Operation operation, std::string_view id) {
    std::string_view pattern = endpoint(operation).pattern;
    std::size_t star = pattern.find('*');
    if (star == std::string_view::npos) {
        return std::string(pattern);
    }
    std::string text(pattern.substr(0, star));
    text += id;
    text += pattern.substr(star + 1);
    return text;
}

namespace {

struct ReasonRow {
    Reason reason;
    std::string_view text;
    unsigned status;
};

constexpr std::array<ReasonRow, 16> reasons = {{
    {Reason::invalid, "invalid", 400},
    {Reason::unauthenticated, "unauthenticated", 401},
    {Reason::revoked, "revoked", 401},
    {Reason::forbidden, "forbidden", 403},
    {Reason::notFound, "not_found", 404},
    {Reason::notAllowed, "not_allowed", 405},
    {Reason::tooSlow, "too_slow", 408},
    {Reason::conflict, "conflict", 409},
    {Reason::leaseLost, "lease_lost", 409},
    {Reason::lengthRequired, "length_required", 411},
    {Reason::tooLarge, "too_large", 413},
    {Reason::unsupported, "unsupported", 415},
    {Reason::tooMany, "too_many", 429},
    {Reason::internal, "internal", 500},
    {Reason::busy, "busy", 503},
    {Reason::noSpace, "no_space", 507},
}};

constexpr bool reasonsInOrder() {
    for (std::size_t index = 0; index < reasons.size(); ++index) {
        if (static_cast<std::size_t>(reasons[index].reason) != index) {
            return false;
        }
    }
    return true;
}
static_assert(reasonsInOrder(), "reasons must be listed in their declared order");

} // namespace

std::string_view text(Reason reason) noexcept {
    return reasons[static_cast<std::size_t>(reason)].text;
}

std::optional<Reason> reason(std::string_view text) noexcept {
    for (const ReasonRow& row : reasons) {
        if (row.text == text) {
            return row.reason;
        }
    }
    return std::nullopt;
}

unsigned status(Reason reason) noexcept {
    return reasons[static_cast<std::size_t>(reason)].status;
}

std::optional<Reason> reasonOf(unsigned status) noexcept {
    for (const ReasonRow& row : reasons) {
        if (row.status == status) {
            return row.reason;
        }
    }
    return std::nullopt;
}

std::string_view text(JobState state) noexcept {
    return stateTexts[static_cast<std::size_t>(state)];
}

std::string_view text(Side side) noexcept {
    return sideTexts[static_cast<std::size_t>(side)];
}

std::optional<JobState> jobState(std::string_view text) noexcept {
    return named<JobState>(stateTexts, text);
}

std::optional<Side> side(std::string_view text) noexcept {
    return named<Side>(sideTexts, text);
}

bool isTerminal(JobState state) noexcept {
    return state != JobState::building && state != JobState::installing;
}

JobState workingState(Side side) noexcept {
    return side == Side::builder ? JobState::building : JobState::installing;
}

std::optional<Side> workingSide(JobState state) noexcept {
    switch (state) {
    case JobState::building:
        return Side::builder;
    case JobState::installing:
        return Side::receiver;
    default:
        return std::nullopt;
    }
}

} // namespace Protocol
