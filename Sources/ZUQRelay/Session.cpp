#include "Session.hpp"

#include "AccessLog.hpp"
#include "Throughput.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <cerrno>
#include <optional>
#include <span>
#include <sys/sendfile.h>
#include <unistd.h>
#include <variant>
#include <vector>

namespace ZUQRelay {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;
using tcp = asio::ip::tcp;
using PlainStream = beast::tcp_stream;
using SecureStream = beast::ssl_stream<beast::tcp_stream>;

constexpr auto tuple = asio::as_tuple(asio::use_awaitable);

// A request head longer than this ends its connection without an answer.
constexpr std::size_t maxHeadBytes = 64 * 1024;
// Bytes read at once into a connection's buffer, and while it waits for a request.
constexpr std::size_t readSize = 16 * 1024;
constexpr std::size_t idleReadSize = 1024;
// A download over TLS is read from its file and encrypted in pieces of this size.
constexpr std::size_t downloadChunk = 256 * 1024;
constexpr std::string_view busySentence =
    "The relay is busy with other transfers. Try again shortly.";
constexpr std::string_view retryAfterSeconds = "5";

// What becomes of a connection after an exchange.
enum class Next {
    keep,   // ready for the next request
    close,  // ends now
    linger, // its request was not read to the end: ends once the answer is read
};

// One request's entry in the access log.
struct LogEntry {
    std::string method = "-";
    std::string path = "-";
    Clock::time_point start = Clock::now();
    std::string device;

