#include "Connection.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace ZUQRelay {

namespace {

using Clock = std::chrono::steady_clock;

// A request head longer than this is refused by closing the connection.
constexpr std::size_t maxHeaderBytes = 64 * 1024;
// Writes up to this size are gathered before they are sent.
constexpr std::size_t maxGathered = 64 * 1024;

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
    begin_ = 0;
    end_ = std::min(partial_.size(), buffer_.size());
    std::memcpy(buffer_.data(), partial_.data(), end_);
    partial_.clear();
    partial_.shrink_to_fit();
}

void Connection::detach() {
    partial_.assign(buffer_.data() + begin_, end_ - begin_);
    buffer_ = {};
    begin_ = end_ = 0;
}

std::string_view Connection::requestLine() const {
    std::string_view buffered(buffer_.data() + begin_, end_ - begin_);
    return buffered.substr(0, buffered.find('\n'));
}

std::size_t Connection::headLength() const {
    std::string_view buffered(buffer_.data() + begin_, end_ - begin_);
    std::size_t end = std::min(buffered.find("\n\r\n"), buffered.find("\n\n"));
    return end == std::string_view::npos ? 0 : end + 1;
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
    for (;;) {
        auto now = Clock::now();
        if (begin_ == end_) {
            headStarted_.reset();
        } else {
            if (!headStarted_) {
                headStarted_ = now;
            }
            if (std::size_t head = headLength()) {
                return head <= maxHeaderBytes ? Progress::ready : Progress::closed;
            }
        }
        if (end_ - begin_ >= maxHeaderBytes ||
            (headStarted_ && now - *headStarted_ > timeouts_.headers)) {
            return Progress::closed;
        }
        // Whatever is buffered moves to the front, so the rest of the head fits behind it.
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        std::size_t moved = 0;
        switch (receiveSome(buffer_.data() + end_, buffer_.size() - end_, moved)) {
        case Outcome::moved:
            end_ += moved;
            break;
        case Outcome::wouldBlockRead:
            return Progress::waiting;
        default:
            return Progress::closed;
        }
    }
}

void Connection::beginRequest() {
    requestStart_ = Clock::now();
    bodyDeadline_ = headStarted_.value_or(requestStart_) + timeouts_.headers;
    headStarted_.reset();
    closeAfterResponse_ = false;
    answered_ = false;
    device_.clear();
}

// What an SSL_read or SSL_write that returned `result` did. A peer's close_notify is the end
// of the stream; a writer treats that as it treats any other failure.
Connection::Outcome Connection::tlsOutcome(int result, std::size_t& moved) const {
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

Connection::Outcome Connection::receiveSome(char* data, std::size_t size, std::size_t& moved) {
    if (ssl_) {
        ERR_clear_error();
        return tlsOutcome(
            SSL_read(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, 1 << 30))),
            moved);
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
        return tlsOutcome(
            SSL_write(ssl_.get(), data, static_cast<int>(std::min<std::size_t>(size, 1 << 30))),
            moved);
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
    // The peer may be waiting for what was gathered (a "100 Continue") before it sends more.
    if (!output_.empty() && !flush()) {
        return false;
    }
    auto deadline = Clock::now() + timeouts_.transfer;
    if (bodyDeadline_) {
        deadline = std::min(deadline, *bodyDeadline_);
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
    // With output gathered, reading goes ahead: read() sends it before it waits.
    return begin_ < end_ || !output_.empty() || (ssl_ && SSL_pending(ssl_.get()) > 0) ||
           waitFor(Wait::readable, Clock::now() + timeouts_.transfer);
}

bool Connection::is_writable() const {
    return waitFor(Wait::writable, Clock::now() + timeouts_.transfer);
}

ssize_t Connection::read(char* data, size_t size) {
    if (begin_ == end_ && !fill()) {
        return -1;
    }
    std::size_t take = std::min(size, end_ - begin_);
    std::memcpy(data, buffer_.data() + begin_, take);
    begin_ += take;
    return static_cast<ssize_t>(take);
}

ssize_t Connection::write(const char* data, size_t size) {
    if (answered_) {
        return static_cast<ssize_t>(size);
    }
    if (output_.size() + size <= maxGathered) {
        output_.append(data, size);
        return static_cast<ssize_t>(size);
    }
    if (!flush()) {
        return -1;
    }
    if (size <= maxGathered) {
        output_.assign(data, size);
        return static_cast<ssize_t>(size);
    }
    return sendAll(data, size) ? static_cast<ssize_t>(size) : -1;
}

std::size_t Connection::readBody(char* data, std::size_t size) {
    // The peer may be waiting for a "100 Continue" before it sends the body.
    if (!output_.empty() && !flush()) {
        return 0;
    }
    if (begin_ < end_) {
        std::size_t take = std::min(size, end_ - begin_);
        std::memcpy(data, buffer_.data() + begin_, take);
        begin_ += take;
        return take;
    }
    for (;;) {
        std::size_t moved = 0;
        auto deadline = Clock::now() + timeouts_.transfer;
        switch (receiveSome(data, size, moved)) {
        case Outcome::moved:
            return moved;
        case Outcome::wouldBlockRead:
            if (!waitFor(Wait::readable, deadline)) {
                return 0;
            }
            break;
        case Outcome::wouldBlockWrite:
            if (!waitFor(Wait::writable, deadline)) {
                return 0;
            }
            break;
        default:
            return 0;
        }
    }
}

bool Connection::sendFile(int fd, std::uint64_t size) {
    if (ssl_ || !flush()) {
        return false;
    }
    off_t offset = 0;
    while (static_cast<std::uint64_t>(offset) < size) {
        std::size_t chunk = static_cast<std::size_t>(
            std::min<std::uint64_t>(size - static_cast<std::uint64_t>(offset), 1 << 30));
        ssize_t sent = ::sendfile(socket_.get(), fd, &offset, chunk);
        if (sent > 0) {
            continue;
        }
        if (sent == 0) {
            return false; // the file is shorter than announced
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        if (!waitFor(Wait::writable, Clock::now() + timeouts_.transfer)) {
            return false;
        }
    }
    return true;
}

bool Connection::flush() {
    bool sent = sendAll(output_.data(), output_.size());
    output_.clear();
    return sent;
}

bool Connection::sendAll(const char* data, std::size_t size) {
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
                return false;
            }
            break;
        case Outcome::wouldBlockRead:
            if (!waitFor(Wait::readable, deadline)) {
                return false;
            }
            break;
        default:
            return false;
        }
    }
    return true;
}

void Connection::finishSending() {
    if (ssl_ && handshaken_) {
        ERR_clear_error();
        SSL_shutdown(ssl_.get());
        handshaken_ = false;
    }
    ::shutdown(socket_.get(), SHUT_WR);
}

bool Connection::discardInput() {
    char scratch[64 * 1024];
    for (int reads = 0; reads < 16; ++reads) {
        ssize_t result = ::recv(socket_.get(), scratch, sizeof scratch, 0);
        if (result > 0) {
            continue;
        }
        if (result < 0 && errno == EINTR) {
            continue;
        }
        return result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

void Connection::get_remote_ip_and_port(std::string& ip, int& port) const {
    if (remotePort_ < 0) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            addressText(address, remoteIP_, remotePort_);
        }
    }
    ip = remoteIP_;
    port = remotePort_;
}

void Connection::get_local_ip_and_port(std::string& ip, int& port) const {
    if (localPort_ < 0) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            addressText(address, localIP_, localPort_);
        }
    }
    ip = localIP_;
    port = localPort_;
}

} // namespace ZUQRelay
