// A connection sending a build: admitted, then sent from its file by a thread of its own.
#include "Connection.hpp"

#include <boost/asio/write.hpp>
#include <cerrno>
#include <sys/sendfile.h>
#include <unistd.h>
#include <variant>
#include <vector>

namespace ZUQRelay::Sessions {

namespace {

// A download over TLS is read from its file and encrypted in pieces of this size; over plain
// HTTP each sendfile call moves at most this much, so its progress is counted often.
constexpr std::size_t downloadChunk = 256 * 1024;
constexpr std::uint64_t sendfileChunk = 8 << 20;

} // namespace

template <class Stream>
asio::awaitable<Next> Connection<Stream>::download(const Routes::Decision& decision,
                                                   const RequestHead& head, bool keepAlive,
                                                   bool bodyUnread, LogEntry& log) {
    unsigned version = head.version;
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
    std::string answer =
        answerHead(version, 200, Protocol::buildType, build.size, keepAlive && !bodyUnread);
    lowest().expires_after(timeouts().answer);
    auto [error, written] = co_await asio::async_write(stream_, asio::buffer(answer), tuple);
    bool sent = false;
    if (!error) {
        Transfer transfer(throughput());
        co_await apart(transfer, [&] { sent = send(build.file.get(), build.size, transfer); });
    }
    log.write(200);
    if (!sent) {
        co_return Next::close;
    }
    co_return bodyUnread ? Next::linger : keepAlive ? Next::keep : Next::close;
}

template <class Stream>
bool Connection<Stream>::send(int file, std::uint64_t size, Transfer& transfer) {
    off_t offset = 0;
    if constexpr (!secure) {
        // From the page cache to the socket without passing through the process.
        int socket = lowest().socket().native_handle();
        while (static_cast<std::uint64_t>(offset) < size) {
            std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(
                size - static_cast<std::uint64_t>(offset), sendfileChunk));
            ssize_t sent = ::sendfile(socket, file, &offset, chunk);
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            // Nothing sent: the file is shorter than announced (a disk error can do that).
            if (sent <= 0) {
                return false;
            }
            transfer.moved(static_cast<std::uint64_t>(sent));
        }
        return true;
    } else {
        std::vector<char> chunk(downloadChunk);
        while (static_cast<std::uint64_t>(offset) < size) {
            std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(size - static_cast<std::uint64_t>(offset), chunk.size()));
            ssize_t got;
            do {
                got = ::pread(file, chunk.data(), want, offset);
            } while (got < 0 && errno == EINTR);
            // A short file ends the answer early; the client sees fewer bytes than announced.
            if (got <= 0) {
                return false;
            }
            beast::error_code error;
            asio::write(stream_, asio::buffer(chunk.data(), static_cast<std::size_t>(got)), error);
            if (error) {
                return false;
            }
            offset += got;
            transfer.moved(static_cast<std::uint64_t>(got));
        }
        return true;
    }
}

template asio::awaitable<Next> Connection<PlainStream>::download(const Routes::Decision&,
                                                                 const RequestHead&, bool, bool,
                                                                 LogEntry&);
template asio::awaitable<Next> Connection<SecureStream>::download(const Routes::Decision&,
                                                                  const RequestHead&, bool, bool,
                                                                  LogEntry&);

} // namespace ZUQRelay::Sessions
