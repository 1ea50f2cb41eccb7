// A connection moving a build: admitted, then its bytes moved by a thread of its own (an
// upload's body read, hashed and written to the disk; a download sent from its file), so that
// the I/O threads are left to requests and, on a busy machine, a transfer gives way to
// heartbeats and claims rather than they to it.
#include "AppendingThread.hpp"
#include "Connection.hpp"
#include "HeavyLane.hpp"

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <variant>
#include <vector>

// GCC's sanitized build wrongly sees the coroutine frame's delete as a mismatch for Asio's
// aligned frame allocation when it inlines both here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace ZUQRelay::Sessions {

namespace {

// How often a moving build is checked against the minimum rate.
constexpr auto rateCheck = std::chrono::seconds(1);

} // namespace

template <class Stream>
asio::awaitable<void> Connection<Stream>::apart(Transfer& transfer, std::function<void()> work) {
    lowest().expires_never();
    tcp::socket& socket = lowest().socket();
    boost::system::error_code ignored;
    socket.non_blocking(false, ignored);
    socket.native_non_blocking(false, ignored);
    auto wake = std::make_shared<asio::steady_timer>(executor());
    std::jthread mover([&, wake] {
        // A transfer that falls behind simply moves more slowly, and its client waits.
        giveWayToRequests();
        work();
        std::lock_guard lock(transfer.mutex_);
        transfer.done_ = true;
        // Runs on the session's strand, so never between the check below and the wait.
        asio::post(wake->get_executor(), [wake] { wake->cancel(); });
    });
    for (;;) {
        {
            std::lock_guard lock(transfer.mutex_);
            if (transfer.done_) {
                break;
            }
            if (!transfer.tooSlow_ && Clock::now() >= transfer.rate_.deadline()) {
                transfer.tooSlow_ = true;
                ::shutdown(socket.native_handle(), SHUT_RDWR);
            }
        }
        wake->expires_after(rateCheck);
        co_await wake->async_wait(tuple);
    }
    mover.join();
}

template asio::awaitable<void> Connection<PlainStream>::apart(Transfer&, std::function<void()>);
template asio::awaitable<void> Connection<SecureStream>::apart(Transfer&, std::function<void()>);

namespace {

// The largest read of an upload's body.
constexpr std::size_t receiveSize = 256 * 1024;

} // namespace

template <class Stream>
std::optional<Routes::Answer> Connection<Stream>::receive(Upload& upload, std::uint64_t length,
                                                          Transfer& transfer) {
    // What arrived with the head.
    std::uint64_t left = length;
    if (buffer_.size() > 0) {
        auto data = buffer_.data();
        std::size_t received = static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), left));
        upload.append(static_cast<const char*>(data.data()), received);
        buffer_.consume(received);
        left -= received;
        transfer.moved(received);
    }
    if (left == 0) {
        return std::nullopt;
    }
    // The appending thread inherits this one's niceness.
    AppendingThread appender(upload,
                             static_cast<std::size_t>(std::min<std::uint64_t>(receiveSize, left)));
    while (left > 0) {
        char* piece = appender.empty();
        if (piece == nullptr) {
            break; // appending failed: end() says why
        }
        // A piece is handed over full: a TLS read gives one record of at most 16 KiB, and
        // handing each over alone would wake the appending thread sixteen times as often.
        std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(appender.pieceSize(), left));
        for (std::size_t got = 0; got < want;) {
            beast::error_code error;
            std::size_t received = stream_.read_some(asio::buffer(piece + got, want - got), error);
            if (error) {
                appender.end();
                return transfer.cut() ? Routes::refusal(408, "The upload was too slow")
                                      : Routes::refusal(400, "The upload was cut short");
            }
            got += received;
            transfer.moved(received);
        }
        appender.fill(want);
        left -= want;
    }
    appender.end();
    return std::nullopt;
}

template <class Stream>
asio::awaitable<Next> Connection<Stream>::upload(const Routes::Decision& decision,
                                                 const RequestHead& head, bool keepAlive,
                                                 LogEntry& log) {
    unsigned version = head.version;
    std::optional<Admission::Ticket> ticket = co_await server_.admission().admit(
        executor(), decision.caller.deviceID, decision.caller.groupID);
    if (!ticket) {
        co_return co_await finish(version, Routes::refusal(503, busySentence), Next::linger, false,
                                  log);
    }
    if (expectsContinue(head) && !co_await sendContinue()) {
        co_return Next::close;
    }
    std::optional<Upload> upload;
    std::optional<Routes::Answer> failed;
    std::string sha;
    try {
        upload.emplace(server_.artifacts());
    } catch (...) {
        failed = Routes::failure(std::current_exception());
    }
    if (!failed) {
        // Received and flushed to the disk by the transfer's thread.
        Transfer transfer(throughput());
        co_await apart(transfer, [&] {
            try {
                failed = receive(*upload, decision.length, transfer);
                if (!failed) {
                    sha = upload->finish();
                }
            } catch (...) {
                failed = Routes::failure(std::current_exception());
            }
        });
    }
    if (failed && failed->status == 408) {
        // The connection was cut when the time ran out: nothing can be answered.
        ticket.reset();
        log.write(failed->status);
        co_return Next::close;
    }
    // (No co_await inside a conditional expression: GCC destroys its temporaries twice.)
    Routes::Answer answer;
    if (failed) {
        answer = *failed;
    } else {
        answer = co_await server_.onWorkers([&]() -> Routes::Answer {
            try {
                return {200, server_.routes().storeUpload(decision, *upload, sha).data()};
            } catch (...) {
                return Routes::failure(std::current_exception());
            }
        });
    }
    upload.reset();
    ticket.reset();
    // After a failure the client may still be sending: the connection lingers, so that it
    // reads the answer instead of a reset.
    co_return co_await finish(version, answer, failed ? Next::linger : Next::keep, keepAlive, log);
}

template asio::awaitable<Next> Connection<PlainStream>::upload(const Routes::Decision&,
                                                               const RequestHead&, bool, LogEntry&);
template asio::awaitable<Next>
Connection<SecureStream>::upload(const Routes::Decision&, const RequestHead&, bool, LogEntry&);

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
    bool cut = false;
    if (!error) {
        Transfer transfer(throughput());
        co_await apart(transfer, [&] { sent = send(build.file.get(), build.size, transfer); });
        cut = transfer.cut();
    }
    // The head went out as 200; the log tells a download cut for moving too slowly apart.
    log.write(cut ? 408 : 200);
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
            std::size_t chunk = static_cast<std::size_t>(
                std::min<std::uint64_t>(size - static_cast<std::uint64_t>(offset), sendfileChunk));
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
