// A small libcurl client for talking to a real relay in tests, plus a raw socket for requests
// no well-behaved client would send.
#pragma once

#include "JSONPrinting.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ZUQRelayTests {

struct Reply {
    long status = 0;
    std::string body;
    std::vector<std::string> headers;
    /// The body as JSON (null when it is not JSON).
    JSON json() const;
    /// The "error" member of the body.
    std::string error() const { return json()["error"].text(); }
    std::optional<std::string> header(std::string_view name) const;
};

/// One keep-alive connection's worth of libcurl to one origin. Not thread-safe.
class HTTPClient {
public:
    /// `authority` trusts a CA file for https origins.
    explicit HTTPClient(std::string origin, std::filesystem::path authority = {});
    HTTPClient(const HTTPClient&) = delete;
    HTTPClient& operator=(const HTTPClient&) = delete;
    ~HTTPClient();

    /// Sends `method` to `path` with `headers` ("Name: value") and, when given, `body` as JSON
    /// text. Throws std::runtime_error for transport failures.
    Reply request(const std::string& method, const std::string& path,
                  const std::optional<std::string>& body = std::nullopt,
                  const std::vector<std::string>& headers = {});
    Reply request(const std::string& method, const std::string& path, const std::string& body,
                  const std::vector<std::string>& headers = {}) {
        return request(method, path, std::optional<std::string>(body), headers);
    }
    Reply request(const std::string& method, const std::string& path, const JSON& body,
                  const std::vector<std::string>& headers = {}) {
        return request(method, path, std::optional<std::string>(body.data()), headers);
    }
    /// PUT of a file's bytes with its Content-Length.
    Reply upload(const std::string& path, const std::filesystem::path& file,
                 const std::vector<std::string>& headers);
    /// GET into a file; the reply body stays empty for a success.
    Reply download(const std::string& path, const std::filesystem::path& file,
                   const std::vector<std::string>& headers);

private:
    struct Handle;
    std::string origin_;
    std::filesystem::path authority_;
    std::unique_ptr<Handle> handle_;
};

/// Sends `bytes` over a new plain TCP connection to the origin's host and port, then reads
/// until the server closes or `seconds` pass. With `shutWrite` the sending side is closed
/// after the bytes, as a client that gave up would.
std::string rawExchange(const std::string& origin, const std::string& bytes, int seconds = 10,
                        bool shutWrite = false);

/// A plain TCP connection to the origin's host and port, for requests written by hand and
/// clients that misbehave on purpose. Not thread-safe.
class RawConnection {
public:
    /// Connects; throws std::runtime_error when that fails.
    explicit RawConnection(const std::string& origin);
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;
    ~RawConnection();

    /// Sends all of `bytes`; false once the connection is broken.
    bool send(std::string_view bytes);
    /// One whole answer (its head, and a body of its Content-Length), or nothing when the
    /// connection closes or `timeout` passes first.
    std::optional<std::string> answer(std::chrono::milliseconds timeout);
    /// Everything that arrives until the other side closes or `timeout` passes.
    std::string received(std::chrono::milliseconds timeout);
    /// Whether the other side closes the connection within `timeout`, dropping what arrives.
    bool closesWithin(std::chrono::milliseconds timeout);
    int fd() const { return fd_; }

private:
    // Reads what arrives within `deadline` into pending_; false at the end of the stream.
    bool fill(std::chrono::steady_clock::time_point deadline);

    int fd_ = -1;
    std::string pending_;
};

/// The HTTP status line of an answer.
std::string statusLine(const std::string& answer);

} // namespace ZUQRelayTests
