// The relay's HTTP(S) transport: connections, their limits and time-outs, over Boost.Asio and
// Boost.Beast.
#pragma once

#include "Admission.hpp"
#include "Artifacts.hpp"
#include "HeavyLane.hpp"
#include "Routes.hpp"

#include <atomic>
#include <boost/asio/async_result.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>

namespace ZUQRelay {

/// How long a connection may take over each part of its work.
struct Timeouts {
    /// Without any request on a kept-alive connection (and for a new one, before its first).
    std::chrono::milliseconds idle{std::chrono::seconds(30)};
    /// From the first byte of a request to the end of its head, and of its JSON body.
    std::chrono::milliseconds head{std::chrono::seconds(30)};
    /// For a TLS handshake.
    std::chrono::milliseconds handshake{std::chrono::seconds(10)};
    /// For writing a JSON answer.
    std::chrono::milliseconds answer{std::chrono::seconds(60)};
    /// For draining what a client still sends after an answer that ends its connection, so
    /// that closing does not reset the answer before the client has read it.
    std::chrono::milliseconds linger{std::chrono::seconds(2)};
};

/// One client connection as the server keeps track of it. The server holds sessions only
/// weakly; a session owns itself while any I/O on it is pending.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    /// Tells the server the connection is gone.
    virtual ~Session();
    /// Starts serving; the session then owns itself until the connection ends.
    virtual void start() = 0;
    /// Closes the connection if it is still waiting for a request, or for the rest of its
    /// request's head or its TLS handshake; a request whose head is in goes on. Must run on
    /// the session's executor.
    virtual void closeIfEvictable() = 0;
    virtual boost::asio::any_io_executor executor() = 0;

protected:
    /// Counts the connection from `address` as open.
    Session(class Server& server, std::string address);
    class Server& server_;
    const std::string& address() const { return address_; }
    const std::string& share() const { return share_; }

private:
    friend class Server;
    const std::string address_;
    const std::string share_; // what the per-address cap counts it under
    // Guarded by the server's mutex: where the session is listed for eviction, if it is.
    std::list<std::weak_ptr<Session>>* listedIn_ = nullptr;
    std::list<std::weak_ptr<Session>>::iterator position_;
};

/// Accepts connections on one listening socket and serves them with coroutines on one
/// io_context run by a few I/O threads. A connection waiting for its next request costs no
/// thread and almost no memory. Requests are decided from their heads on worker threads
/// (everything that touches the store runs there, never on an I/O thread); JSON bodies are
/// read whole by the I/O side first, builds stream between the socket and the disk under the
/// transfer admission. Thread-safe: `stop` may be called from any thread, even before `run`.
class Server {
public:
    struct Settings {
        std::size_t ioThreads = 2;
        std::size_t workers = 16;
        /// Requests with JSON bodies larger than `Routes::quickBodyBytes`, whose reading costs
        /// most, are carried out apart from the workers: by this many threads, taking turns among
        /// groups, with at most `heavyWaitingPerGroup` of one group's waiting.
        std::size_t heavyThreads = 1;
        std::size_t heavyWaitingPerGroup = 4;
        /// Open connections at most; to admit a new one, the longest idle one is closed, or
        /// failing that the one that has been longest on its TLS handshake or request head.
        std::size_t maxConnections = 4096;
        /// Open connections from one address at most (an IPv6 /64 counts as one address);
        /// more are closed at once.
        std::size_t maxConnectionsPerAddress = 1024;
        /// Bytes of unfinished request heads held for all connections together.
        std::size_t headBudget = std::size_t(64) << 20;
        /// Bytes of JSON request bodies held for all connections together, from their first
        /// byte until they are answered.
        std::size_t bodyBudget = std::size_t(64) << 20;
        /// Bytes of JSON answers held for all connections together until they are written,
        /// counting only answers larger than `smallAnswerBytes`; an answer is always allowed
        /// when no other is held, so one larger than the budget still goes out alone.
        std::size_t answerBudget = std::size_t(256) << 20;
        Timeouts timeouts;
        Admission::Settings transfers;
        /// A transfer moving fewer bytes a second than this, averaged over `rateWindow`, is
        /// cut. 0 turns the rule off.
        std::uint64_t minimumRate = 16 * 1024;
        std::chrono::seconds rateWindow{30};
    };

