// A connection's answers: JSON answers, the interim answer to Expect: 100-continue, and the
// close after an answer given before its request was read.
#include "Connection.hpp"

#include <array>
#include <boost/asio/write.hpp>
#include <boost/beast/http/status.hpp>

namespace ZUQRelay::Sessions {

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
