#include "Artifacts.hpp"

#include "AppendingThread.hpp"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace ZUQRelay {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view temporaryPrefix = ".upload-";
// How much is written before the kernel is asked to start putting it on the disk, and how
// many such steps may be on their way there at once.
constexpr std::uint64_t writeBackStep = 32 << 20;
constexpr std::uint64_t writeBackSteps = 4;

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
Artifacts::clean(const std::function<bool(const std::string&, const std::string&)>& keep,
                 std::chrono::seconds settled) const {
    std::size_t removed = 0;
    auto changedBefore = fs::file_time_type::clock::now() - settled;
    for (const auto& entry : fs::directory_iterator(directory_)) {
        std::string name = entry.path().filename().string();
        std::error_code failed;
        if (settled.count() > 0 && !(entry.last_write_time(failed) < changedBefore)) {
            continue;
        }
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

Upload::Upload(const Artifacts& artifacts) : file_(artifacts.directory(), temporaryPrefix) {}

void Upload::append(const char* data, std::size_t size) {
    // In pieces of this size the page cache grows in small folios, which are much cheaper to
    // come by than large ones on virtual machines that hand free memory back to their host.
    constexpr std::size_t pieceOfWrite = 128 * 1024;
    hash_.update(data, size);
    for (std::size_t done = 0; done < size; done += pieceOfWrite) {
        Platform::writeAll(file_.fd(), data + done, std::min(pieceOfWrite, size - done),
                           file_.path());
    }
    size_ += size;
    behind_.advance(size_);
}

void WriteBehind::advance(std::uint64_t size) {
#ifdef __linux__
    if (size - startedTo_ < writeBackStep) {
        return;
    }
    ::sync_file_range(fd_, static_cast<off_t>(startedTo_), static_cast<off_t>(size - startedTo_),
                      SYNC_FILE_RANGE_WRITE);
    startedTo_ = size;
    std::uint64_t allowed = writeBackStep * writeBackSteps;
    if (size > waitedTo_ + allowed) {
        std::uint64_t until = size - allowed;
        ::sync_file_range(fd_, static_cast<off_t>(waitedTo_), static_cast<off_t>(until - waitedTo_),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER);
        waitedTo_ = until;
    }
#else
    (void)size;
#endif
}

std::string Upload::finish() {
    Platform::syncFile(file_.fd(), file_.path());
    return hash_.hexDigest();
}

AppendingThread::AppendingThread(Upload& upload, std::size_t pieceSize, std::size_t pieces)
    : pieceSize_(pieceSize) {
    for (std::size_t i = 0; i < pieces; ++i) {
        free_.push_back(std::make_unique_for_overwrite<char[]>(pieceSize));
    }
    appender_ = std::jthread([this, &upload] { appendAll(upload); });
}

AppendingThread::~AppendingThread() {
    stop();
}

char* AppendingThread::empty() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !free_.empty() || failure_; });
    if (failure_) {
        return nullptr;
    }
    reading_ = std::move(free_.front());
    free_.pop_front();
    return reading_.get();
}

void AppendingThread::fill(std::size_t size) {
    std::lock_guard lock(mutex_);
    full_.push_back({std::move(reading_), size});
    changed_.notify_all();
}

void AppendingThread::end() {
    stop();
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

void AppendingThread::stop() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    if (appender_.joinable()) {
        appender_.join();
    }
}

void AppendingThread::appendAll(Upload& upload) {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return !full_.empty() || ended_; });
        if (full_.empty()) {
            return;
        }
        Filled piece = std::move(full_.front());
        full_.pop_front();
        lock.unlock();
        try {
            upload.append(piece.bytes.get(), piece.size);
        } catch (...) {
            lock.lock();
            failure_ = std::current_exception();
            changed_.notify_all();
            return;
        }
        lock.lock();
        free_.push_back(std::move(piece.bytes));
        changed_.notify_all();
    }
}

} // namespace ZUQRelay