    /// With `tls`, every connection speaks TLS with that context (owned by the caller).
    Server(const Settings& settings, const Routes& routes, const Artifacts& artifacts,
           boost::asio::ssl::context* tls);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server();

    /// Binds and listens on `host` (a numeric address or a name) and `port` (0 for any free
    /// one). Returns the port. Throws std::system_error naming the address.
    int listenOn(const std::string& host, int port);

    /// Serves until `stop`; then stops accepting, closes the connections that are between
    /// requests or still on a handshake or a request's head, lets every request whose head is
    /// in finish and returns.
    void run();
    void stop();

    /// Serves `socket`, a connected stream socket whose descriptor this call takes over, as a
    /// connection from `address` under the same limits as an accepted one: for a program that
    /// brings its own connections, such as a fuzzer over socket pairs. Thread-safe.
    void serve(int socket, std::string address);

    // For sessions.
    const Settings& settings() const { return settings_; }
    const Routes& routes() const { return routes_; }
    const Artifacts& artifacts() const { return artifacts_; }
    Admission& admission() { return admission_; }
    bool stopping() const { return stopping_; }
    /// What a session is doing, as far as eviction goes.
    enum class Phase {
        busy,       // on a request whose head is in: never evicted
        waiting,    // for a request: evicted first
        unfinished, // on a TLS handshake or a request's head: evicted when none waits
    };
    /// Marks what a session is doing. False when the server is stopping and the session is not
    /// busy: it then takes no further request.
    bool mark(Session& session, Phase phase);
    /// Takes `bytes` more of the head budget (negative to give back); false when over it.
    bool holdHead(std::ptrdiff_t bytes);
    /// The same for the body budget.
    bool holdBody(std::ptrdiff_t bytes);
    /// The same for the answer budget, for answers to `holder` (the Mac that asked, or
    /// empty): beyond its first answer one holder may take at most a quarter of the budget,
    /// so that one member reading slowly cannot keep every other's large answers waiting.
    /// Whatever its size, an answer goes when it is the only one held.
    bool holdAnswer(std::ptrdiff_t bytes, const std::string& holder);
    static constexpr std::size_t answerSharesOfBudget = 4;
    /// Answers up to this size never count against the answer budget: refusals and the
    /// answers of everyday requests are always written.
    static constexpr std::size_t smallAnswerBytes = 64 * 1024;
    /// What the per-address cap counts a connection from `address` under: the IPv4 address
    /// (also when it comes mapped into IPv6), or the /64 of an IPv6 one, which one party
    /// holds whole. Text that is no address stands for itself.
    static std::string shareOf(const std::string& address);
    /// Counts a new session, and forgets one that is going away.
    void enter(Session& session);
    void forget(Session& session);

    /// Runs `function` on a worker thread and resumes the caller on its own executor with the
    /// result; an exception is rethrown to the caller.
    template <class Function>
    boost::asio::awaitable<std::invoke_result_t<Function&>> onWorkers(Function function) {
        using Result = std::invoke_result_t<Function&>;
        co_return co_await boost::asio::co_spawn(
            workers_.get_executor(),
            [&function]() -> boost::asio::awaitable<Result> { co_return function(); },
            boost::asio::use_awaitable);
    }

