// A connection receiving a build: admitted, then its body read, hashed and written to the disk
// by a thread of its own.
#include "Connection.hpp"

#include <boost/asio/buffer.hpp>
#include <vector>

// GCC's sanitized build wrongly sees the coroutine frame's delete as a mismatch for Asio's
// aligned frame allocation when it inlines both here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace ZUQRelay::Sessions {

namespace {

// The largest read of an upload's body.
constexpr std::size_t receiveSize = 256 * 1024;

} // namespace

template <class Stream>
std::optional<Routes::Answer> Connection<Stream>::receive(Upload& upload, std::uint64_t length,
                                                          Transfer& transfer) {
    std::vector<char> piece;
    for (std::uint64_t left = length; left > 0;) {
        std::size_t received = 0;
        if (buffer_.size() > 0) {
            // What arrived with the head.
            auto data = buffer_.data();
            received = static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), left));
            upload.append(static_cast<const char*>(data.data()), received);
            buffer_.consume(received);
        } else {
            if (piece.empty()) {
                piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(receiveSize, left)));
            }
            std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), left));
            beast::error_code error;
            received = stream_.read_some(asio::buffer(piece.data(), want), error);
            if (error) {
                return transfer.cut() ? Routes::refusal(408, "The upload was too slow")
                                      : Routes::refusal(400, "The upload was cut short");
            }
            upload.append(piece.data(), received);
        }
        left -= received;
        transfer.moved(received);
    }
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
    co_return co_await finish(version, answer, failed ? Next::close : Next::keep, keepAlive, log);
}

template asio::awaitable<Next> Connection<PlainStream>::upload(const Routes::Decision&,
                                                               const RequestHead&, bool,
                                                               LogEntry&);
template asio::awaitable<Next> Connection<SecureStream>::upload(const Routes::Decision&,
                                                                const RequestHead&, bool,
                                                                LogEntry&);

} // namespace ZUQRelay::Sessions
