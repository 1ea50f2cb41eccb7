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

namespace Paths {

std::string device(std::string_view id) {
    return path(Operation::revoke, id);
}

std::string job(std::string_view id) {
    return path(Operation::job, id);
}

std::string events(std::string_view id, std::optional<std::int64_t> after) {
    std::string text = path(Operation::events, id);
    if (after) {
        text += '?';
        text += afterParameter;
        text += '=';
        text += std::to_string(*after);
    }
    return text;
}

std::string artifact(std::string_view id) {
    return path(Operation::upload, id);
}

std::string cancel(std::string_view id) {
    return path(Operation::cancel, id);
}

std::string finishBuild(std::string_view id) {
    return path(Operation::finishBuild, id);
}

std::string finish(std::string_view id) {
    return path(Operation::finish, id);
}

std::string fail(std::string_view id) {
    return path(Operation::fail, id);
}

std::string event(std::string_view id) {
    return path(Operation::event, id);
}

} // namespace Paths

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
