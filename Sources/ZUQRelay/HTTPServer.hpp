// The relay's HTTP(S) server: the HTTP library's request parsing and routing, driven by an
// event loop so that idle kept-alive connections cost no thread.
#pragma once

#include "Connection.hpp"
#include "Platform/File.hpp"
#include "WorkerPool.hpp"

#include <atomic>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <httplib.h>

namespace ZUQRelay {

/// Accepts connections on one listening socket and keeps them in an idle set watched by one
/// event-loop thread. When a connection has bytes to read it is handed to a worker thread,
/// which answers the requests that have arrived and returns it to the idle set. So a worker
/// is busy only while a request is being read, handled or answered: thousands of agents that
/// keep a connection open between heartbeats need no thread each, and long transfers occupy
/// one worker each, never the whole pool.
///
/// Handlers, the logger and the other hooks of httplib::Server are registered on this object
/// as usual; its own listen functions are not used. Thread-safe: `stop` may be called from
/// any thread while `run` blocks in another.
class HTTPServer : public httplib::Server {
public:
    struct Settings {
        std::size_t threads = 64;
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

    void loop();
    void accept();
    void dispatch(Connection* connection);
    void serve(const std::shared_ptr<Connection>& connection);
    void park(const std::shared_ptr<Connection>& connection, Connection::Parked how);
    void closeExpired();
    void watch(Connection& connection, bool add);

    Settings settings_;
    ssl_ctx_st* tls_;
    Platform::FileDescriptor listener_;
    Platform::FileDescriptor events_;
    Platform::FileDescriptor wakeup_;
    std::optional<WorkerPool> workers_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> active_{0};
    std::chrono::steady_clock::time_point acceptPausedUntil_;
    bool acceptPaused_ = false;

    std::mutex mutex_; // guards idle_, lingering_ and the parked fields of their connections
    // Connections waiting for their next request, longest waiting first.
    std::list<std::shared_ptr<Connection>> idle_;
    // Connections closed for sending after a refusal, whose unread input is drained for a
    // moment so that closing does not reset the answer before the peer has read it.
    std::list<std::shared_ptr<Connection>> lingering_;
};

} // namespace ZUQRelay
