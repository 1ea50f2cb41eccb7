#include "Files.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace AppleSim {

namespace fs = std::filesystem;

void throwErrno(std::string_view action, const fs::path& path) {
    int error = errno;
    throw std::system_error(error, std::generic_category(),
                            std::string(action) + " " + path.string());
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

std::string readFile(const fs::path& path) {
    FileDescriptor fd = openFile(path, O_RDONLY);
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throwErrno("Cannot read", path);
        }
        if (count == 0) {
            return content;
        }
        content.append(buffer, static_cast<std::size_t>(count));
    }
}

void writeAll(int fd, std::string_view data, const fs::path& path) {
    while (!data.empty()) {
        ssize_t count = ::write(fd, data.data(), data.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            throwErrno("Cannot write", path);
        }
        data.remove_prefix(static_cast<std::size_t>(count));
    }
}

void writeFileAtomically(const fs::path& path, std::string_view data, mode_t mode) {
    std::random_device random;
    fs::path temporary = path;
    temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random());
    FileDescriptor fd = openFile(temporary, O_WRONLY | O_CREAT | O_EXCL, mode);
    try {
        writeAll(fd.get(), data, temporary);
        if (::fsync(fd.get()) != 0) {
            throwErrno("Cannot flush", temporary);
        }
        fd.reset();
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            throwErrno("Cannot replace", path);
        }
    } catch (...) {
        fd.reset();
        ::unlink(temporary.c_str());
        throw;
    }
}

void writeFile(const fs::path& path, std::string_view data, mode_t mode) {
    if (path.has_parent_path()) {
        makeDirectories(path.parent_path());
    }
    FileDescriptor fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
    writeAll(fd.get(), data, path);
}

void makeDirectories(const fs::path& path, mode_t mode) {
    if (path.empty() || fs::is_directory(path)) {
        return;
    }
    if (path.has_parent_path() && path.parent_path() != path) {
        makeDirectories(path.parent_path(), mode);
    }
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        throwErrno("Cannot create directory", path);
    }
}

FileLock::FileLock(const fs::path& path, Mode mode) : fd_(openFile(path, O_RDWR | O_CREAT, 0600)) {
    int operation = mode == Mode::shared ? LOCK_SH : LOCK_EX;
    while (::flock(fd_.get(), operation) != 0) {
        if (errno != EINTR) {
            throwErrno("Cannot lock", path);
        }
    }
}

} // namespace AppleSim