    /// Runs `function` in the heavy lane under `key` (whoever sent the request) and resumes the
    /// caller on its own executor with the result; nothing, without running it, when the key
    /// already has its share waiting. An exception is rethrown to the caller.
    template <class Function>
    boost::asio::awaitable<std::optional<std::invoke_result_t<Function&>>>
    onHeavyLane(const std::string& key, Function function);

private:
    boost::asio::awaitable<void> accept();
    void admit(boost::asio::ip::tcp::socket socket);
    void admit(boost::asio::ip::tcp::socket socket, std::string address);
    // Takes off its list the longest waiting session, or else the longest unfinished one, to
    // be closed; null when there is neither. Called with mutex_ held.
    std::shared_ptr<Session> evictable();
    // Closes a session taken by `evictable` if it still may be. Called without mutex_.
    void close(std::shared_ptr<Session> session);
    // Takes a session off its eviction list. Called with mutex_ held.
    void unlist(Session& session);

    Settings settings_;
    const Routes& routes_;
    const Artifacts& artifacts_;
    boost::asio::ssl::context* tls_;
    boost::asio::io_context io_;
    boost::asio::thread_pool workers_;
    HeavyLane heavy_; // after io_, so that its tasks can still post their results to it
    boost::asio::ip::tcp::acceptor acceptor_;
    Admission admission_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::ptrdiff_t> heads_{0};
    std::atomic<std::ptrdiff_t> bodies_{0};
    std::mutex answersMutex_; // guards the two fields below
    std::ptrdiff_t answers_ = 0;
    std::map<std::string, std::ptrdiff_t, std::less<>> answersOf_; // by holder, none at 0

    std::mutex mutex_; // guards the fields below, stopping_'s changes and every Session's
                       // listedIn_ and position_
    std::size_t open_ = 0;
    std::unordered_map<std::string, std::size_t> perAddress_;
    // Sessions waiting for a request, and sessions on a handshake or a head, longest first.
    std::list<std::weak_ptr<Session>> waiting_;
    std::list<std::weak_ptr<Session>> unfinished_;
};

namespace Lanes {

// A call queued in the heavy lane: runs `function` and resumes the coroutine that waits for it
// with the result (or its exception), on the coroutine's executor, kept busy until then.
template <class Handler, class Function, class Result>
class Call final : public HeavyLane::Task {
public:
    Call(Handler handler, Function& function, boost::asio::any_io_executor executor)
        : handler_(std::move(handler)), function_(function),
          executor_(boost::asio::prefer(std::move(executor),
                                        boost::asio::execution::outstanding_work.tracked)) {}

    void run() noexcept override {
        std::exception_ptr failure;
        Result result;
        try {
            result.emplace(function_());
        } catch (...) {
            failure = std::current_exception();
        }
        resume(failure, std::move(result));
    }

    void resume(std::exception_ptr failure, Result result) noexcept {
        boost::asio::post(executor_, [handler = std::move(handler_), failure,
                                      result = std::move(result)]() mutable {
            std::move(handler)(failure, std::move(result));
        });
    }

private:
    Handler handler_;
    Function& function_;
    boost::asio::any_io_executor executor_;
};

} // namespace Lanes

template <class Function>
boost::asio::awaitable<std::optional<std::invoke_result_t<Function&>>>
Server::onHeavyLane(const std::string& key, Function function) {
    using Result = std::optional<std::invoke_result_t<Function&>>;
    boost::asio::any_io_executor executor = co_await boost::asio::this_coro::executor;
    auto start = [this, &key, &function, &executor](auto handler) {
        using Call = Lanes::Call<decltype(handler), Function, Result>;
        std::unique_ptr<HeavyLane::Task> task =
            std::make_unique<Call>(std::move(handler), function, executor);
        if (!heavy_.push(key, task)) {
            static_cast<Call&>(*task).resume(nullptr, std::nullopt);
        }
    };
    co_return co_await boost::asio::async_initiate<decltype(boost::asio::use_awaitable),
                                                   void(std::exception_ptr, Result)>(
        start, boost::asio::use_awaitable);
}

} // namespace ZUQRelay
