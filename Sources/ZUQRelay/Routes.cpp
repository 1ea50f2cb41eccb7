#include "Routes.hpp"

#include "AccessLog.hpp"

#include <charconv>
#include <system_error>

namespace ZUQRelay {

namespace {

void answer(httplib::Response& response, int status, const JSON& document) {
    response.status = status;
    response.set_content(document.data(), "application/json");
}

void refuse(httplib::Response& response, int status, const std::string& sentence) {
    answer(response, status, JSON::object({{"error", sentence}}));
}

// The unread rest of a request would be taken for the next request: the connection closes.
void abandonBody() {
    if (Connection* connection = HTTPServer::current()) {
        connection->closeAfterResponse();
    }
}

bool hasBody(const httplib::Request& request) {
    return request.has_header("Transfer-Encoding") ||
           (request.has_header("Content-Length") &&
            request.get_header_value("Content-Length") != "0");
}

std::string_view reason(int status) {
    switch (status) {
    case 400:
        return "Bad request";
    case 404:
        return "Not found";
    case 405:
        return "Method not allowed";
    case 413:
        return "Request is too large";
    case 414:
        return "Request URI is too long";
    case 416:
        return "Range not satisfiable";
    case 500:
        return "Internal error";
    default:
        return "Request failed";
    }
}

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

} // namespace

Routes::TransferSlot::TransferSlot(std::atomic<std::size_t>& running, std::size_t limit)
    : running_(running) {
    if (++running_ > limit) {
        --running_;
        throw Refusal(503, "The relay is busy with other transfers. Try again shortly.");
    }
}

Routes::Routes(Service& service, Bootstrap& bootstrap, const Artifacts& artifacts,
               const Settings& settings)
    : service_(service), bootstrap_(bootstrap), artifacts_(artifacts), settings_(settings) {
    using enum Access;
    using enum Body;
    routes_ = {
        {"POST", "/v1/groups", bootstrap, json, &Routes::createGroup},
        {"POST", "/v1/invites", device, emptyOrJSON, &Routes::createInvite},
        {"POST", "/v1/join", open, json, &Routes::join},
        {"GET", "/v1/group", device, none, &Routes::group},
        {"DELETE", "/v1/devices/*", device, none, &Routes::revoke},
        {"POST", "/v1/jobs", device, json, &Routes::submit},
        {"GET", "/v1/jobs", device, none, &Routes::jobs},
        {"GET", "/v1/jobs/*", device, none, &Routes::job},
        {"GET", "/v1/jobs/*/events", device, none, &Routes::events},
        {"POST", "/v1/jobs/*/cancel", device, emptyOrJSON, &Routes::cancel},
        {"PUT", "/v1/jobs/*/artifact", device, stream, &Routes::upload},
        {"GET", "/v1/jobs/*/artifact", device, none, &Routes::download},
        {"POST", "/v1/jobs/*/finish-build", device, json, &Routes::finishBuild},
        {"POST", "/v1/jobs/*/finish", device, emptyOrJSON, &Routes::finish},
        {"POST", "/v1/jobs/*/fail", device, json, &Routes::fail},
        {"POST", "/v1/jobs/*/event", device, json, &Routes::addEvent},
        {"POST", "/v1/heartbeat", device, json, &Routes::heartbeat},
        {"POST", "/v1/claim", device, emptyOrJSON, &Routes::claim},
    };
}

void Routes::install(HTTPServer& server) {
    server.Get(".*",
               [this](const auto& request, auto& response) { handle(request, response, nullptr); });
    auto withBody = [this](const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) {
        handle(request, response, &reader);
    };
    server.Post(".*", withBody);
    server.Put(".*", withBody);
    server.Delete(".*", withBody);
    server.set_pre_routing_handler(
        [this](const auto& request, auto& response) { return preRoute(request, response); });
    server.set_expect_100_continue_handler(
        [this](const auto& request, auto& response) { return expectContinue(request, response); });
    // Answers the library makes itself (a malformed request line, a bad range) get the same
    // JSON form as the relay's own.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty() || response.content_provider_) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            refuse(response, response.status, std::string(reason(response.status)));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_logger(AccessLog::request);
    server.set_payload_max_length(static_cast<std::size_t>(
        std::max<std::uint64_t>(settings_.maxArtifactBytes, maxJSONBytes)));
    server.set_keep_alive_timeout(30);
    server.set_keep_alive_max_count(1000000);
}

bool Routes::isTransfer(std::string_view requestLine) {
    if (!requestLine.starts_with("PUT ") && !requestLine.starts_with("GET ")) {
        return false;
    }
    std::string_view target = requestLine.substr(4);
    target = target.substr(0, target.find_first_of(" ?"));
    return target.starts_with("/v1/jobs/") && target.ends_with("/artifact");
}

httplib::Server::HandlerResponse Routes::preRoute(const httplib::Request& request,
                                                  httplib::Response& response) {
    const std::string& method = request.method;
    if (method != "GET" && method != "POST" && method != "PUT" && method != "DELETE") {
        abandonBody();
        refuse(response, 405, "Method not allowed");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (method == "GET" && hasBody(request)) {
        abandonBody();
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

const Routes::Route& Routes::route(const httplib::Request& request, std::string& id) const {
    std::vector<std::string_view> path = segments(request.path);
    bool pathKnown = false;
    for (const Route& route : routes_) {
        std::vector<std::string_view> pattern = segments(route.path);
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
        if (route.method == request.method) {
            id = captured;
            return route;
        }
    }
    throw pathKnown ? Refusal(405, "Method not allowed") : Refusal(404, "Not found");
}

void Routes::handle(const httplib::Request& request, httplib::Response& response,
                    const httplib::ContentReader* reader) {
    Exchange exchange{request, response, reader, {}, {}, {}};
    try {
        const Route& matched = route(request, exchange.id);
        std::string text = matched.body == Body::stream ? std::string() : readText(exchange);
        admit(matched, exchange);
        if (matched.body == Body::json || (matched.body == Body::emptyOrJSON && !text.empty())) {
            exchange.body = JSON::decode(text);
            if (exchange.body.kind() != JSON::Kind::object) {
                throw Refusal(400, "Request body must be a JSON object");
            }
        } else if (matched.body == Body::emptyOrJSON) {
            exchange.body = JSON::object();
        }
        JSON result = (this->*matched.handler)(exchange);
        if (!result.isNull()) {
            answer(response, 200, result);
        }
    } catch (const Refusal& refusal) {
        refuse(response, refusal.status(), refusal.what());
    } catch (const JSON::ParseError& error) {
        refuse(response, 400, std::string("Request body is not valid JSON: ") + error.what());
    } catch (const std::system_error& error) {
        AccessLog::notice(std::string("Failed: ") + error.what());
        if (error.code() == std::errc::no_space_on_device) {
            refuse(response, 507, "The relay has no room left to store this");
        } else {
            refuse(response, 500, "Internal error");
        }
    } catch (const std::exception& error) {
        AccessLog::notice(std::string("Failed: ") + error.what());
        refuse(response, 500, "Internal error");
    }
}

std::string Routes::readText(Exchange& exchange) {
    std::string text;
    // Without a length or chunked coding a request has no body; asking the library to read
    // one would wait for the peer to close.
    if (!exchange.reader || !hasBody(exchange.request)) {
        return text;
    }
    if (exchange.request.has_header("Content-Length") &&
        exchange.request.get_header_value<std::uint64_t>("Content-Length") > maxJSONBytes) {
        abandonBody();
        throw Refusal(413, "Request body is too large");
    }
    bool tooLarge = false;
    bool complete = (*exchange.reader)([&](const char* data, std::size_t size) {
        if (text.size() + size > maxJSONBytes) {
            tooLarge = true;
            return false;
        }
        text.append(data, size);
        return true;
    });
    if (tooLarge) {
        abandonBody();
        throw Refusal(413, "Request body is too large");
    }
    if (!complete) {
        abandonBody();
        throw Refusal(400, "The request body was cut short");
    }
    return text;
}

void Routes::admit(const Route& route, Exchange& exchange) {
    switch (route.access) {
    case Access::open:
        return;
    case Access::bootstrap:
        bootstrap_.check(exchange.request.remote_addr,
                         exchange.request.get_header_value("X-ZUQ-Bootstrap"));
        return;
    case Access::device:
        exchange.caller = service_.authenticate(exchange.request.get_header_value("Authorization"));
        if (Connection* connection = HTTPServer::current()) {
            connection->setDevice(exchange.caller.deviceID);
        }
        return;
    }
}

int Routes::expectContinue(const httplib::Request& request, httplib::Response& response) {
    Exchange exchange{request, response, nullptr, {}, {}, {}};
    try {
        const Route& matched = route(request, exchange.id);
        if (matched.body == Body::stream) {
            admit(matched, exchange);
            checkUpload(exchange);
        } else if (request.get_header_value<std::uint64_t>("Content-Length") > maxJSONBytes) {
            throw Refusal(413, "Request body is too large");
        }
        return 100;
    } catch (const Refusal& refusal) {
        refuse(response, refusal.status(), refusal.what());
    } catch (const std::exception& error) {
        AccessLog::notice(std::string("Failed: ") + error.what());
        refuse(response, 500, "Internal error");
    }
    // The body was announced but will not be read.
    abandonBody();
    return response.status;
}

JSON Routes::createGroup(Exchange& exchange) {
    return service_.createGroup(exchange.body);
}

JSON Routes::createInvite(Exchange& exchange) {
    return service_.createInvite(exchange.caller);
}

JSON Routes::join(Exchange& exchange) {
    return service_.join(exchange.body);
}

JSON Routes::group(Exchange& exchange) {
    return service_.group(exchange.caller);
}

JSON Routes::revoke(Exchange& exchange) {
    return service_.revoke(exchange.caller, exchange.id);
}

JSON Routes::submit(Exchange& exchange) {
    return service_.submit(exchange.caller, exchange.body);
}

JSON Routes::jobs(Exchange& exchange) {
    return service_.jobs(exchange.caller);
}

JSON Routes::job(Exchange& exchange) {
    return service_.job(exchange.caller, exchange.id);
}

JSON Routes::events(Exchange& exchange) {
    std::int64_t after = 0;
    if (exchange.request.has_param("after")) {
        std::string text = exchange.request.get_param_value("after");
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), after);
        if (text.empty() || error != std::errc() || end != text.data() + text.size() || after < 0) {
            throw Refusal(400, "Parameter \"after\" must be a whole number, 0 or more");
        }
    }
    return service_.events(exchange.caller, exchange.id, after);
}

JSON Routes::cancel(Exchange& exchange) {
    return service_.cancel(exchange.caller, exchange.id);
}

JSON Routes::heartbeat(Exchange& exchange) {
    return service_.heartbeat(exchange.caller, exchange.body);
}

JSON Routes::claim(Exchange& exchange) {
    return service_.claim(exchange.caller);
}

JSON Routes::finishBuild(Exchange& exchange) {
    return service_.finishBuild(exchange.caller, exchange.id,
                                exchange.request.get_header_value("X-ZUQ-Lease"), exchange.body);
}

JSON Routes::finish(Exchange& exchange) {
    return service_.finish(exchange.caller, exchange.id,
                           exchange.request.get_header_value("X-ZUQ-Lease"));
}

JSON Routes::fail(Exchange& exchange) {
    return service_.fail(exchange.caller, exchange.id,
                         exchange.request.get_header_value("X-ZUQ-Lease"), exchange.body);
}

JSON Routes::addEvent(Exchange& exchange) {
    return service_.addEvent(exchange.caller, exchange.id,
                             exchange.request.get_header_value("X-ZUQ-Lease"), exchange.body);
}

} // namespace ZUQRelay
