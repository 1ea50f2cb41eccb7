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
// An upload's data moves to its writer in buffers of this size, after a first smaller one.
constexpr std::size_t writeSize = 4 << 20;
constexpr std::size_t firstWriteSize = 64 << 10;
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

Upload::Upload(const Artifacts& artifacts) : file_(artifacts.directory(), temporaryPrefix) {
    current_ = none;
    writer_ = std::thread([this] { write(); });
}

Upload::~Upload() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        full_.clear();
        whenFree_ = nullptr;
    }
    changed_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
}

void Upload::append(const char* data, std::size_t size) {
    while (size > 0) {
        std::span<char> room = space();
        std::size_t take = std::min(size, room.size());
        std::memcpy(room.data(), data, take);
        commit(take);
        data += take;
        size -= take;
    }
}

// The current buffer's room, taking a free buffer when the last one went to the writer; empty
// when there is none.
std::span<char> Upload::room(std::unique_lock<std::mutex>&) {
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    if (current_ == none) {
        if (free_.empty() && made_ < buffers_.size()) {
            // The first buffer is small, for the many small uploads; the writer is handed
            // it as soon as it is full.
            std::size_t size = made_ == 0 ? firstWriteSize : writeSize;
            buffers_[made_] = {std::make_unique_for_overwrite<char[]>(size), size};
            free_.push_back(made_++);
        }
        if (free_.empty()) {
            return {};
        }
        current_ = free_.back();
        free_.pop_back();
        filled_ = 0;
    }
    Buffer& buffer = buffers_[current_];
    return {buffer.data.get() + filled_, buffer.size - filled_};
}

std::span<char> Upload::space() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] {
        return failure_ || current_ != none || !free_.empty() || made_ < buffers_.size();
    });
    return room(lock);
}

std::span<char> Upload::trySpace(std::function<void()> whenFree) {
    std::unique_lock lock(mutex_);
    std::span<char> available = room(lock);
    if (available.empty()) {
        whenFree_ = std::move(whenFree);
    }
    return available;
}

void Upload::commit(std::size_t size) {
    std::lock_guard lock(mutex_);
    size_ += size;
    filled_ += size;
    if (filled_ == buffers_[current_].size) {
        full_.push_back({current_, filled_});
        current_ = none;
        changed_.notify_all();
    }
}

void Upload::write() {
    std::uint64_t written = 0;
    std::uint64_t startedTo = 0;
    std::uint64_t waitedTo = 0;
    for (;;) {
        Piece piece{};
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !full_.empty() || closing_; });
            if (full_.empty()) {
                return;
            }
            piece = full_.front();
            full_.pop_front();
        }
        try {
            // In pieces of this size the page cache grows in small folios, which are much
            // cheaper to come by than large ones on virtual machines that hand free memory
            // back to their host.
            constexpr std::size_t pieceOfWrite = 128 * 1024;
            const char* data = buffers_[piece.buffer].data.get();
            hash_.update(data, piece.size);
            for (std::size_t done = 0; done < piece.size; done += pieceOfWrite) {
                Platform::writeAll(file_.fd(), data + done,
                                   std::min(pieceOfWrite, piece.size - done), file_.path());
            }
            written += piece.size;
            writeBehind(written, startedTo, waitedTo);
        } catch (...) {
            std::function<void()> wake;
            {
                std::lock_guard lock(mutex_);
                failure_ = std::current_exception();
                wake = std::move(whenFree_);
                whenFree_ = nullptr;
                changed_.notify_all();
            }
            if (wake) {
                wake();
            }
            return;
        }
        std::function<void()> wake;
        {
            std::lock_guard lock(mutex_);
            free_.push_back(piece.buffer);
            wake = std::move(whenFree_);
            whenFree_ = nullptr;
        }
        changed_.notify_all();
        if (wake) {
            wake();
        }
    }
}

void Upload::writeBehind(std::uint64_t written, std::uint64_t& startedTo, std::uint64_t& waitedTo) {
#ifdef __linux__
    // The disk writes behind the upload a step at a time, and the writer waits whenever more
    // than a few steps are not on the disk yet. So several large uploads never fill the page
    // cache with dirty pages, which would make the kernel stall every writer of the machine
    // (the database's log included) until the disk caught up, and the final flush is short.
    if (written - startedTo < writeBackStep) {
        return;
    }
    ::sync_file_range(file_.fd(), static_cast<off_t>(startedTo),
                      static_cast<off_t>(written - startedTo), SYNC_FILE_RANGE_WRITE);
    startedTo = written;
    std::uint64_t allowed = writeBackStep * writeBackSteps;
    if (written > waitedTo + allowed) {
        std::uint64_t until = written - allowed;
        ::sync_file_range(
            file_.fd(), static_cast<off_t>(waitedTo), static_cast<off_t>(until - waitedTo),
            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        waitedTo = until;
    }
#else
    (void)written;
    (void)startedTo;
    (void)waitedTo;
#endif
}

std::string Upload::finish() {
    {
        std::lock_guard lock(mutex_);
        if (current_ != none && filled_ > 0) {
            full_.push_back({current_, filled_});
            current_ = none;
        }
        closing_ = true;
    }
    changed_.notify_all();
    writer_.join();
    writer_ = std::thread();
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    Platform::syncFile(file_.fd(), file_.path());
    return hash_.hexDigest();
}

} // namespace ZUQRelay
