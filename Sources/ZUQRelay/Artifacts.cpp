#include "Artifacts.hpp"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace ZUQRelay {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view temporaryPrefix = ".upload-";
constexpr std::size_t writeSize = 1 << 20;
// How much is written before the kernel is asked to start putting it on the disk.
constexpr std::uint64_t writeBackStep = 16 << 20;

} // namespace

Artifacts::Artifacts(fs::path directory) : directory_(std::move(directory)) {
    Platform::createDirectories(directory_, 0700);
}

fs::path Artifacts::path(std::string_view job, std::string_view sha) const {
    std::string name(job);
    name += '.';
    name += sha;
    return directory_ / name;
}

void Artifacts::remove(std::string_view job, std::string_view sha) const noexcept {
    try {
        ::unlink(path(job, sha).c_str());
    } catch (...) {
        // Building the path can only fail for lack of memory; the sweep at start-up retries.
    }
}

void Artifacts::syncDirectory() const noexcept {
    int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::size_t
Artifacts::clean(const std::function<bool(const std::string&, const std::string&)>& keep) const {
    std::size_t removed = 0;
    for (const auto& entry : fs::directory_iterator(directory_)) {
        std::string name = entry.path().filename().string();
        bool remove = name.starts_with(temporaryPrefix);
        if (!remove) {
            auto dot = name.find('.');
            remove = dot == std::string::npos || !keep(name.substr(0, dot), name.substr(dot + 1));
        }
        if (remove && ::unlink(entry.path().c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

Upload::Upload(const Artifacts& artifacts)
    : file_(artifacts.directory(), temporaryPrefix), buffer_(writeSize) {}

void Upload::append(const char* data, std::size_t size) {
    hash_.update(data, size);
    size_ += size;
    while (size > 0) {
        std::size_t take = std::min(size, buffer_.size() - buffered_);
        std::memcpy(buffer_.data() + buffered_, data, take);
        buffered_ += take;
        data += take;
        size -= take;
        if (buffered_ == buffer_.size()) {
            writeBuffer();
        }
    }
}

void Upload::writeBuffer() {
    Platform::writeAll(file_.fd(), buffer_.data(), buffered_, file_.path());
    written_ += buffered_;
    buffered_ = 0;
#ifdef __linux__
    // Start the disk writing now rather than all at once in the final flush, which would
    // otherwise take seconds for a large build and stall other writers of the disk.
    if (written_ - writeBackFrom_ >= writeBackStep) {
        ::sync_file_range(file_.fd(), static_cast<off_t>(writeBackFrom_),
                          static_cast<off_t>(written_ - writeBackFrom_), SYNC_FILE_RANGE_WRITE);
        writeBackFrom_ = written_;
    }
#endif
}

std::string Upload::finish() {
    writeBuffer();
    Platform::syncFile(file_.fd(), file_.path());
    return hash_.hexDigest();
}

} // namespace ZUQRelay
