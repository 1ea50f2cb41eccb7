// A connection receiving a build: admitted, then its body read, hashed and written on a
// thread of its own, so the I/O threads are left to requests.
#include "Connection.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ZUQRelay::Sessions {

namespace {

// The largest read of an upload's body.
constexpr std::size_t receiveSize = 256 * 1024;
// How often a receiving upload is checked against the minimum rate.
constexpr auto rateCheck = std::chrono::seconds(1);

// Receiving a build is bulk work: when the processors are busy it should wait for requests
// (heartbeats, claims) rather than they for it. An upload whose thread falls behind simply
// reads more slowly, and its sender waits.
void yieldToRequests() {
#if defined(__linux__)
    // On Linux a thread has a niceness of its own.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
#elif defined(__APPLE__)
    ::pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#endif
}

} // namespace

// What the receiving thread and the session watching it share.
struct Receipt {
    explicit Receipt(Throughput watched) : rate(std::move(watched)) {}
    std::mutex mutex; // guards the fields below
    Throughput rate;
    bool done = false;
    bool tooSlow = false; // the session cut the connection
};

// Reads the rest of the body into the upload on the calling thread. Nothing when all of it
// arrived; else the refusal.
template <class Stream>
std::optional<Routes::Answer> Connection<Stream>::receive(Upload& upload, std::uint64_t length,
                                                          Receipt& receipt) {
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
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), left));
            beast::error_code error;
            received = stream_.read_some(asio::buffer(piece.data(), want), error);
            if (error) {
                std::lock_guard lock(receipt.mutex);
                if (receipt.tooSlow) {
                    return Routes::refusal(408, "The upload was too slow");
                }
                return Routes::refusal(400, "The upload was cut short");
            }
            upload.append(piece.data(), received);
        }
        left -= received;
        std::lock_guard lock(receipt.mutex);
        receipt.rate.add(received, Clock::now());
    }
    return std::nullopt;
}

// Runs `receive` on a thread of its own and waits for it without holding an I/O thread,
// cutting the connection when the upload moves too slowly. Nothing when the body has arrived
// and is on the disk as `sha`.
template <class Stream>
asio::awaitable<std::optional<Routes::Answer>>
Connection<Stream>::receiveApart(Upload& upload, std::uint64_t length, std::string& sha) {
    // The thread's reads wait for their bytes; the stream's own timer plays no part in them.
    lowest().expires_never();
    boost::system::error_code ignored;
    lowest().socket().non_blocking(false, ignored);
    auto wake = std::make_shared<asio::steady_timer>(executor());
    Receipt receipt(throughput());
    std::optional<Routes::Answer> failed;
    std::jthread receiver([&, wake] {
        yieldToRequests();
        try {
            failed = receive(upload, length, receipt);
            if (!failed) {
                sha = upload.finish();
            }
        } catch (...) {
            failed = Routes::failure(std::current_exception());
        }
        std::lock_guard lock(receipt.mutex);
        receipt.done = true;
        // Runs on the session's strand, so never between the check below and the wait.
        asio::post(wake->get_executor(), [wake] { wake->cancel(); });
    });
    for (;;) {
        {
            std::lock_guard lock(receipt.mutex);
            if (receipt.done) {
                break;
            }
            if (!receipt.tooSlow && Clock::now() >= receipt.rate.deadline()) {
                // Ends the thread's read; nothing else touches the stream meanwhile.
                receipt.tooSlow = true;
                ::shutdown(lowest().socket().native_handle(), SHUT_RDWR);
            }
        }
        wake->expires_after(rateCheck);
        co_await wake->async_wait(tuple);
    }
    receiver.join();
    co_return failed;
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
    std::string sha;
    try {
        upload.emplace(server_.artifacts());
    } catch (...) {
        failed = Routes::failure(std::current_exception());
    }
    if (!failed) {
        failed = co_await receiveApart(*upload, decision.length, sha);
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
