// Encrypted builds on disk, one file per job.
#pragma once

#include "Platform/Digest.hpp"
#include "Platform/File.hpp"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ZUQRelay {

/// The directory of stored builds. A build is the file "<job>.<sha256>", so the name says
/// which upload it holds and a newer upload never overwrites an older one in place. Files are
/// complete or absent: an upload is written to a temporary file in the same directory and
/// renamed only after it is on the disk. Thread-safe; holds no state beyond the path.
class Artifacts {
public:
    /// Uses `directory`, creating it (mode 0700) if needed.
    explicit Artifacts(std::filesystem::path directory);

    const std::filesystem::path& directory() const { return directory_; }
    std::filesystem::path path(std::string_view job, std::string_view sha) const;

    /// Removes one job's build; a missing file is not an error, and nothing is thrown.
    void remove(std::string_view job, std::string_view sha) const noexcept;

    /// Makes renames into the directory durable. Errors are ignored: the rename has happened.
    void syncDirectory() const noexcept;

    /// Removes leftover temporary files, and every build for which `keep(job, sha)` is false.
    /// Returns the number of files removed.
    std::size_t
    clean(const std::function<bool(const std::string&, const std::string&)>& keep) const;

private:
    std::filesystem::path directory_;
};

/// One upload being received: bytes are handed in buffers to a writer thread of the upload's
/// own, which hashes them and writes them to a fresh temporary file with the disk writing
/// behind, so receiving neither hashes nor waits for the disk unless it is far behind.
/// Buffers are taken as bytes arrive, the first small, so an upload holds memory in
/// proportion to what it has received, up to a few megabytes.
/// Dropped before it is stored, the temporary file is removed. The receiving side is used by
/// one thread at a time.
class Upload {
public:
    explicit Upload(const Artifacts& artifacts);
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;
    ~Upload();

    /// Takes the next bytes, waiting while the writer is far behind. Throws the writer's error
    /// (a full disk, for one) once it has failed.
    void append(const char* data, std::size_t size);
    /// Room for the next bytes, to receive into without a copy, waiting while the writer is
    /// far behind; `commit` takes the `size` first bytes of it as appended. Both may throw the
    /// writer's error.
    std::span<char> space();
    /// The same without waiting: an empty span while every buffer waits for the disk, and
    /// then `whenFree` is called once, on the writer's thread, as soon as one is back (or the
    /// writer failed). For callers that must not block.
    std::span<char> trySpace(std::function<void()> whenFree);
    void commit(std::size_t size);
    /// Writes out the rest, flushes the file to the disk and returns the SHA-256 of everything
    /// appended as 64 lower-case hexadecimal digits.
    std::string finish();

    std::uint64_t size() const { return size_; }
    Platform::TemporaryFile& file() { return file_; }

private:
    struct Piece {
        std::size_t buffer;
        std::size_t size;
    };
    static constexpr std::size_t none = static_cast<std::size_t>(-1);
    std::span<char> room(std::unique_lock<std::mutex>& lock);
    void write();
    void writeBehind(std::uint64_t written, std::uint64_t& startedTo, std::uint64_t& waitedTo);

    Platform::TemporaryFile file_;
    Platform::SHA256 hash_;
    std::uint64_t size_ = 0;
    // Made as the bytes arrive, up to a few; their memory is not touched before it is filled,
    // so a small upload costs little more than it sends.
    struct Buffer {
        std::unique_ptr<char[]> data;
        std::size_t size;
    };
    static constexpr std::size_t bufferCount = 4;
    std::array<Buffer, bufferCount> buffers_{}; // the first made_ are made

    std::mutex mutex_;        // guards the fields below
    std::size_t made_ = 0;
    std::size_t current_ = 0; // the buffer being filled, or none while all are with the writer
    std::size_t filled_ = 0;  // bytes in it
    std::function<void()> whenFree_;
    std::condition_variable changed_;
    std::deque<Piece> full_;
    std::vector<std::size_t> free_;
    bool closing_ = false;
    std::exception_ptr failure_;

    std::thread writer_;
};

} // namespace ZUQRelay
