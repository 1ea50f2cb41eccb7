#include "HTTPServer.hpp"

#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace ZUQRelay {

namespace {

using SteadyClock = std::chrono::steady_clock;

thread_local Connection* currentConnection = nullptr;

// How long accepting pauses when the process has run out of descriptors.
constexpr auto acceptPause = std::chrono::milliseconds(100);
constexpr int acceptsPerWakeup = 64;
// How long the unread rest of a refused request is drained before the connection closes.
constexpr auto lingerTime = std::chrono::seconds(2);
// How often idle and lingering connections are checked for time-outs.
constexpr auto housekeepingInterval = std::chrono::seconds(1);
// The scheduling priority of bulk workers: well below ordinary ones, above idle.
constexpr int bulkNiceness = 5;

[[noreturn]] void failAt(std::string_view action, const std::string& host, int port) {
    throw std::system_error(errno, std::generic_category(),
                            std::string(action) + " " + host + ":" + std::to_string(port));
}

} // namespace

HTTPServer::HTTPServer(const Settings& settings, ssl_ctx_st* tls)
    : settings_(settings), tls_(tls),
      // Made here, not in run(), so that a stop() that comes first is not lost.
      events_(::epoll_create1(EPOLL_CLOEXEC)), wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!events_ || !wakeup_) {
        throw std::system_error(errno, std::generic_category(), "Cannot start the event loop");
    }
}

HTTPServer::~HTTPServer() {
    // run() has drained the workers when it returned; this covers a server that never ran.
    bulkWorkers_.reset();
}

Connection* HTTPServer::current() {
    return currentConnection;
}

bool HTTPServer::process_and_close_socket(socket_t socket) {
    // Only httplib's own listen loop calls this, and this server does not use it.
    ::close(socket);
    return false;
}

int HTTPServer::listenOn(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    if (int error = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); error != 0) {
        throw std::runtime_error("Cannot resolve " + host + ": " + ::gai_strerror(error));
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    Platform::FileDescriptor listener(
        ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener) {
        failAt("Cannot listen on", host, port);
    }
    int yes = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(listener.get(), found->ai_addr, found->ai_addrlen) != 0 ||
        ::listen(listener.get(), SOMAXCONN) != 0) {
        failAt("Cannot listen on", host, port);
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length);
    int actual = bound.ss_family == AF_INET6
                     ? ntohs(reinterpret_cast<sockaddr_in6&>(bound).sin6_port)
                     : ntohs(reinterpret_cast<sockaddr_in&>(bound).sin_port);
    listener_ = std::move(listener);
    // httplib's answer writers stop early when this reads as invalid; it stays valid until
    // every request in progress has been answered.
    svr_sock_ = listener_.get();
    return actual;
}

void HTTPServer::run() {
    // The stop signal stays readable: every worker sees it on its next wait.
    epoll_event stopEvent{};
    stopEvent.events = EPOLLIN;
    stopEvent.data.ptr = &wakeup_;
    ::epoll_ctl(events_.get(), EPOLL_CTL_ADD, wakeup_.get(), &stopEvent);
    watchListener(true);
    bulkWorkers_.emplace(settings_.bulkThreads, bulkNiceness);
    std::vector<std::thread> workers;
    for (std::size_t index = 0; index < settings_.threads; ++index) {
        workers.emplace_back([this] { work(); });
    }
    for (auto& worker : workers) {
        worker.join();
    }

    listener_.reset();
    std::list<std::shared_ptr<Connection>> parked;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        parked.swap(idle_);
        parked.splice(parked.end(), lingering_);
    }
    parked.clear();
    bulkWorkers_->drain();
    bulkWorkers_.reset();
    svr_sock_ = INVALID_SOCKET;
}

void HTTPServer::stop() {
    std::uint64_t one = 1;
    // Also safe from a signal handler; a full counter already means "stop".
    [[maybe_unused]] auto written = ::write(wakeup_.get(), &one, sizeof one);
}

void HTTPServer::work() {
    for (;;) {
        epoll_event event{};
        int count =
            ::epoll_wait(events_.get(), &event, 1,
                         static_cast<int>(std::chrono::milliseconds(housekeepingInterval).count()));
        if (count < 0 && errno != EINTR) {
            return;
        }
        if (count == 1) {
            if (event.data.ptr == &wakeup_) {
                stopping_ = true;
                return;
            }
            if (event.data.ptr == &listener_) {
                accept();
            } else {
                take(static_cast<Connection*>(event.data.ptr));
            }
        }
        keepHouse();
    }
}

void HTTPServer::watchListener(bool add) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.ptr = &listener_;
    ::epoll_ctl(events_.get(), add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, listener_.get(), &event);
}

