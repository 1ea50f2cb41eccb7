// The relay's HTTP(S) server: the HTTP library's request parsing and routing, driven by an
// event loop so that idle kept-alive connections cost no thread.
#pragma once

#include "Connection.hpp"
#include "Platform/File.hpp"
#include "WorkerPool.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <httplib.h>

namespace ZUQRelay {

/// Accepts connections on one listening socket and keeps those without a request in an idle
/// set, watched by one epoll instance that all ordinary workers wait on. The worker that is
/// woken for a connection reads the request, answers it and returns the connection to the
/// idle set; a connection is never handed from thread to thread for an ordinary request. So
/// a worker is busy only while a request is read, handled or answered, and thousands of
/// agents that keep a connection open between heartbeats need no thread each. Uploads and
/// downloads of builds go to separate bulk workers of lower priority, so they can neither
/// take the ordinary workers nor their processor time.
///
/// Handlers, the logger and the other hooks of httplib::Server are registered on this object
/// as usual; its own listen functions are not used. Thread-safe: `stop` may be called from
/// any thread (or a signal handler) while `run` blocks in another, even before `run`.
class HTTPServer : public httplib::Server {
public:
    struct Settings {
        /// Workers for ordinary requests.
        std::size_t threads = 32;
        /// Workers for bulk requests (see `isBulk`), which run at a lower priority so that a
        /// busy processor still answers ordinary requests promptly.
        std::size_t bulkThreads = 32;
        /// Tells bulk requests from their request line, e.g. "PUT /v1/jobs/x/artifact HTTP/1.1".
        std::function<bool(std::string_view requestLine)> isBulk;
        Timeouts timeouts;
        /// Open connections at most; the longest idle one is closed to admit a new one.
        std::size_t maxConnections = 4096;
        /// Bytes each worker reads from a socket at once.
        std::size_t readBufferSize = 256 * 1024;
    };

    /// With `tls`, every connection speaks TLS with that context (owned by the caller).
    HTTPServer(const Settings& settings, ssl_ctx_st* tls);
    ~HTTPServer() override;

    /// Binds and listens on `host` (a numeric address or a name) and `port` (0 for any free
    /// one). Returns the port. Throws std::system_error naming the address.
    int listenOn(const std::string& host, int port);

    /// Serves until `stop`; then stops accepting, closes idle connections, lets every request
    /// in progress finish and returns.
    void run();
    void stop();

    /// The connection whose request the calling thread is handling, or null.
    static Connection* current();

private:
    bool process_and_close_socket(socket_t socket) override;

    void work();
    void accept();
    void take(Connection* ready);
    void serve(const std::shared_ptr<Connection>& connection, bool bulk);
    void park(const std::shared_ptr<Connection>& connection, Connection::Parked how);
    void keepHouse();
    void watch(Connection& connection, bool add);
    void watchListener(bool add);

    Settings settings_;
    ssl_ctx_st* tls_;
    Platform::FileDescriptor listener_;
    Platform::FileDescriptor events_;
    Platform::FileDescriptor wakeup_;
    std::optional<WorkerPool> bulkWorkers_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> active_{0};
    // When the idle and lingering connections were last checked for time-outs, in steady
    // clock nanoseconds; the worker that moves it on does the check.
    std::atomic<std::int64_t> lastHousekeeping_{0};

    std::mutex mutex_; // guards idle_, lingering_, the parked fields of their connections,
                       // acceptPaused_ and acceptPausedUntil_
    bool acceptPaused_ = false;
    std::chrono::steady_clock::time_point acceptPausedUntil_;
    // Connections waiting for their next request, longest waiting first.
    std::list<std::shared_ptr<Connection>> idle_;
    // Connections closed for sending after a refusal, whose unread input is drained for a
    // moment so that closing does not reset the answer before the peer has read it.
    std::list<std::shared_ptr<Connection>> lingering_;
};

} // namespace ZUQRelay
