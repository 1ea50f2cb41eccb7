// One client connection as the HTTP library reads and writes it: a non-blocking socket,
// optionally wrapped in TLS, with every wait bounded.
#pragma once

#include "Platform/File.hpp"

#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <httplib.h>

struct ssl_st;
struct ssl_ctx_st;

namespace ZUQRelay {

/// How long a connection may take over each part of its work.
struct Timeouts {
    /// From the first byte of a request to the end of its headers.
    std::chrono::milliseconds headers{std::chrono::seconds(30)};
    /// Without progress while reading a body or writing an answer.
    std::chrono::milliseconds transfer{std::chrono::seconds(60)};
    /// Without any request on a kept-alive connection (and for a new one, before its first).
    std::chrono::milliseconds idle{std::chrono::seconds(30)};
};

/// An accepted connection. Between requests it waits in the server's idle set without a
/// thread; while a request is handled it is used by exactly one worker thread, which lends it
/// a read buffer (`attach`) for that time. Implements httplib::Stream, so the library parses
/// requests from it and writes answers to it. Closing happens on destruction.
class Connection final : public httplib::Stream {
public:
    /// Takes ownership of `socket` (already non-blocking). With `tls`, the connection speaks
    /// TLS and starts with a handshake.
    Connection(Platform::FileDescriptor socket, ssl_ctx_st* tls, const Timeouts& timeouts);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() override;

    int fd() const { return socket_.get(); }

    /// Lends the connection a buffer for reading; `detach` takes it back, keeping any bytes
    /// not read yet for the next worker.
    void attach(std::span<char> buffer);
    void detach();
    /// The first line of the buffered request head.
    std::string_view requestLine() const;

    enum class Progress {
        ready,   // a request's whole head (request line and headers) is here
        waiting, // not yet: wait for the socket without a thread, keeping what came
        closed,  // the peer closed, failed, or took too long or too many bytes over a head
    };
    /// Without blocking: finishes the TLS handshake when due, then reads what has arrived
    /// until a whole request head is buffered.
    Progress receive();

    /// Marks the start of handling the buffered request. Its body must then arrive within the
    /// head time-out, counted from the head's first byte, unless `beginTransfer` lifts that.
    void beginRequest();
    /// The request's body is a build: it is read under the transfer time-out alone.
    void beginTransfer() { bodyDeadline_.reset(); }

    /// Asks for the connection to close after the current answer (its request body was not
    /// read, so the stream no longer lines up with requests).
    void closeAfterResponse() { closeAfterResponse_ = true; }
    bool closingAfterResponse() const { return closeAfterResponse_; }

    /// What the access log needs of the current request.
    std::chrono::steady_clock::time_point requestStart() const { return requestStart_; }
    void setDevice(std::string device) { device_ = std::move(device); }
    const std::string& device() const { return device_; }

    /// Reads up to `size` bytes of a request body into `data`, straight from the socket
    /// when nothing is buffered: for builds, which need no parsing. Returns the number read;
    /// 0 when the peer closed, failed or stalled past the transfer time-out.
    std::size_t readBody(char* data, std::size_t size);
    /// True for a connection without TLS.
    bool plain() const { return !ssl_; }
    /// Sends what is gathered, then `size` bytes of the open file `fd` from its start,
    /// straight from the page cache. Plain connections only. False when the peer is gone,
    /// too slow, or the file shorter.
    bool sendFile(int fd, std::uint64_t size);
    /// The current request has been answered directly: whatever else is written for it is
    /// dropped.
    void answered() { answered_ = true; }
    /// Sends what `write` has gathered. False when the peer is gone or too slow.
    bool flush();

    /// Ends the sending side after a last answer, so the peer reads it to the end even
    /// though the rest of its request will not be read.
    void finishSending();
    /// Reads and drops what has arrived, without blocking. False once the peer has closed or
    /// failed.
    bool discardInput();

    // Kept by the server while no worker holds the connection.
    enum class Parked { no, idle, lingering };
    Parked parked = Parked::no;
    std::list<std::shared_ptr<Connection>>::iterator parkedPosition;
    std::chrono::steady_clock::time_point parkedSince;

    // httplib::Stream
    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* data, size_t size) override;
    ssize_t write(const char* data, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    int socket() const override { return socket_.get(); }

private:
    enum class Wait { readable, writable };
    // Result of one low-level transfer: bytes moved, or why none were.
    enum class Outcome { moved, wouldBlockRead, wouldBlockWrite, end, error };
    Outcome receiveSome(char* data, std::size_t size, std::size_t& moved);
    Outcome sendSome(const char* data, std::size_t size, std::size_t& moved);
    Outcome tlsOutcome(int result, std::size_t& moved) const;
    bool sendAll(const char* data, std::size_t size);
    bool waitFor(Wait wait, std::chrono::steady_clock::time_point deadline) const;
    bool fill();
    /// The length of the buffered request head up to its last line, or 0 while incomplete.
    std::size_t headLength() const;

    struct FreeSSL {
        void operator()(ssl_st* ssl) const;
    };

    // Looked up once: the library asks for both on every request.
    mutable std::string remoteIP_;
    mutable int remotePort_ = -1;
    mutable std::string localIP_;
    mutable int localPort_ = -1;
    Platform::FileDescriptor socket_;
    std::unique_ptr<ssl_st, FreeSSL> ssl_;
    bool handshaken_ = false;
    Timeouts timeouts_;
    std::span<char> buffer_;
    // Small writes are gathered here so that an answer's head and body leave in one send.
    std::string output_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;

    // Bytes of a request head that arrived before the connection was parked, kept while no
    // worker lends a buffer.
    std::string partial_;
    std::optional<std::chrono::steady_clock::time_point> headStarted_;
    std::optional<std::chrono::steady_clock::time_point> bodyDeadline_;
    std::chrono::steady_clock::time_point requestStart_;
    bool closeAfterResponse_ = false;
    bool answered_ = false;
    std::string device_;
};

} // namespace ZUQRelay