void HTTPServer::accept() {
    for (int accepted = 0; accepted < acceptsPerWakeup; ++accepted) {
        int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                std::lock_guard lock(mutex_);
                if (!idle_.empty()) {
                    idle_.front()->parked = Connection::Parked::no;
                    idle_.pop_front();
                    continue;
                }
                // Out of descriptors with none idle to give up: try again a little later.
                acceptPaused_ = true;
                acceptPausedUntil_ = SteadyClock::now() + acceptPause;
                return;
            }
            break;
        }
        Platform::FileDescriptor socket(fd);
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        std::shared_ptr<Connection> connection;
        try {
            connection = std::make_shared<Connection>(std::move(socket), tls_, settings_.timeouts);
        } catch (const std::exception&) {
            continue;
        }
        std::lock_guard lock(mutex_);
        if (idle_.size() + lingering_.size() + active_ >= settings_.maxConnections) {
            if (idle_.empty()) {
                continue; // every connection is busy: this one is refused by closing it
            }
            idle_.front()->parked = Connection::Parked::no;
            idle_.pop_front();
        }
        connection->parked = Connection::Parked::idle;
        connection->parkedSince = SteadyClock::now();
        idle_.push_back(connection);
        connection->parkedPosition = std::prev(idle_.end());
        watch(*connection, true);
    }
    watchListener(false);
}

void HTTPServer::watch(Connection& connection, bool add) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    event.data.ptr = &connection;
    ::epoll_ctl(events_.get(), add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, connection.fd(), &event);
}

void HTTPServer::take(Connection* ready) {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard lock(mutex_);
        if (ready->parked == Connection::Parked::lingering) {
            if (ready->discardInput()) {
                watch(*ready, false);
            } else {
                ready->parked = Connection::Parked::no;
                lingering_.erase(ready->parkedPosition);
            }
            return;
        }
        if (ready->parked != Connection::Parked::idle) {
            return;
        }
        ready->parked = Connection::Parked::no;
        connection = std::move(*ready->parkedPosition);
        idle_.erase(ready->parkedPosition);
        ++active_;
    }
    serve(connection, false);
    --active_;
}

void HTTPServer::serve(const std::shared_ptr<Connection>& connection, bool bulk) {
    thread_local std::vector<char> buffer(settings_.readBufferSize);
    connection->attach(buffer);
    for (bool first = true;; first = false) {
        if (!first && bulk) {
            // A bulk worker serves one request; what follows goes to the ordinary workers.
            connection->detach();
            park(connection, Connection::Parked::idle);
            return;
        }
        Connection::Progress progress = connection->receive();
        if (progress != Connection::Progress::ready) {
            connection->detach();
            if (progress == Connection::Progress::waiting) {
                park(connection, Connection::Parked::idle);
            }
            return;
        }
        if (!bulk && settings_.isBulk && settings_.isBulk(connection->requestLine())) {
            connection->detach();
            ++active_;
            bulkWorkers_->enqueue([this, connection] {
                serve(connection, true);
                --active_;
            });
            return;
        }
        connection->beginRequest();
        currentConnection = connection.get();
        bool closed = false;
        bool kept = false;
        try {
            kept = process_request(*connection, stopping_, closed, nullptr);
        } catch (...) {
            kept = false;
        }
        currentConnection = nullptr;
        kept = connection->flush() && kept;
        if (kept && connection->closingAfterResponse()) {
            connection->detach();
            connection->finishSending();
            park(connection, Connection::Parked::lingering);
            return;
        }
        if (!kept || closed || stopping_) {
            connection->detach();
            return;
        }
    }
}

void HTTPServer::park(const std::shared_ptr<Connection>& connection, Connection::Parked how) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return;
    }
    auto& list = how == Connection::Parked::idle ? idle_ : lingering_;
    connection->parked = how;
    connection->parkedSince = SteadyClock::now();
    list.push_back(connection);
    connection->parkedPosition = std::prev(list.end());
    watch(*connection, false);
}

void HTTPServer::keepHouse() {
    auto now = SteadyClock::now();
    std::int64_t nowCount = now.time_since_epoch().count();
    std::int64_t last = lastHousekeeping_;
    auto interval = std::chrono::duration_cast<SteadyClock::duration>(housekeepingInterval).count();
    if (nowCount - last < interval || !lastHousekeeping_.compare_exchange_strong(last, nowCount)) {
        return;
    }
    std::list<std::shared_ptr<Connection>> expired;
    {
        std::lock_guard lock(mutex_);
        auto expire = [&](std::list<std::shared_ptr<Connection>>& list, auto limit) {
            while (!list.empty() && now - list.front()->parkedSince >= limit) {
                list.front()->parked = Connection::Parked::no;
                expired.splice(expired.end(), list, list.begin());
            }
        };
        expire(idle_, settings_.timeouts.idle);
        expire(lingering_, lingerTime);
        if (acceptPaused_ && now >= acceptPausedUntil_) {
            acceptPaused_ = false;
            watchListener(false);
        }
    }
    // Closed outside the lock: a TLS goodbye is a write.
}

} // namespace ZUQRelay
