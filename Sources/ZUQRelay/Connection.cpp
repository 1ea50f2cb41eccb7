#include "Connection.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace ZUQRelay {

namespace {

using Clock = std::chrono::steady_clock;

// A request whose headers go past this is refused by closing the connection.
constexpr std::size_t maxHeaderBytes = 64 * 1024;

void addressText(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        port = ntohs(in6.sin6_port);
    }
    ip = text;
}

} // namespace

void Connection::FreeSSL::operator()(ssl_st* ssl) const {
    SSL_free(ssl);
}

Connection::Connection(Platform::FileDescriptor socket, ssl_ctx_st* tls, const Timeouts& timeouts)
    : socket_(std::move(socket)), timeouts_(timeouts) {
    if (tls) {
        ssl_.reset(SSL_new(tls));
        if (!ssl_ || SSL_set_fd(ssl_.get(), socket_.get()) != 1) {
            throw std::runtime_error("Cannot set up TLS for a connection");
        }
    }
}

Connection::~Connection() {
    if (ssl_ && handshaken_) {
        // Tells the peer the stream ended on purpose; whether it hears is its business.
        SSL_shutdown(ssl_.get());
    }
    ERR_clear_error();
}

void Connection::attach(std::span<char> buffer) {
    buffer_ = buffer;
    begin_ = end_ = 0;
}

void Connection::detach() {
    buffer_ = {};
}

bool Connection::pending() const {
    return begin_ < end_ || (ssl_ && SSL_pending(ssl_.get()) > 0);
}

Connection::Progress Connection::receive() {
    if (ssl_ && !handshaken_) {
        ERR_clear_error();
        int result = SSL_accept(ssl_.get());
        if (result != 1) {
            int error = SSL_get_error(ssl_.get(), result);
            if (error == SSL_ERROR_WANT_READ) {
                return Progress::waiting;
            }
            if (error == SSL_ERROR_WANT_WRITE &&
                waitFor(Wait::writable, Clock::now() + timeouts_.transfer)) {
                return receive();
            }
            return Progress::closed;
        }
        handshaken_ = true;
    }
    if (pending()) {
        return Progress::ready;
    }
    std::size_t moved = 0;
    switch (receiveSome(buffer_.data(), buffer_.size(), moved)) {
    case Outcome::moved:
        begin_ = 0;
        end_ = moved;
        return Progress::ready;
    case Outcome::wouldBlockRead:
        return Progress::waiting;
    default:
        return Progress::closed;
    }
}

void Connection::beginRequest() {
    readingHeaders_ = true;
    headerBytes_ = 0;
    requestStart_ = Clock::now();
    headerDeadline_ = requestStart_ + timeouts_.headers;
    closeAfterResponse_ = false;
    device_.clear();
}

Connection::Outcome Connection::receiveSome(char* data, std::size_t size, std::size_t& moved) {
    if (ssl_) {
        ERR_clear_error();
        int result =
            SSL_read(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
        if (result > 0) {
            moved = static_cast<std::size_t>(result);
            return Outcome::moved;
        }
        switch (SSL_get_error(ssl_.get(), result)) {
        case SSL_ERROR_WANT_READ:
            return Outcome::wouldBlockRead;
        case SSL_ERROR_WANT_WRITE:
            return Outcome::wouldBlockWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Outcome::end;
        default:
            return Outcome::error;
        }
    }
    for (;;) {
        ssize_t result = ::recv(socket_.get(), data, size, 0);
        if (result > 0) {
            moved = static_cast<std::size_t>(result);
            return Outcome::moved;
        }
        if (result == 0) {
            return Outcome::end;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::wouldBlockRead : Outcome::error;
    }
}

Connection::Outcome Connection::sendSome(const char* data, std::size_t size, std::size_t& moved) {
    if (ssl_) {
        ERR_clear_error();
        int result =
            SSL_write(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
        if (result > 0) {
            moved = static_cast<std::size_t>(result);
            return Outcome::moved;
        }
        switch (SSL_get_error(ssl_.get(), result)) {
        case SSL_ERROR_WANT_READ:
            return Outcome::wouldBlockRead;
        case SSL_ERROR_WANT_WRITE:
            return Outcome::wouldBlockWrite;
        default:
            return Outcome::error;
        }
    }
    for (;;) {
        ssize_t result = ::send(socket_.get(), data, size, MSG_NOSIGNAL);
        if (result >= 0) {
            moved = static_cast<std::size_t>(result);
            return Outcome::moved;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::wouldBlockWrite : Outcome::error;
    }
}

bool Connection::waitFor(Wait wait, Clock::time_point deadline) const {
    pollfd descriptor{socket_.get(), static_cast<short>(wait == Wait::readable ? POLLIN : POLLOUT),
                      0};
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        int result = ::poll(&descriptor, 1, static_cast<int>(left.count()));
        if (result > 0) {
            return true;
        }
        if (result < 0 && errno != EINTR) {
            return false;
        }
    }
}

bool Connection::fill() {
    auto deadline = Clock::now() + timeouts_.transfer;
    if (readingHeaders_) {
        deadline = std::min(deadline, headerDeadline_);
    }
    for (;;) {
        std::size_t moved = 0;
        switch (receiveSome(buffer_.data(), buffer_.size(), moved)) {
        case Outcome::moved:
            begin_ = 0;
            end_ = moved;
            return true;
        case Outcome::wouldBlockRead:
            if (!waitFor(Wait::readable, deadline)) {
                return false;
            }
            break;
        case Outcome::wouldBlockWrite:
            if (!waitFor(Wait::writable, deadline)) {
                return false;
            }
            break;
        default:
            return false;
        }
    }
}

bool Connection::is_readable() const {
    return pending() || waitFor(Wait::readable, Clock::now() + timeouts_.transfer);
}

bool Connection::is_writable() const {
    return waitFor(Wait::writable, Clock::now() + timeouts_.transfer);
}

ssize_t Connection::read(char* data, size_t size) {
    if (begin_ == end_ && !fill()) {
        return -1;
    }
    std::size_t take = std::min(size, end_ - begin_);
    if (readingHeaders_) {
        headerBytes_ += take;
        if (headerBytes_ > maxHeaderBytes) {
            closeAfterResponse_ = true;
            return -1;
        }
    }
    std::memcpy(data, buffer_.data() + begin_, take);
    begin_ += take;
    return static_cast<ssize_t>(take);
}

ssize_t Connection::write(const char* data, size_t size) {
    std::size_t done = 0;
    while (done < size) {
        std::size_t moved = 0;
        auto deadline = Clock::now() + timeouts_.transfer;
        switch (sendSome(data + done, size - done, moved)) {
        case Outcome::moved:
            done += moved;
            break;
        case Outcome::wouldBlockWrite:
            if (!waitFor(Wait::writable, deadline)) {
                return -1;
            }
            break;
        case Outcome::wouldBlockRead:
            if (!waitFor(Wait::readable, deadline)) {
                return -1;
            }
            break;
        default:
            return -1;
        }
    }
    return static_cast<ssize_t>(size);
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        addressText(address, ip, port);
    }
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        addressText(address, ip, port);
    }
}

} // namespace ZUQRelay
