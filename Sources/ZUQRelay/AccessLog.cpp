#include "AccessLog.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace ZUQRelay::AccessLog {

namespace {

constexpr std::size_t pathCharacters = 200;
// Bytes of lines waiting for the writer at most: some seconds of a busy relay's requests.
constexpr std::size_t pendingLimit = 4 << 20;

void appendTime(std::string& line) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    auto milliseconds =
        duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(milliseconds));
    line += text;
}

void appendSanitised(std::string& line, std::string_view text, std::size_t limit) {
    for (std::size_t index = 0; index < text.size() && index < limit; ++index) {
        unsigned char c = static_cast<unsigned char>(text[index]);
        line += c <= ' ' || c == 0x7F ? '?' : static_cast<char>(c);
    }
    if (text.size() > limit) {
        line += "...";
    }
}

// Where lines go: standard error, unless a test or fuzzer sent them elsewhere.
std::atomic<int> destination{STDERR_FILENO};

// Writes everything or gives up: a log that cannot be written must not stop the relay.
void writeOut(const std::string& text) {
    std::size_t done = 0;
    int descriptor = destination.load();
    while (done < text.size()) {
        ssize_t written = ::write(descriptor, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        done += static_cast<std::size_t>(written);
    }
}

class Writer {
public:
    Writer() : thread_([this] { run(); }) {}
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    // Writes what is left before the process ends.
    ~Writer() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    void add(const std::string& line) {
        {
            std::lock_guard lock(mutex_);
            ++added_;
            if (pending_.size() + line.size() > pendingLimit) {
                ++dropped_;
                return;
            }
            pending_ += line;
        }
        changed_.notify_one();
    }

    void flush() {
        std::unique_lock lock(mutex_);
        std::uint64_t until = added_;
        written_.wait(lock, [&] { return handled_ >= until; });
    }

private:
    void run() {
        std::string batch;
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return handled_ != added_ || closing_; });
            if (handled_ == added_) {
                return;
            }
            batch.swap(pending_);
            std::uint64_t dropped = dropped_;
            std::uint64_t upTo = added_;
            dropped_ = 0;
            lock.unlock();
            if (dropped > 0) {
                appendTime(batch);
                batch += " " + std::to_string(dropped) +
                         " log lines were dropped: standard error could not keep up\n";
            }
            writeOut(batch);
            batch.clear();
            lock.lock();
            handled_ = upTo;
            written_.notify_all();
        }
    }

    std::mutex mutex_; // guards the fields below
    std::string pending_;
    std::uint64_t added_ = 0;   // lines handed in, dropped ones included
    std::uint64_t handled_ = 0; // of those, lines written or dropped
    std::uint64_t dropped_ = 0; // lines dropped since the last batch
    bool closing_ = false;
    std::condition_variable changed_;
    std::condition_variable written_;
    std::thread thread_; // last, so that it starts once the fields above exist
};

Writer& writer() {
    static Writer instance;
    return instance;
}

void emit(std::string& line) {
    line += '\n';
    writer().add(line);
}

} // namespace

void request(std::string_view method, std::string_view path, unsigned status, double milliseconds,
             std::string_view device) {
    std::string line;
    line.reserve(160);
    appendTime(line);
    line += ' ';
    appendSanitised(line, method.empty() ? "-" : method, 16);
    line += ' ';
    appendSanitised(line, path.empty() ? "-" : path, pathCharacters);
    line += ' ';
    line += std::to_string(status);
    char taken[32];
    std::snprintf(taken, sizeof taken, " %.1fms ", milliseconds);
    line += taken;
    line += device.empty() ? "-" : device;
    emit(line);
}

void notice(std::string_view text) {
    std::string line;
    appendTime(line);
    line += ' ';
    line += text;
    emit(line);
}

void flush() {
    writer().flush();
}

void writeTo(int descriptor) {
    flush();
    destination = descriptor;
}

} // namespace ZUQRelay::AccessLog
