#include "Platform/File.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace Platform {

namespace fs = std::filesystem;

void throwSystemError(int error, std::string_view action, const fs::path& path) {
    std::string what(action);
    what += ' ';
    what += path.string();
    throw std::system_error(error, std::generic_category(), what);
}

void throwErrno(std::string_view action, const fs::path& path) {
    throwSystemError(errno, action, path);
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int FileDescriptor::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileDescriptor::reset(int fd) {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

FileDescriptor openFile(const fs::path& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throwErrno("Cannot open", path);
    }
    return FileDescriptor(fd);
}

std::size_t readFully(int fd, void* buffer, std::size_t size, const fs::path& path) {
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::read(fd, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("Cannot read", path);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void writeAll(int fd, const void* data, std::size_t size, const fs::path& path) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("Cannot write", path);
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::uint64_t fileSize(int fd, const fs::path& path) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        throwErrno("Cannot read the size of", path);
    }
    return static_cast<std::uint64_t>(status.st_size);
}

std::string readFile(const fs::path& path) {
    FileDescriptor file = openFile(path, O_RDONLY);
    std::string content;
    char buffer[65536];
    for (;;) {
        std::size_t n = readFully(file.get(), buffer, sizeof buffer, path);
        content.append(buffer, n);
        if (n < sizeof buffer) {
            return content;
        }
    }
}

void syncFile(int fd, const fs::path& path) {
#ifdef __APPLE__
    // fsync on macOS only reaches the drive's cache; F_FULLFSYNC reaches the medium.
    if (::fcntl(fd, F_FULLFSYNC) == 0) {
        return;
    }
#endif
    if (::fsync(fd) != 0) {
        throwErrno("Cannot flush", path);
    }
}

namespace {

// mkstemp wants a mutable, NUL-terminated template and always creates the file 0600.
FileDescriptor createUnique(fs::path& path, std::string_view suffix) {
    std::string pattern = path.string();
    int fd;
    do {
        fd = ::mkostemps(pattern.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throwErrno("Cannot create", path.parent_path());
    }
    path = pattern;
    return FileDescriptor(fd);
}

void syncDirectory(const fs::path& directory) {
    // Makes the rename itself durable. Some file systems refuse fsync on directories; the
    // rename has still happened, so that is not worth failing for.
    int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

AtomicFile::AtomicFile(fs::path destination, mode_t mode) : destination_(std::move(destination)) {
    temporary_ = destination_;
    temporary_ += ".tmp-XXXXXX";
    file_ = createUnique(temporary_, {});
    if ((mode & 07777) != 0600 && ::fchmod(file_.get(), mode) != 0) {
        int error = errno;
        ::unlink(temporary_.c_str());
        throwSystemError(error, "Cannot set the mode of", temporary_);
    }
}

AtomicFile::~AtomicFile() {
    if (!committed_ && !temporary_.empty()) {
        file_.reset();
        ::unlink(temporary_.c_str());
    }
}

void AtomicFile::commit() {
    syncFile(file_.get(), temporary_);
    if (::close(file_.release()) != 0) {
        throwErrno("Cannot write", temporary_);
    }
    if (::rename(temporary_.c_str(), destination_.c_str()) != 0) {
        throwErrno("Cannot replace", destination_);
    }
    committed_ = true;
    syncDirectory(destination_.parent_path());
}

void atomicWrite(const fs::path& path, std::string_view data, mode_t mode) {
    AtomicFile file(path, mode);
    file.write(data);
    file.commit();
}

void createDirectories(const fs::path& path, mode_t mode) {
    fs::path absolute = fs::absolute(path).lexically_normal();
    fs::path prefix;
    for (const auto& component : absolute) {
        prefix /= component;
        if (component.empty() || prefix == prefix.root_path()) {
            continue;
        }
        if (::mkdir(prefix.c_str(), mode) == 0) {
            continue;
        }
        int error = errno;
        struct stat status {};
        if (error != EEXIST || ::stat(prefix.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            throwSystemError(error == EEXIST ? ENOTDIR : error, "Cannot create", prefix);
        }
    }
}

fs::path temporaryDirectory() {
    const char* value = std::getenv("TMPDIR");
    return value && *value ? fs::path(value) : fs::path("/tmp");
}

TemporaryFile::TemporaryFile(const fs::path& directory, std::string_view prefix,
                             std::string_view suffix) {
    path_ = directory / (std::string(prefix) + "XXXXXX" + std::string(suffix));
    file_ = createUnique(path_, suffix);
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : path_(std::move(other.path_)), file_(std::move(other.file_)) {
    other.path_.clear();
}

TemporaryFile::~TemporaryFile() {
    file_.reset();
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

} // namespace Platform
