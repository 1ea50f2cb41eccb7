// A connection's course: waiting for requests, reading their heads and JSON bodies, deciding
// them on the workers and answering; and the making of a session. The sessions' members are
// defined in two sources, this and the transfers', each instantiating its part for both
// streams, so that Beast and Asio are compiled twice rather than once a member.
#include "Connection.hpp"
#include "Session.hpp"

#include <array>
#include <boost/asio/write.hpp>
#include <boost/beast/http/status.hpp>

namespace ZUQRelay::Sessions {

namespace {

// The framing rules beyond what the parser enforces: at most one Content-Length, given once
// as one number, and no transfer coding but chunked.
bool framingIsSound(const http::request_header<>& head) {
    auto lengths = head.equal_range(http::field::content_length);
    if (lengths.first != lengths.second &&
        (std::next(lengths.first) != lengths.second ||
         lengths.first->value().find(',') != beast::string_view::npos)) {
        return false;
    }
    auto codings = head.equal_range(http::field::transfer_encoding);
    if (codings.first != codings.second && (std::next(codings.first) != codings.second ||
                                            !beast::iequals(codings.first->value(), "chunked"))) {
        return false;
    }
    return true;
}

} // namespace

template <class Stream>
bool Connection<Stream>::hold(std::size_t& held, std::size_t bytes,
                              bool (Server::*take)(std::ptrdiff_t)) {
    std::ptrdiff_t change = static_cast<std::ptrdiff_t>(bytes) - static_cast<std::ptrdiff_t>(held);
    held = bytes;
    return (server_.*take)(change);
}

template <class Stream>
asio::awaitable<void> Connection<Stream>::run(std::shared_ptr<Connection> self) {
    try {
        bool ready = true;
        if constexpr (secure) {
            mark(Server::Phase::unfinished);
            lowest().expires_after(timeouts().handshake);
            auto [error] = co_await stream_.async_handshake(asio::ssl::stream_base::server, tuple);
            ready = !error;
        }
        while (ready && !server_.stopping()) {
            if (buffer_.size() == 0 && !co_await waitForRequest()) {
                break;
            }
            Next next = co_await exchange();
            answered_ = true;
            holdHead(0);
            holdBody(0);
            holdAnswer(0);
            if (next == Next::linger) {
                co_await linger();
            }
            if (next != Next::keep) {
                break;
            }
        }
    } catch (const std::exception& failure) {
        AccessLog::notice(std::string("A connection failed: ") + failure.what());
    }
    holdHead(0);
    holdBody(0);
    holdAnswer(0);
    // The session goes when the last reference, this coroutine's, does.
    self.reset();
}

template <class Stream>
asio::awaitable<bool> Connection<Stream>::waitForRequest() {
    buffer_.shrink_to_fit();
    // A connection that has not sent its first request yet is new, not idle: it goes only
    // after older connections that are slow to send theirs, never before a kept-alive one.
    if (!mark(answered_ ? Server::Phase::waiting : Server::Phase::unfinished)) {
        evictable_ = false;
        co_return false;
    }
    lowest().expires_after(timeouts().idle);
    auto [error, received] = co_await stream_.async_read_some(buffer_.prepare(idleReadSize), tuple);
    bool ready = !error;
    if (ready) {
        buffer_.commit(received);
        if constexpr (!secure) {
            if (received == idleReadSize) {
                readArrived();
            }
        }
    }
    // Still listed until the head is read: a request that came whole is then marked busy with
    // one call, and one whose head is still coming stays evictable.
    co_return ready;
}

// Takes in what else has arrived on a plain connection without waiting, so that a request
// larger than the small read of an idle connection (a heartbeat with its inventory) needs no
// further pass through the I/O queue, where it would wait behind every other connection.
template <class Stream>
void Connection<Stream>::readArrived() {
    tcp::socket& socket = lowest().socket();
    boost::system::error_code error;
    socket.non_blocking(true, error);
    std::size_t received = error ? 0 : socket.read_some(buffer_.prepare(readSize), error);
    // Nothing there, or a failure that the next read reports.
    buffer_.commit(error ? 0 : received);
}

template <class Stream>
asio::awaitable<Next> Connection<Stream>::exchange() {
    LogEntry log;
    auto deadline = log.start + timeouts().head;
    http::request_parser<http::string_body> parser;
    parser.header_limit(maxHeadBytes);
    // Bodies are limited once the head has told what they are.
    parser.body_limit(boost::none);
    for (bool unfinished = false;;) {
        beast::error_code error;
        if (buffer_.size() > 0) {
            buffer_.consume(parser.put(buffer_.data(), error));
        }
        if (parser.is_header_done()) {
            break;
        }
        if (!unfinished) {
            // A head still coming may be closed to make room for other connections.
            mark(Server::Phase::unfinished);
            unfinished = true;
        }
        if (error && error != http::error::need_more) {
            if (error == http::error::header_limit) {
                co_return Next::close;
            }
            co_return co_await finish(11, Routes::refusal(400, "Bad request"), Next::linger, false,
                                      log);
        }
        if (buffer_.size() >= maxHeadBytes || !holdHead(buffer_.size())) {
            co_return Next::close;
        }
        lowest().expires_at(deadline);
        auto [readError, received] =
            co_await stream_.async_read_some(buffer_.prepare(readSize), tuple);
        if (readError) {
            co_return Next::close;
        }
        buffer_.commit(received);
    }
    mark(Server::Phase::busy);
    holdHead(0);
    log.start = Clock::now();

    unsigned version = parser.get().version();
    bool keepAlive = parser.get().keep_alive();
    const RequestHead head = plainHead(parser.get().base());
    log.method = head.method;
    log.path = head.target.substr(0, head.target.find('?'));
    if (!framingIsSound(parser.get().base())) {
        co_return co_await finish(version, Routes::refusal(400, "Bad request"), Next::linger, false,
                                  log);
    }
    auto length = parser.content_length();
    bool hasBody = parser.chunked() || (length && *length > 0);
    // A small JSON body that has arrived with its head is read at once, so that the request
    // needs a single trip to the workers.
    bool bodyRead = !hasBody;
    if (hasBody && parser.get().method() != http::verb::put && length &&
        *length <= Routes::maxJSONBytes && buffer_.size() >= *length) {
        if (auto failed = co_await readBody(parser, deadline, log)) {
            co_return *failed;
        }
        bodyRead = true;
    }

    const Routes& routes = server_.routes();
    // The commonest requests, heartbeats and claims that find nothing, need no store: they are
    // answered here, sparing two thread wake-ups on the way to a worker and back.
    if (bodyRead && head.method == "POST") {
        if (auto quick = routes.answerAtOnce(head, parser.get().body())) {
            log.device = std::move(quick->device);
            co_return co_await finish(version, quick->answer, Next::keep, keepAlive, log);
        }
    }
    struct Outcome {
        std::optional<Routes::Decision> decision;
        Routes::Answer answer;
    };
    auto decideAndHandle = [&](bool handle) -> Outcome {
        try {
            Routes::Decision decision = routes.decide(head, address());
            log.device = decision.caller.deviceID;
            bool json =
                decision.body != Routes::Body::upload && decision.body != Routes::Body::download;
            if (handle && json) {
                return {decision, {200, routes.handle(decision, head, parser.get().body())}};
            }
            return {decision, {}};
        } catch (...) {
            return {std::nullopt, Routes::failure(std::current_exception())};
        }
    };
    // A large body costs most to read: such requests take turns in the heavy lane, so that one
    // group sending many of them waits behind itself rather than every other group.
    auto carryOut = [&](bool handle) -> asio::awaitable<Outcome> {
        if (!handle || parser.get().body().size() <= Routes::quickBodyBytes) {
            co_return co_await server_.onWorkers([&] { return decideAndHandle(handle); });
        }
        auto taken = co_await server_.onHeavyLane(routes.turnOf(head, share()),
                                                  [&] { return decideAndHandle(true); });
        co_return taken ? std::move(*taken)
                        : Outcome{std::nullopt, Routes::refusal(503, crowdedSentence)};
    };
    Outcome outcome = co_await carryOut(bodyRead);
    Next unread = bodyRead ? Next::keep : Next::linger;
    if (!outcome.decision) {
        co_return co_await finish(version, outcome.answer, unread, keepAlive, log);
    }
    const Routes::Decision& decision = *outcome.decision;
    switch (decision.body) {
    case Routes::Body::upload:
        co_return co_await upload(decision, head, keepAlive, log);
    case Routes::Body::download:
        co_return co_await download(decision, head, keepAlive, !bodyRead, log);
    case Routes::Body::none:
        if (!bodyRead) {
            // Not read, and so not taken for the next request: the connection ends after this.
            Outcome handled = co_await server_.onWorkers([&]() -> Outcome {
                try {
                    return {decision, {200, routes.handle(decision, head, {})}};
                } catch (...) {
                    return {std::nullopt, Routes::failure(std::current_exception())};
                }
            });
            co_return co_await finish(version, handled.answer, Next::linger, keepAlive, log);
        }
        break;
    case Routes::Body::json:
    case Routes::Body::emptyOrJSON:
        if (!bodyRead) {
            if (expectsContinue(head) && !co_await sendContinue()) {
                co_return Next::close;
            }
            // A chunked body, whose length no head announced, meets its route's limit here.
            if (auto failed = co_await readBody(
                    parser, deadline, log, Protocol::endpoint(decision.operation).maxBodyBytes)) {
                co_return *failed;
            }
            outcome = co_await carryOut(true);
        }
        break;
    }
    co_return co_await finish(version, outcome.answer, Next::keep, keepAlive, log);
}

// Reads the rest of a JSON body into the parser, within the head's deadline and at the
// transfer's minimum rate. Nothing when it is complete; else what becomes of the connection,
// answered.
template <class Stream>
asio::awaitable<std::optional<Next>>
Connection<Stream>::readBody(http::request_parser<http::string_body>& parser,
                             Clock::time_point deadline, LogEntry& log, std::size_t limit) {
    parser.eager(true);
    parser.body_limit(limit);
    Throughput progress = throughput();
    unsigned version = parser.get().version();
    for (;;) {
        beast::error_code error;
        if (buffer_.size() > 0) {
            std::size_t used = parser.put(buffer_.data(), error);
            buffer_.consume(used);
            progress.add(used, Clock::now());
        }
        if (error == http::error::body_limit || parser.get().body().size() > limit) {
            co_return co_await finish(version, Routes::refusal(413, "Request body is too large"),
                                      Next::linger, false, log);
        }
        // Held until the request is answered: many bodies at once cannot take all memory.
        if (!holdBody(parser.get().body().size())) {
            co_return co_await finish(version, Routes::refusal(503, crowdedSentence), Next::linger,
                                      false, log);
        }
        if (parser.is_done()) {
            co_return std::nullopt;
        }
        if (error && error != http::error::need_more) {
            co_return co_await finish(version, Routes::refusal(400, "Bad request"), Next::linger,
                                      false, log);
        }
        lowest().expires_at(std::min(deadline, progress.deadline()));
        auto [readError, received] =
            co_await stream_.async_read_some(buffer_.prepare(readSize), tuple);
        if (readError == beast::error::timeout) {
            log.write(408);
            co_return Next::close;
        }
        if (readError) {
            co_return co_await finish(version,
                                      Routes::refusal(400, "The request body was cut short"),
                                      Next::close, false, log);
        }
        buffer_.commit(received);
    }
}

template asio::awaitable<void>
    Connection<PlainStream>::run(std::shared_ptr<Connection<PlainStream>>);
template asio::awaitable<void>
    Connection<SecureStream>::run(std::shared_ptr<Connection<SecureStream>>);

namespace {

constexpr std::string_view retryAfterSeconds = "5";

} // namespace

std::string answerHead(unsigned version, unsigned status, std::string_view type,
                       std::uint64_t length, bool keepAlive) {
    std::string head = version >= 11 ? "HTTP/1.1 " : "HTTP/1.0 ";
    head += std::to_string(status);
    head += ' ';
    head += http::obsolete_reason(static_cast<http::status>(status));
    head += "\r\nContent-Type: ";
    head += type;
    if (status == 503) {
        head += "\r\nRetry-After: ";
        head += retryAfterSeconds;
    }
    // HTTP/1.1 keeps a connection unless told otherwise, HTTP/1.0 closes it unless told.
    if (version >= 11 && !keepAlive) {
        head += "\r\nConnection: close";
    } else if (version < 11 && keepAlive) {
        head += "\r\nConnection: keep-alive";
    }
    head += "\r\nContent-Length: ";
    head += std::to_string(length);
    head += "\r\n\r\n";
    return head;
}

// Written as bytes rather than through Beast's serializer, which would be compiled once more
// for each stream for what is always the same few lines.
template <class Stream>
asio::awaitable<bool> Connection<Stream>::answer(unsigned version, const Routes::Answer& answer,
                                                 bool keepAlive) {
    std::string head =
        answerHead(version, answer.status, Protocol::jsonType, answer.body.size(), keepAlive);
    std::array<asio::const_buffer, 2> pieces = {asio::buffer(head), asio::buffer(answer.body)};
    lowest().expires_after(timeouts().answer);
    auto [error, written] = co_await asio::async_write(stream_, pieces, tuple);
    co_return !error;
}

// A fixed line: only HTTP/1.1 has interim answers, and writing it through the serializer
// would compile Beast's writing once more for each stream.
template <class Stream>
asio::awaitable<bool> Connection<Stream>::sendContinue() {
    static constexpr std::string_view interim = "HTTP/1.1 100 Continue\r\n\r\n";
    lowest().expires_after(timeouts().answer);
    auto [error, written] =
        co_await asio::async_write(stream_, asio::buffer(interim.data(), interim.size()), tuple);
    co_return !error;
}

// Answers, logs, and tells what becomes of the connection: `next`, unless the client asked
// to close or the answer could not be sent.
template <class Stream>
asio::awaitable<Next> Connection<Stream>::finish(unsigned version, const Routes::Answer& reply,
                                                 Next next, bool keepAlive, LogEntry& log) {
    bool keep = keepAlive && next == Next::keep;
    // The body is done with once answered or refused: its bytes go back to the budget before
    // the answer leaves, so a client holding its answer finds them free, and a refused body
    // holds nothing while its connection lingers.
    holdBody(0);
    // A large answer is held until written, so that many clients reading slowly cannot make
    // the relay hold their answers all at once: past the budget one is refused instead. Only
    // answers of requests that changed nothing (GET) can be refused, and asked for again.
    const Routes::Answer* sending = &reply;
    Routes::Answer refused;
    if (reply.body.size() > Server::smallAnswerBytes &&
        !holdAnswer(reply.body.size(), log.device) && log.method == "GET") {
        holdAnswer(0);
        refused = Routes::refusal(503, crowdedSentence);
        sending = &refused;
    }
    bool sent = co_await answer(version, *sending, keep);
    holdAnswer(0);
    log.write(sending->status);
    if (!sent) {
        co_return Next::close;
    }
    if (next == Next::keep && !keep) {
        co_return Next::close;
    }
    co_return next;
}

// After an answer that ends the connection while the client may still be sending: stop
// sending, and drop what arrives for a moment, so that closing with unread input does not
// reset the connection before the client has read the answer.
template <class Stream>
asio::awaitable<void> Connection<Stream>::linger() {
    boost::system::error_code ignored;
    lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    buffer_.clear();
    lowest().expires_after(timeouts().linger);
    for (;;) {
        auto [error, received] =
            co_await lowest().async_read_some(buffer_.prepare(readSize), tuple);
        if (error) {
            break;
        }
    }
}

template asio::awaitable<bool> Connection<PlainStream>::answer(unsigned, const Routes::Answer&,
                                                               bool);
template asio::awaitable<bool> Connection<SecureStream>::answer(unsigned, const Routes::Answer&,
                                                                bool);
template asio::awaitable<bool> Connection<PlainStream>::sendContinue();
template asio::awaitable<bool> Connection<SecureStream>::sendContinue();
template asio::awaitable<Next> Connection<PlainStream>::finish(unsigned, const Routes::Answer&,
                                                               Next, bool, LogEntry&);
template asio::awaitable<Next> Connection<SecureStream>::finish(unsigned, const Routes::Answer&,
                                                                Next, bool, LogEntry&);
template asio::awaitable<void> Connection<PlainStream>::linger();
template asio::awaitable<void> Connection<SecureStream>::linger();

} // namespace ZUQRelay::Sessions

namespace ZUQRelay {

std::shared_ptr<Session> makeSession(Server& server, boost::asio::ip::tcp::socket socket,
                                     std::string address, boost::asio::ssl::context* tls) {
    using namespace Sessions;
    if (tls) {
        return std::make_shared<Connection<SecureStream>>(server, std::move(address),
                                                          std::move(socket), *tls);
    }
    return std::make_shared<Connection<PlainStream>>(server, std::move(address), std::move(socket));
}

} // namespace ZUQRelay
