// The relay's connections as coroutines over a plain or a TLS stream: what the session
// sources share. A connection's members are defined in two sources, one for requests and
// answers and one for the transfers of builds, each instantiating its part for both streams,
// so that no member compiles the whole of Beast and Asio on its own.
#pragma once

#include "AccessLog.hpp"
#include "Server.hpp"
#include "Throughput.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ZUQRelay::Sessions {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using Clock = std::chrono::steady_clock;
using tcp = asio::ip::tcp;
using PlainStream = beast::tcp_stream;
using SecureStream = beast::ssl_stream<beast::tcp_stream>;

inline constexpr auto tuple = asio::as_tuple(asio::use_awaitable);

// A request head longer than this ends its connection without an answer.
inline constexpr std::size_t maxHeadBytes = 64 * 1024;
// Bytes read at once into a connection's buffer, and while a TLS one waits for a request.
inline constexpr std::size_t readSize = 16 * 1024;
inline constexpr std::size_t idleReadSize = 1024;
inline constexpr std::string_view busySentence =
    "The relay is busy with other transfers. Try again shortly.";
inline constexpr std::string_view crowdedSentence =
    "The relay is busy with other requests. Try again shortly.";

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

// An HTTP/1.0 client's expectation is ignored: that version has no interim answers.
inline bool expectsContinue(const RequestHead& head) {
    return head.version >= 11 && beast::iequals(head["Expect"], "100-continue");
}

// The head of an answer of `status` whose body is `length` bytes of `type`, saying whether the
// connection stays open as `version` of HTTP needs it said.
std::string answerHead(unsigned version, unsigned status, std::string_view type,
                       std::uint64_t length, bool keepAlive);

// The head as the rules see it.
inline RequestHead plainHead(const http::request_header<>& head) {
    RequestHead plain{
        std::string(head.method_string()), std::string(head.target()), head.version(), {}};
    for (const auto& field : head) {
        plain.fields.emplace_back(field.name_string(), field.value());
    }
    return plain;
}

// A build moving on a thread of its own: what that thread and the session watching it share.
class Transfer {
public:
    explicit Transfer(Throughput rate) : rate_(std::move(rate)) {}

    // Counts bytes moved; called by the thread.
    void moved(std::uint64_t bytes) {
        std::lock_guard lock(mutex_);
        rate_.add(bytes, Clock::now());
    }
    // Whether the session cut the connection for moving too slowly.
    bool cut() {
        std::lock_guard lock(mutex_);
        return tooSlow_;
    }

private:
    template <class Stream>
    friend class Connection;
    std::mutex mutex_; // guards the fields below
    Throughput rate_;
    bool done_ = false;
    bool tooSlow_ = false;
};

// A connection's coroutines. Sessions are made by makeSession; the members are defined, and
// instantiated for both streams, in the two session sources.
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

    void closeIfEvictable() override {
        if (evictable_) {
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
    void readArrived();
    asio::awaitable<Next> exchange();
    // Reads a JSON body of at most `limit` bytes.
    asio::awaitable<std::optional<Next>> readBody(http::request_parser<http::string_body>& parser,
                                                  Clock::time_point deadline, LogEntry& log,
                                                  std::size_t limit = Routes::maxJSONBytes);
    asio::awaitable<Next> upload(const Routes::Decision& decision, const RequestHead& head,
                                 bool keepAlive, LogEntry& log);
    asio::awaitable<Next> download(const Routes::Decision& decision, const RequestHead& head,
                                   bool keepAlive, bool bodyUnread, LogEntry& log);
    // Runs `work` on a thread of its own at a lower priority, with the stream left to it in
    // blocking mode, and waits for it without holding an I/O thread. When the transfer moves
    // too slowly the connection is shut down, which ends the thread's blocking call.
    asio::awaitable<void> apart(Transfer& transfer, std::function<void()> work);
    // What the thread does: the rest of an upload's body into `upload` (nothing when all of it
    // arrived, else the refusal), or `size` bytes of `file` to the client (false if cut short).
    std::optional<Routes::Answer> receive(Upload& upload, std::uint64_t length, Transfer& transfer);
    bool send(int file, std::uint64_t size, Transfer& transfer);
    asio::awaitable<bool> answer(unsigned version, const Routes::Answer& answer, bool keepAlive);
    asio::awaitable<Next> finish(unsigned version, const Routes::Answer& answer, Next next,
                                 bool keepAlive, LogEntry& log);
    asio::awaitable<void> linger();
    // Tells a client that asked to wait that it may send its body; false when that failed.
    asio::awaitable<bool> sendContinue();
    // Keeps one of the server's budgets, taken with `take`, in step with the `bytes` this
    // connection now buffers for it, of which `held` were counted so far.
    // Tells the server what the connection is doing, and so whether it may be closed to make
    // room; false when it is to wait for a request while the server stops.
    bool mark(Server::Phase phase) {
        evictable_ = phase != Server::Phase::busy;
        return server_.mark(*this, phase);
    }
    bool hold(std::size_t& held, std::size_t bytes, bool (Server::*take)(std::ptrdiff_t));
    // For an unfinished head, and for a JSON body.
    bool holdHead(std::size_t bytes) { return hold(headHeld_, bytes, &Server::holdHead); }
    bool holdBody(std::size_t bytes) { return hold(bodyHeld_, bytes, &Server::holdBody); }
    // For a large answer to `holder`; 0 gives back what the last one held.
    bool holdAnswer(std::size_t bytes, std::string_view holder = {}) {
        if (bytes > 0) {
            answerHolder_ = holder;
        }
        auto change = static_cast<std::ptrdiff_t>(bytes) - static_cast<std::ptrdiff_t>(answerHeld_);
        answerHeld_ = bytes;
        return change == 0 || server_.holdAnswer(change, answerHolder_);
    }

    Stream stream_;
    beast::flat_buffer buffer_;
    bool evictable_ = false;     // waiting for a request, its head or a handshake
    bool answered_ = false;      // has had a request
    std::size_t headHeld_ = 0;   // bytes of the server's head budget held
    std::size_t bodyHeld_ = 0;   // and of its body budget
    std::size_t answerHeld_ = 0; // and of its answer budget
    std::string answerHolder_;   // for that Mac
};

} // namespace ZUQRelay::Sessions
