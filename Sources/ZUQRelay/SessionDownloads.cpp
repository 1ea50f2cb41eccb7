// A connection sending a build: admitted, then streamed from its file.
#include "Connection.hpp"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/write.hpp>
#include <cerrno>
#include <sys/sendfile.h>
#include <unistd.h>
#include <variant>
#include <vector>

namespace ZUQRelay::Sessions {

using namespace asio::experimental::awaitable_operators;

namespace {

// A download over TLS is read from its file and encrypted in pieces of this size.
constexpr std::size_t downloadChunk = 256 * 1024;
// A download over plain HTTP lets the other connections of its thread have a turn after
// sending this many bytes.
constexpr std::uint64_t turnBytes = 8 << 20;

} // namespace

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
        std::uint64_t sinceTurn = 0;
        while (static_cast<std::uint64_t>(offset) < size) {
            std::size_t chunk = static_cast<std::size_t>(
                std::min<std::uint64_t>(size - static_cast<std::uint64_t>(offset), 1 << 30));
            ssize_t sent = ::sendfile(socket.native_handle(), file, &offset, chunk);
            if (sent > 0) {
                progress.add(static_cast<std::uint64_t>(sent), Clock::now());
                // A client that keeps up would otherwise keep this thread, and every
                // connection that shares it, until the whole build has gone.
                sinceTurn += static_cast<std::uint64_t>(sent);
                if (sinceTurn >= turnBytes) {
                    sinceTurn = 0;
                    co_await asio::post(executor(), asio::use_awaitable);
                }
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

template asio::awaitable<Next> Connection<PlainStream>::download(const Routes::Decision&,
                                                                 const RequestHead&, bool, bool,
                                                                 LogEntry&);
template asio::awaitable<Next> Connection<SecureStream>::download(const Routes::Decision&,
                                                                  const RequestHead&, bool, bool,
                                                                  LogEntry&);

} // namespace ZUQRelay::Sessions
