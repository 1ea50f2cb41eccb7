// An upload appended to by a thread of its own while its reader goes on reading.
#pragma once

#include "Artifacts.hpp"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace ZUQRelay {

/// Appends to an upload, on a thread of its own, the pieces its reader has received, so that
/// the next piece is read while the last is hashed and written: the socket's copy (and over
/// TLS its decryption) on one processor, the hash and the page cache's copy on another. A few
/// pieces of a fixed size go round between the two, so the reader waits when the disk falls
/// behind. The thread inherits the niceness of the one that makes it.
class AppendingThread {
public:
    AppendingThread(Upload& upload, std::size_t pieceSize, std::size_t pieces = 3);
    AppendingThread(const AppendingThread&) = delete;
    AppendingThread& operator=(const AppendingThread&) = delete;
    /// Waits for the thread; what failed is dropped (call `end` to hear of it).
    ~AppendingThread();

    std::size_t pieceSize() const { return pieceSize_; }
    /// A piece of `pieceSize()` bytes to read into, once one is spare; null when appending
    /// failed (`end` says why).
    char* empty();
    /// Hands over the first `size` bytes of the piece `empty` gave.
    void fill(std::size_t size);
    /// Waits until everything handed over is appended; rethrows what made appending fail.
    void end();

private:
    struct Filled {
        std::unique_ptr<char[]> bytes;
        std::size_t size;
    };

    void stop();
    void appendAll(Upload& upload);

    const std::size_t pieceSize_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<char[]>> free_;
    std::deque<Filled> full_;
    std::unique_ptr<char[]> reading_;
    bool ended_ = false;
    std::exception_ptr failure_;
    std::jthread appender_; // started once everything it uses exists
};

} // namespace ZUQRelay