    void write(unsigned status) const {
        std::chrono::duration<double, std::milli> taken = Clock::now() - start;
        AccessLog::request(method, path, status, taken.count(), device);
    }
};

bool expectsContinue(const RequestHead& head) {
    return beast::iequals(head[http::field::expect], "100-continue");
}

// The framing rules beyond what the parser enforces: at most one Content-Length, given once
// as one number, and no transfer coding but chunked.
bool framingIsSound(const RequestHead& head) {
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

template <class Stream>
class Connection final : public Session {
public:
    static constexpr bool secure = std::is_same_v<Stream, SecureStream>;

    template <class... Arguments>
    Connection(Server& server, std::string address, Arguments&&... arguments)
        : Session(server, std::move(address)), stream_(std::forward<Arguments>(arguments)...) {}

    void start() override {
        auto self = std::static_pointer_cast<Connection>(shared_from_this());
        asio::co_spawn(executor(), run(std::move(self)), asio::detached);
    }

    void closeIfIdle() override {
        if (waiting_) {
            lowest().close();
        }
    }

    asio::any_io_executor executor() override { return lowest().get_executor(); }

private:
    beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }
    const Timeouts& timeouts() const { return server_.settings().timeouts; }
    Throughput throughput() const {
        return Throughput(server_.settings().minimumRate, server_.settings().rateWindow,
                          Clock::now());
    }

    asio::awaitable<void> run(std::shared_ptr<Connection> self);
    asio::awaitable<bool> waitForRequest();
    asio::awaitable<Next> exchange();
    asio::awaitable<std::optional<Next>> readBody(http::request_parser<http::string_body>& parser,
                                                  Clock::time_point deadline, LogEntry& log);
    asio::awaitable<Next> upload(const Routes::Decision& decision, const RequestHead& head,
                                 bool keepAlive, LogEntry& log);
    asio::awaitable<Next> download(const Routes::Decision& decision, const RequestHead& head,
                                   bool keepAlive, bool bodyUnread, LogEntry& log);
    asio::awaitable<bool> sendFile(int file, std::uint64_t size);
    asio::awaitable<std::span<char>> space(Upload& upload);
    asio::awaitable<bool> answer(unsigned version, const Routes::Answer& answer, bool keepAlive);
    asio::awaitable<Next> finish(unsigned version, const Routes::Answer& answer, Next next,
                                 bool keepAlive, LogEntry& log);
    asio::awaitable<void> linger();
    // Keeps the head budget in step with the bytes buffered for an unfinished head.
    bool holdHead(std::size_t bytes);

    Stream stream_;
    beast::flat_buffer buffer_;
    bool waiting_ = false;     // waiting for a request, and so closeable at once
    std::size_t headHeld_ = 0; // bytes of the server's head budget held
};

template <class Stream>
bool Connection<Stream>::holdHead(std::size_t bytes) {
    std::ptrdiff_t change =
        static_cast<std::ptrdiff_t>(bytes) - static_cast<std::ptrdiff_t>(headHeld_);
    headHeld_ = bytes;
    return server_.holdHead(change);
}

template <class Stream>
asio::awaitable<void> Connection<Stream>::run(std::shared_ptr<Connection> self) {
    try {
        bool ready = true;
        if constexpr (secure) {
            lowest().expires_after(timeouts().handshake);
            auto [error] = co_await stream_.async_handshake(asio::ssl::stream_base::server, tuple);
            ready = !error;
        }
        while (ready && !server_.stopping()) {
            if (buffer_.size() == 0 && !co_await waitForRequest()) {
                break;
            }
            Next next = co_await exchange();
            holdHead(0);
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
    // The session goes when the last reference, this coroutine's, does.
    self.reset();
}

template <class Stream>
asio::awaitable<bool> Connection<Stream>::waitForRequest() {
    buffer_.shrink_to_fit();
    waiting_ = true;
    if (!server_.idle(*this, true)) {
        waiting_ = false;
        co_return false;
    }
    lowest().expires_after(timeouts().idle);
    auto [error, received] = co_await stream_.async_read_some(buffer_.prepare(idleReadSize), tuple);
    waiting_ = false;
    server_.idle(*this, false);
    if (error) {
        co_return false;
    }
    buffer_.commit(received);
    co_return true;
}

template <class Stream>
asio::awaitable<Next> Connection<Stream>::exchange() {
    LogEntry log;
    auto deadline = log.start + timeouts().head;
    http::request_parser<http::string_body> parser;
    parser.header_limit(maxHeadBytes);
    // Bodies are limited once the head has told what they are.
    parser.body_limit(boost::none);
    for (;;) {
        beast::error_code error;
        if (buffer_.size() > 0) {
            buffer_.consume(parser.put(buffer_.data(), error));
        }
        if (parser.is_header_done()) {
            break;
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
    holdHead(0);
    log.start = Clock::now();

    const RequestHead& head = parser.get().base();
    unsigned version = head.version();
    bool keepAlive = parser.get().keep_alive();
    log.method = std::string(head.method_string());
    std::string_view target = head.target();
    log.path = std::string(target.substr(0, target.find('?')));
    if (!framingIsSound(head)) {
        co_return co_await finish(version, Routes::refusal(400, "Bad request"), Next::linger, false,
                                  log);
    }
    auto length = parser.content_length();
    bool hasBody = parser.chunked() || (length && *length > 0);
    // A small JSON body that has arrived with its head is read at once, so that the request
    // needs a single trip to the workers.
    bool bodyRead = !hasBody;
    if (hasBody && head.method() != http::verb::put && length && *length <= Routes::maxJSONBytes &&
        buffer_.size() >= *length) {
        if (auto failed = co_await readBody(parser, deadline, log)) {
            co_return *failed;
        }
        bodyRead = true;
    }

    const Routes& routes = server_.routes();
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
                return {decision, {200, routes.handle(decision, head, parser.get().body()).data()}};
            }
            return {decision, {}};
        } catch (...) {
            return {std::nullopt, Routes::failure(std::current_exception())};
        }
    };
    Outcome outcome = co_await server_.onWorkers([&] { return decideAndHandle(bodyRead); });
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
                    return {decision, {200, routes.handle(decision, head, {}).data()}};
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
            if (expectsContinue(head)) {
                http::response<http::empty_body> go{http::status::continue_, version};
                lowest().expires_after(timeouts().answer);
                if (auto [error, written] = co_await http::async_write(stream_, go, tuple); error) {
                    co_return Next::close;
                }
            }
            if (auto failed = co_await readBody(parser, deadline, log)) {
                co_return *failed;
            }
            outcome = co_await server_.onWorkers([&] { return decideAndHandle(true); });
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
                             Clock::time_point deadline, LogEntry& log) {
    parser.eager(true);
    parser.body_limit(Routes::maxJSONBytes);
    Throughput progress = throughput();
    unsigned version = parser.get().version();
    for (;;) {
        beast::error_code error;
        if (buffer_.size() > 0) {
            std::size_t used = parser.put(buffer_.data(), error);
            buffer_.consume(used);
            progress.add(used, Clock::now());
        }
        if (parser.is_done()) {
            co_return std::nullopt;
        }
        if (error == http::error::body_limit || parser.get().body().size() > Routes::maxJSONBytes) {
            co_return co_await finish(version, Routes::refusal(413, "Request body is too large"),
                                      Next::linger, false, log);
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

// Room in the upload's buffers, waiting without a thread while its writer is far behind.
template <class Stream>
asio::awaitable<std::span<char>> Connection<Stream>::space(Upload& upload) {
    for (;;) {
        auto wake = std::make_shared<asio::steady_timer>(executor(), Clock::time_point::max());
        // The writer calls back on its own thread; the timer is woken on this executor, which
        // cannot run that before this coroutine waits on it.
        std::span<char> room = upload.trySpace(
            [wake] { asio::post(wake->get_executor(), [wake] { wake->cancel(); }); });
        if (!room.empty()) {
            co_return room;
        }
        co_await wake->async_wait(tuple);
    }
}

template <class Stream>
asio::awaitable<Next> Connection<Stream>::upload(const Routes::Decision& decision,
                                                 const RequestHead& head, bool keepAlive,
                                                 LogEntry& log) {
    unsigned version = head.version();
    std::optional<Admission::Ticket> ticket = co_await server_.admission().admit(
        executor(), decision.caller.deviceID, decision.caller.groupID);
    if (!ticket) {
        co_return co_await finish(version, Routes::refusal(503, busySentence), Next::linger, false,
                                  log);
    }
    if (expectsContinue(head)) {
        http::response<http::empty_body> go{http::status::continue_, version};
        lowest().expires_after(timeouts().answer);
        if (auto [error, written] = co_await http::async_write(stream_, go, tuple); error) {
            co_return Next::close;
        }
    }
    std::optional<Upload> upload;
    std::optional<Routes::Answer> failed;
    try {
        upload.emplace(server_.artifacts());
        Throughput progress = throughput();
        for (std::uint64_t left = decision.length; left > 0;) {
            std::span<char> room = co_await space(*upload);
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(room.size(), left));
            std::size_t received = 0;
            if (buffer_.size() > 0) {
                received = asio::buffer_copy(asio::buffer(room.data(), want), buffer_.data());
                buffer_.consume(received);
            } else {
                lowest().expires_at(progress.deadline());
                auto [error, count] =
                    co_await stream_.async_read_some(asio::buffer(room.data(), want), tuple);
                if (error == beast::error::timeout) {
                    failed = Routes::refusal(408, "The upload was too slow");
                    break;
                }
                if (error) {
                    failed = Routes::refusal(400, "The upload was cut short");
                    break;
                }
                received = count;
            }
            upload->commit(received);
            progress.add(received, Clock::now());
            left -= received;
        }
    } catch (...) {
        failed = Routes::failure(std::current_exception());
    }
    // Dropping an upload waits for its writer; finishing one flushes it to the disk.
    Routes::Answer answer = co_await server_.onWorkers([&]() -> Routes::Answer {
        if (failed) {
            upload.reset();
            return *failed;
        }
        try {
            std::string sha = upload->finish();
            Routes::Answer stored{200, server_.routes().storeUpload(decision, *upload, sha).data()};
            upload.reset();
            return stored;
        } catch (...) {
            upload.reset();
            return Routes::failure(std::current_exception());
        }
    });
    ticket.reset();
    if (answer.status == 408) {
        // The stream closed the connection when the time ran out: nothing can be answered.
        log.write(answer.status);
        co_return Next::close;
    }
    co_return co_await finish(version, answer, failed ? Next::close : Next::keep, keepAlive, log);
}

template <class Stream>
asio::awaitable<Next> Connection<Stream>::download(const Routes::Decision& decision,
                                                   const RequestHead& head, bool keepAlive,
                                                   bool bodyUnread, LogEntry& log) {
    unsigned version = head.version();
    Next afterRefusal = bodyUnread ? Next::linger : Next::keep;
    auto opened = co_await server_.onWorkers([&]() -> std::variant<Download, Routes::Answer> {
        try {
            return server_.routes().openDownload(decision);
        } catch (...) {
            return Routes::failure(std::current_exception());
        }
    });
    if (auto* refused = std::get_if<Routes::Answer>(&opened)) {
        co_return co_await finish(version, *refused, afterRefusal, keepAlive, log);
    }
    Download& build = std::get<Download>(opened);
    std::optional<Admission::Ticket> ticket = co_await server_.admission().admit(
        executor(), decision.caller.deviceID, decision.caller.groupID);
    if (!ticket) {
        co_return co_await finish(version, Routes::refusal(503, busySentence), afterRefusal,
                                  keepAlive, log);
    }
    http::response<http::empty_body> response{http::status::ok, version};
    response.set(http::field::content_type, Protocol::buildType);
    response.content_length(build.size);
    response.keep_alive(keepAlive && !bodyUnread);
    http::response_serializer<http::empty_body> serializer{response};
    lowest().expires_after(timeouts().answer);
    auto [error, written] = co_await http::async_write_header(stream_, serializer, tuple);
    bool sent = !error && co_await sendFile(build.file.get(), build.size);
    log.write(200);
    if (!sent) {
        co_return Next::close;
    }
    co_return bodyUnread ? Next::linger : keepAlive ? Next::keep : Next::close;
}

// Sends `size` bytes of the open file `file` from its start, at the transfer's minimum rate.
// Without TLS they go from the page cache to the socket without passing through the process.
template <class Stream>
asio::awaitable<bool> Connection<Stream>::sendFile(int file, std::uint64_t size) {
    Throughput progress = throughput();
    off_t offset = 0;
    if constexpr (!secure) {
        tcp::socket& socket = lowest().socket();
        socket.native_non_blocking(true);
        asio::steady_timer timer(executor());
        while (static_cast<std::uint64_t>(offset) < size) {
            std::size_t chunk = static_cast<std::size_t>(
                std::min<std::uint64_t>(size - static_cast<std::uint64_t>(offset), 1 << 30));
            ssize_t sent = ::sendfile(socket.native_handle(), file, &offset, chunk);
            if (sent > 0) {
                progress.add(static_cast<std::uint64_t>(sent), Clock::now());
                continue;
            }
            if (sent == 0) {
                co_return false; // the file is shorter than announced
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                co_return false;
            }
            timer.expires_at(progress.deadline());
            auto ready = co_await (socket.async_wait(tcp::socket::wait_write, tuple) ||
                                   timer.async_wait(tuple));
            if (ready.index() != 0 || std::get<0>(std::get<0>(ready))) {
                co_return false;
            }
        }
        co_return true;
    } else {
        std::vector<char> chunk(downloadChunk);
        while (static_cast<std::uint64_t>(offset) < size) {
            std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(size - static_cast<std::uint64_t>(offset), chunk.size()));
            ssize_t got;
            do {
                got = ::pread(file, chunk.data(), want, offset);
            } while (got < 0 && errno == EINTR);
            // A short file (it cannot shrink while open, but a disk error can) ends the answer
            // early; the client sees fewer bytes than announced and fails.
            if (got <= 0) {
                co_return false;
            }
            lowest().expires_at(progress.deadline());
            auto [error, written] = co_await asio::async_write(
                stream_, asio::buffer(chunk.data(), static_cast<std::size_t>(got)), tuple);
            if (error) {
                co_return false;
            }
            offset += got;
            progress.add(static_cast<std::uint64_t>(got), Clock::now());
        }
        co_return true;
    }
}

template <class Stream>
asio::awaitable<bool> Connection<Stream>::answer(unsigned version, const Routes::Answer& answer,
                                                 bool keepAlive) {
    http::response<http::string_body> response{static_cast<http::status>(answer.status), version};
    response.set(http::field::content_type, Protocol::jsonType);
    if (answer.status == 503) {
        response.set(http::field::retry_after, retryAfterSeconds);
    }
    response.body() = answer.body;
    response.keep_alive(keepAlive);
    response.prepare_payload();
    lowest().expires_after(timeouts().answer);
    auto [error, written] = co_await http::async_write(stream_, response, tuple);
    co_return !error;
}

// Answers, logs, and tells what becomes of the connection: `next`, unless the client asked
// to close or the answer could not be sent.
template <class Stream>
asio::awaitable<Next> Connection<Stream>::finish(unsigned version, const Routes::Answer& reply,
                                                 Next next, bool keepAlive, LogEntry& log) {
    bool keep = keepAlive && next == Next::keep;
    bool sent = co_await answer(version, reply, keep);
    log.write(reply.status);
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

} // namespace

std::shared_ptr<Session> makeSession(Server& server, tcp::socket socket, std::string address,
                                     asio::ssl::context* tls) {
    if (tls) {
        return std::make_shared<Connection<SecureStream>>(server, std::move(address),
                                                          std::move(socket), *tls);
    }
    return std::make_shared<Connection<PlainStream>>(server, std::move(address), std::move(socket));
}

} // namespace ZUQRelay
