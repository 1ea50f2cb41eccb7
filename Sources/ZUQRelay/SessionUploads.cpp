// A connection receiving a build: admitted, then streamed to the upload's writer.
#include "Connection.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

namespace ZUQRelay::Sessions {

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
    if (expectsContinue(head) && !co_await sendContinue()) {
        co_return Next::close;
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

template asio::awaitable<Next> Connection<PlainStream>::upload(const Routes::Decision&,
                                                               const RequestHead&, bool,
                                                               LogEntry&);
template asio::awaitable<Next> Connection<SecureStream>::upload(const Routes::Decision&,
                                                                const RequestHead&, bool,
                                                                LogEntry&);

} // namespace ZUQRelay::Sessions
