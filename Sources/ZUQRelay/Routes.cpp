#include "Routes.hpp"

#include "AccessLog.hpp"
#include "Database.hpp"
#include "Members.hpp"
#include "PostgreSQL.hpp"

#include <array>
#include <charconv>
#include <system_error>
#include <utility>

#include <sqlite3.h>

namespace ZUQRelay {

using Protocol::Operation;

namespace {

std::vector<std::string_view> segments(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 1;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// A path or query text with its %XX escapes undone.
std::string decodedPath(std::string_view target) {
    std::string_view path = target.substr(0, target.find('?'));
    std::string decoded;
    decoded.reserve(path.size());
    for (std::size_t index = 0; index < path.size(); ++index) {
        if (path[index] == '%' && index + 2 < path.size() && hexValue(path[index + 1]) >= 0 &&
            hexValue(path[index + 2]) >= 0) {
            decoded +=
                static_cast<char>(hexValue(path[index + 1]) * 16 + hexValue(path[index + 2]));
            index += 2;
        } else {
            decoded += path[index];
        }
    }
    return decoded;
}

bool sameName(std::string_view lhs, std::string_view rhs) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lhs.size() != rhs.size()) {
        return false;
    }
    for (std::size_t index = 0; index < lhs.size(); ++index) {
        if (lower(lhs[index]) != lower(rhs[index])) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<std::string_view> RequestHead::find(std::string_view name) const {
    for (const auto& [field, value] : fields) {
        if (sameName(field, name)) {
            return value;
        }
    }
    return std::nullopt;
}

Routes::Routes(Service& service, Bootstrap& bootstrap, const Settings& settings)
    : service_(service), bootstrap_(bootstrap), settings_(settings) {}

Routes::Answer Routes::refusal(Refusal::Reason reason, std::string_view sentence) {
    return {Protocol::status(reason),
            JSON::object({{std::string(Protocol::errorMember), sentence},
                          {std::string(Protocol::reasonMember), Protocol::text(reason)}})
                .data()};
}

Routes::Answer Routes::refusal(unsigned status, std::string_view sentence) {
    Answer answer =
        refusal(Protocol::reasonOf(status).value_or(Refusal::Reason::internal), sentence);
    answer.status = status;
    return answer;
}

Routes::Answer Routes::failure(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Refusal& refused) {
        return refusal(refused.reason(), refused.what());
    } catch (const JSON::ParseError& invalid) {
        return refusal(Refusal::Reason::invalid,
                       std::string("Request body is not valid JSON: ") + invalid.what());
    } catch (const DatabaseError& failed) {
        AccessLog::notice(std::string("Failed: ") + failed.what());
        if ((failed.code() & 0xFF) == SQLITE_FULL) {
            return refusal(Refusal::Reason::noSpace, "The relay has no room left to store this");
        }
        return refusal(Refusal::Reason::internal, "Internal error");
    } catch (const PostgreSQL::Error& failed) {
        AccessLog::notice(std::string("Failed: ") + failed.what());
        if (failed.state() == "53100") { // disk_full
            return refusal(Refusal::Reason::noSpace, "The relay has no room left to store this");
        }
        return refusal(Refusal::Reason::internal, "Internal error");
    } catch (const std::system_error& failed) {
        AccessLog::notice(std::string("Failed: ") + failed.what());
        if (failed.code() == std::errc::no_space_on_device) {
            return refusal(Refusal::Reason::noSpace, "The relay has no room left to store this");
        }
        return refusal(Refusal::Reason::internal, "Internal error");
    } catch (const std::exception& failed) {
        AccessLog::notice(std::string("Failed: ") + failed.what());
        return refusal(Refusal::Reason::internal, "Internal error");
    }
}

const Protocol::Endpoint& Routes::route(const RequestHead& head, std::string& id) const {
    std::string_view method = head.method;
    if (method != "GET" && method != "POST" && method != "PUT" && method != "DELETE") {
        throw Refusal(Refusal::Reason::notAllowed, "Method not allowed");
    }
    std::string decoded = decodedPath(head.target);
    std::vector<std::string_view> path = segments(decoded);
    bool pathKnown = false;
    for (const Protocol::Endpoint& endpoint : Protocol::endpoints) {
        std::vector<std::string_view> pattern = segments(endpoint.pattern);
        if (pattern.size() != path.size()) {
            continue;
        }
        bool matches = true;
        std::string_view captured;
        for (std::size_t index = 0; index < pattern.size() && matches; ++index) {
            if (pattern[index] == "*") {
                captured = path[index];
                matches = !captured.empty();
            } else {
                matches = pattern[index] == path[index];
            }
        }
        if (!matches) {
            continue;
        }
        pathKnown = true;
        if (endpoint.method == method) {
            id = captured;
            return endpoint;
        }
    }
    throw pathKnown ? Refusal(Refusal::Reason::notAllowed, "Method not allowed")
                    : Refusal(Refusal::Reason::notFound, "Not found");
}

Routes::Decision Routes::decide(const RequestHead& head, const std::string& address) const {
    Decision decision;
    const Protocol::Endpoint& matched = route(head, decision.id);
    decision.operation = matched.operation;
    decision.body = matched.body;
    decision.lease = std::string(head[Protocol::Headers::lease]);
    if (matched.body == Body::json || matched.body == Body::emptyOrJSON) {
        std::uint64_t announced = 0;
        if (auto length = head.find("Content-Length")) {
            std::string_view text = *length;
            std::from_chars(text.data(), text.data() + text.size(), announced);
        }
        if (announced > matched.maxBodyBytes) {
            throw Refusal(Refusal::Reason::tooLarge, "Request body is too large");
        }
    }
    switch (matched.access) {
    case Protocol::Access::open:
        break;
    case Protocol::Access::bootstrap:
        bootstrap_.check(address, head[Protocol::Headers::bootstrap]);
        break;
    case Protocol::Access::member:
    case Protocol::Access::leaseHolder:
        decision.caller = service_.authenticate(head[Protocol::Headers::authorization]);
        break;
    }
    if (matched.body == Body::upload) {
        checkUpload(head, decision);
    }
    return decision;
}

std::string Routes::turnOf(const RequestHead& head, const std::string& share) const {
    if (auto caller = service_.knownCaller(head[Protocol::Headers::authorization])) {
        return "group " + caller->groupID;
    }
    return "address " + share;
}

std::optional<Routes::Quick> Routes::answerAtOnce(const RequestHead& head,
                                                  std::string_view text) const {
    if (head.method != "POST" || text.size() > quickBodyBytes) {
        return std::nullopt;
    }
    try {
        std::string id;
        const Protocol::Endpoint& matched = route(head, id);
        if (matched.operation != Operation::heartbeat && matched.operation != Operation::claim) {
            return std::nullopt;
        }
        std::optional<Caller> caller = service_.knownCaller(head[Protocol::Headers::authorization]);
        if (!caller) {
            return std::nullopt;
        }
        JSON body = text.empty() ? JSON::object() : JSON::decode(text);
        if (body.kind() != JSON::Kind::object) {
            return std::nullopt;
        }
        std::optional<JSON> answer;
        if (matched.operation == Operation::heartbeat) {
            // Presence is kept in memory; only renewing leases writes to the store.
            const JSON& leases = body["leases"];
            if (leases.kind() != JSON::Kind::array || !leases.items().empty()) {
                return std::nullopt;
            }
            answer = service_.heartbeat(*caller, body);
        } else {
            answer = service_.claimAtOnce(*caller);
        }
        if (!answer) {
            return std::nullopt;
        }
        return Quick{{200, answer->data()}, caller->deviceID};
    } catch (...) {
        // Refused, or not JSON: the usual path says why.
        return std::nullopt;
    }
}

std::int64_t Routes::after(const RequestHead& head) const {
    std::string_view target = head.target;
    auto question = target.find('?');
    if (question == std::string_view::npos) {
        return 0;
    }
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        std::string_view pair = query.substr(0, query.find('&'));
        query.remove_prefix(std::min(query.size(), pair.size() + 1));
        std::string_view name = pair.substr(0, pair.find('='));
        if (decodedPath(name) != Protocol::afterParameter) {
            continue;
        }
        std::string text =
            pair.size() > name.size() ? decodedPath(pair.substr(name.size() + 1)) : std::string();
        std::int64_t value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < 0) {
            throw Refusal(Refusal::Reason::invalid,
                          "Parameter \"after\" must be a whole number, 0 or more");
        }
        return value;
    }
    return 0;
}

