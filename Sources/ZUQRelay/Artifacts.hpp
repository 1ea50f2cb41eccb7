// Encrypted builds on disk, one file per job.
#pragma once

#include "Platform/Digest.hpp"
#include "Platform/File.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
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

/// One upload being received: bytes are hashed and written to a fresh temporary file as they
/// arrive, with the disk writing behind so the final flush is short. Dropped before it is
/// stored, the temporary file is removed. Not thread-safe; one per request.
class Upload {
public:
    explicit Upload(const Artifacts& artifacts);
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;

    void append(const char* data, std::size_t size);
    /// Writes out the rest, flushes the file to the disk and returns the SHA-256 of everything
    /// appended as 64 lower-case hexadecimal digits.
    std::string finish();

    std::uint64_t size() const { return size_; }
    Platform::TemporaryFile& file() { return file_; }

private:
    void writeBuffer();

    Platform::TemporaryFile file_;
    Platform::SHA256 hash_;
    std::vector<char> buffer_;
    std::size_t buffered_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t writeBackFrom_ = 0;
};

} // namespace ZUQRelay
