// Encrypted builds on disk, one file per job.
#pragma once

#include "Platform/Digest.hpp"
#include "Platform/File.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

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

    /// Removes leftover temporary files, and every build for which `keep(job, sha)` is false,
    /// of those last changed at least `settled` ago. Returns the number of files removed.
    std::size_t clean(const std::function<bool(const std::string&, const std::string&)>& keep,
                      std::chrono::seconds settled = std::chrono::seconds(0)) const;

private:
    std::filesystem::path directory_;
};

/// Puts a file being appended to on the disk behind its writer, a step at a time, and makes
/// the writer wait whenever more than a few steps are not on the disk yet. So several large
/// writes never fill the page cache with dirty pages, which would make the kernel stall every
/// writer of the machine (the database's log included) until the disk caught up. Nothing on
/// systems without `sync_file_range`.
class WriteBehind {
public:
    explicit WriteBehind(int fd) : fd_(fd) {}
    /// The file now holds `size` bytes.
    void advance(std::uint64_t size);

private:
    [[maybe_unused]] int fd_;
    [[maybe_unused]] std::uint64_t startedTo_ = 0; // the disk has been asked to write up to here
    [[maybe_unused]] std::uint64_t waitedTo_ = 0;  // and is known to have written up to here
};

/// One upload being received, on the thread that appends to it: each piece is hashed and
/// written to a fresh temporary file as it comes, with the disk writing behind, so a large
/// build never fills the page cache with dirty pages and its final flush is short. Dropped
/// before it is stored, the temporary file is removed. Not thread-safe.
class Upload {
public:
    explicit Upload(const Artifacts& artifacts);
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;

    /// Hashes and writes the next bytes; may wait for the disk. Throws when they cannot be
    /// written (a full disk, for one).
    void append(const char* data, std::size_t size);
    /// Flushes the file to the disk and returns the SHA-256 of everything appended as 64
    /// lower-case hexadecimal digits.
    std::string finish();

    std::uint64_t size() const { return size_; }
    Platform::TemporaryFile& file() { return file_; }

private:
    Platform::TemporaryFile file_;
    Platform::SHA256 hash_;
    std::uint64_t size_ = 0;
    WriteBehind behind_{file_.fd()};
};

} // namespace ZUQRelay
