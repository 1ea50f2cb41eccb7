// One client connection as the HTTP library reads and writes it: a non-blocking socket,
// optionally wrapped in TLS, with every wait bounded.
#pragma once

#include "Platform/File.hpp"

#include <chrono>
#include <list>
#include <memory>
#include <span>
#include <string>

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

    /// Lends the connection a buffer for reading; `detach` takes it back.
    void attach(std::span<char> buffer);
    void detach();

    enum class Progress {
        ready,   // bytes of a request are here
        waiting, // nothing yet: wait for the socket without a thread
        closed,  // the peer closed, failed or broke the protocol
    };
    /// Without blocking: finishes the TLS handshake when due, then reads what has arrived.
    Progress receive();

    /// Marks the start of a request's headers, bounding their size and time.
    void beginRequest();
    /// Marks the end of a request's headers: the body is read under the transfer time-out.
    void endHeaders() { readingHeaders_ = false; }

    /// Asks for the connection to close after the current answer (its request body was not
    /// read, so the stream no longer lines up with requests).
    void closeAfterResponse() { closeAfterResponse_ = true; }
    bool closingAfterResponse() const { return closeAfterResponse_; }

    /// What the access log needs of the current request.
    std::chrono::steady_clock::time_point requestStart() const { return requestStart_; }
    void setDevice(std::string device) { device_ = std::move(device); }
    const std::string& device() const { return device_; }

    // Kept by the server while the connection is idle.
    std::list<std::shared_ptr<Connection>>::iterator idlePosition;
    std::chrono::steady_clock::time_point idleSince;
    bool idle = false;

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
    bool waitFor(Wait wait, std::chrono::steady_clock::time_point deadline) const;
    bool fill();
    bool pending() const;

    struct FreeSSL {
        void operator()(ssl_st* ssl) const;
    };

    Platform::FileDescriptor socket_;
    std::unique_ptr<ssl_st, FreeSSL> ssl_;
    bool handshaken_ = false;
    Timeouts timeouts_;
    std::span<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;

    bool readingHeaders_ = false;
    std::size_t headerBytes_ = 0;
    std::chrono::steady_clock::time_point headerDeadline_;
    std::chrono::steady_clock::time_point requestStart_;
    bool closeAfterResponse_ = false;
    std::string device_;
};

} // namespace ZUQRelay