// MARK: Handlers, one per operation of the protocol table

template <Operation operation>
JSON Routes::answer(const Call&) const {
    static_assert(static_cast<int>(operation) < 0, "every operation needs a handler");
    return JSON();
}

template <>
JSON Routes::answer<Operation::createGroup>(const Call& call) const {
    return service_.createGroup(call.body);
}

template <>
JSON Routes::answer<Operation::createInvite>(const Call& call) const {
    return service_.createInvite(call.decision.caller);
}

template <>
JSON Routes::answer<Operation::join>(const Call& call) const {
    return service_.join(call.body);
}

template <>
std::string Routes::encodedAnswer<Operation::group>(const Call& call) const {
    return service_.groupText(call.decision.caller);
}

template <>
JSON Routes::answer<Operation::revoke>(const Call& call) const {
    return service_.revoke(call.decision.caller, call.decision.id);
}

template <>
JSON Routes::answer<Operation::submit>(const Call& call) const {
    return service_.submit(call.decision.caller, call.body);
}

template <>
JSON Routes::answer<Operation::jobs>(const Call& call) const {
    return service_.jobs(call.decision.caller);
}

template <>
JSON Routes::answer<Operation::job>(const Call& call) const {
    return service_.job(call.decision.caller, call.decision.id);
}

