// File helpers of the simulator: owned descriptors, whole-file reads, atomic replacement and
// advisory locks. Failures are std::system_error values naming the operation and the path.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace AppleSim {

/// Throws std::system_error "<action> <path>: <strerror(errno)>".
[[noreturn]] void throwErrno(std::string_view action, const std::filesystem::path& path);

/// A move-only owner of one file descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

/// open(2) with O_CLOEXEC; throws "Cannot open <path>: ...".
FileDescriptor openFile(const std::filesystem::path& path, int flags, mode_t mode = 0600);

/// The whole content of a file; throws "Cannot open/read <path>: ...".
std::string readFile(const std::filesystem::path& path);

/// Writes all of `data` to `fd`, looping over short writes.
void writeAll(int fd, std::string_view data, const std::filesystem::path& path);

/// Replaces `path` as a whole: a temporary file beside it, created with `mode`, written,
/// flushed and renamed over it. A failure leaves the old file untouched and no temporary behind.
void writeFileAtomically(const std::filesystem::path& path, std::string_view data,
                         mode_t mode = 0600);

/// Writes `data` to `path` (created or truncated), creating missing parent directories.
void writeFile(const std::filesystem::path& path, std::string_view data, mode_t mode = 0644);

/// Creates `path` and its missing parents with `mode`.
void makeDirectories(const std::filesystem::path& path, mode_t mode = 0755);

/// An flock(2) lock on a file, held for the life of the value. Move-only.
class FileLock {
public:
    enum class Mode { shared, exclusive };
    /// Creates the lock file when missing and blocks until the lock is granted.
    FileLock(const std::filesystem::path& path, Mode mode);

private:
    FileDescriptor fd_;
};

} // namespace AppleSim
