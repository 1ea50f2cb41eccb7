// Owned file descriptors, whole-buffer reads and writes, atomic replacement and temporary
// files. This layer knows nothing about zuq's own files; it only makes the POSIX calls safe
// to use: every descriptor is close-on-exec, every call retries EINTR, and every failure is a
// std::system_error whose message names the operation and the path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace Platform {

/// Throws std::system_error for `error` (an errno value) with the message
/// "<action> <path>: <strerror>", for example "Cannot open /tmp/x: No such file or directory".
[[noreturn]] void throwSystemError(int error, std::string_view action,
                                   const std::filesystem::path& path);

/// The same for the current errno.
[[noreturn]] void throwErrno(std::string_view action, const std::filesystem::path& path);

/// A move-only owner of one file descriptor; closes it on destruction.
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
    /// Gives up ownership without closing.
    int release();
    /// Closes the descriptor held, if any; errors of close are ignored.
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

/// open(2) with O_CLOEXEC added. Throws "Cannot open <path>: ..." on failure.
FileDescriptor openFile(const std::filesystem::path& path, int flags, mode_t mode = 0600);

/// Reads until `size` bytes have arrived or the file ends; returns the number read.
std::size_t readFully(int fd, void* buffer, std::size_t size, const std::filesystem::path& path);

/// Writes all of `size` bytes, looping over short writes.
void writeAll(int fd, const void* data, std::size_t size, const std::filesystem::path& path);
inline void writeAll(int fd, std::string_view data, const std::filesystem::path& path) {
    writeAll(fd, data.data(), data.size(), path);
}

/// The size of an open file.
std::uint64_t fileSize(int fd, const std::filesystem::path& path);

/// The whole content of a file.
std::string readFile(const std::filesystem::path& path);

/// Flushes a file's data to the disk.
void syncFile(int fd, const std::filesystem::path& path);

/// A new file written beside `destination` that replaces it in one rename on `commit`.
/// The temporary file is created with `mode` from the start, so the content is never readable
/// by anyone the destination would not admit; it is flushed to disk before the rename, and the
/// directory entry after it. Dropped without `commit`, the temporary file is removed and the
/// destination is untouched.
class AtomicFile {
public:
    explicit AtomicFile(std::filesystem::path destination, mode_t mode = 0600);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    ~AtomicFile();

    int fd() const { return file_.get(); }
    const std::filesystem::path& temporaryPath() const { return temporary_; }
    void write(std::string_view data) { writeAll(file_.get(), data, temporary_); }
    /// Flushes, closes and renames into place. Throws on any failure, leaving the
    /// destination as it was.
    void commit();

private:
    std::filesystem::path destination_;
    std::filesystem::path temporary_;
    FileDescriptor file_;
    bool committed_ = false;
};

/// Replaces `path` with `data` atomically; the new file has exactly `mode`.
void atomicWrite(const std::filesystem::path& path, std::string_view data, mode_t mode = 0600);

/// Creates `path` and every missing parent with `mode`; existing directories are left as they
/// are. Throws "Cannot create <path>: ..." when a component cannot be made or is not a
/// directory.
void createDirectories(const std::filesystem::path& path, mode_t mode);

/// $TMPDIR when set and not empty, else /tmp.
std::filesystem::path temporaryDirectory();

/// A file with a fresh unique name, created exclusively with mode 0600 and open for reading
/// and writing; removed when the value is destroyed unless `keep` was called.
class TemporaryFile {
public:
    /// Creates "<directory>/<prefix>XXXXXX<suffix>".
    TemporaryFile(const std::filesystem::path& directory, std::string_view prefix,
                  std::string_view suffix = {});
    TemporaryFile(TemporaryFile&&) noexcept;
    TemporaryFile& operator=(TemporaryFile&&) = delete;
    ~TemporaryFile();

    int fd() const { return file_.get(); }
    const std::filesystem::path& path() const { return path_; }
    /// Closes the descriptor early; the file stays until destruction.
    void close() { file_.reset(); }
    /// Keeps the file on disk after destruction (it has been renamed or handed on).
    void keep() { path_.clear(); }

private:
    std::filesystem::path path_;
    FileDescriptor file_;
};

} // namespace Platform