template <>
JSON Routes::answer<Operation::events>(const Call& call) const {
    return service_.events(call.decision.caller, call.decision.id, after(call.head));
}

template <>
JSON Routes::answer<Operation::cancel>(const Call& call) const {
    return service_.cancel(call.decision.caller, call.decision.id);
}

// Builds move through openDownload and storeUpload, never as JSON.
template <>
JSON Routes::answer<Operation::upload>(const Call&) const {
    throw std::logic_error("a build transfer handled as a JSON request");
}

template <>
JSON Routes::answer<Operation::download>(const Call&) const {
    throw std::logic_error("a build transfer handled as a JSON request");
}

template <>
JSON Routes::answer<Operation::finishBuild>(const Call& call) const {
    return service_.finishBuild(call.decision.caller, call.decision.id, call.decision.lease,
                                call.body);
}

template <>
JSON Routes::answer<Operation::finish>(const Call& call) const {
    return service_.finish(call.decision.caller, call.decision.id, call.decision.lease);
}

template <>
JSON Routes::answer<Operation::fail>(const Call& call) const {
    return service_.fail(call.decision.caller, call.decision.id, call.decision.lease, call.body);
}

template <>
JSON Routes::answer<Operation::event>(const Call& call) const {
    return service_.addEvent(call.decision.caller, call.decision.id, call.decision.lease,
                             call.body);
}

template <>
JSON Routes::answer<Operation::heartbeat>(const Call& call) const {
    return service_.heartbeat(call.decision.caller, call.body);
}

template <>
JSON Routes::answer<Operation::claim>(const Call& call) const {
    return service_.claim(call.decision.caller);
}

std::string Routes::handle(const Decision& decision, const RequestHead& head,
                           std::string_view text) const {
    JSON body;
    if (decision.body == Body::json || (decision.body == Body::emptyOrJSON && !text.empty())) {
        body = JSON::decode(text);
        if (body.kind() != JSON::Kind::object) {
            throw Refusal(Refusal::Reason::invalid, "Request body must be a JSON object");
        }
    }
    using Handler = std::string (Routes::*)(const Call&) const;
    // The handlers in the order of the protocol table, so an operation is its own index.
    static constexpr auto handlers = []<std::size_t... index>(std::index_sequence<index...>) {
        return std::array<Handler, sizeof...(index)>{
            &Routes::encodedAnswer<static_cast<Operation>(index)>...};
    }
    (std::make_index_sequence<Protocol::endpoints.size()>());
    return (this->*handlers[static_cast<std::size_t>(decision.operation)])(
        Call{decision, head, body});
}

} // namespace ZUQRelay
