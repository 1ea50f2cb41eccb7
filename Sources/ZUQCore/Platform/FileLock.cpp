#include "Platform/FileLock.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>

namespace Platform {

FileLock::FileLock(const std::filesystem::path& path)
    : descriptor_(openFile(path, O_RDWR | O_CREAT, 0600)) {
    while (::flock(descriptor_.get(), LOCK_EX) != 0) {
        if (errno != EINTR) {
            throwErrno("Cannot lock", path);
        }
    }
}

FileLock::~FileLock() {
    // Closing the last descriptor of the open file releases the lock; unlocking first makes
    // the release independent of descriptors a child might have inherited.
    if (descriptor_) {
        ::flock(descriptor_.get(), LOCK_UN);
    }
}

} // namespace Platform
