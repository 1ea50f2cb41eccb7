#include "ProcessRunner.hpp"

#include "JSON.hpp"
#include "Platform/File.hpp"
#include "Platform/Process.hpp"
#include "Platform/Random.hpp"
#include "Platform/Text.hpp"
#include "Platform/ToolPaths.hpp"
#include "Storage.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <signal.h>
#include <string_view>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using Platform::ChildProcess;

namespace {

// MARK: Registry

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<ChildProcess>, std::less<>> active; // guarded by mutex
};

Registry& registry() {
    static Registry shared;
    return shared;
}

// Lists a running tool under its job for `cancel` until dropped.
class Registration {
public:
    Registration(const std::optional<std::string>& job, std::shared_ptr<ChildProcess> child)
        : job_(job), child_(std::move(child)) {
        if (job_) {
            std::lock_guard lock(registry().mutex);
            registry().active[*job_] = child_;
        }
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() { end(); }

    void end() noexcept {
        if (!job_) {
            return;
        }
        std::lock_guard lock(registry().mutex);
        // A later run under the same job may have replaced this one; its entry stays.
        auto entry = registry().active.find(*job_);
        if (entry != registry().active.end() && entry->second == child_) {
            registry().active.erase(entry);
        }
        job_.reset();
    }

private:
    std::optional<std::string> job_;
    std::shared_ptr<ChildProcess> child_;
};

// MARK: Time-out

// Sends SIGTERM at the deadline and SIGKILL `killDelay` seconds later, unless stopped first.
// Destruction stops and joins it, so no signal is sent after that.
class Watchdog {
public:
    Watchdog(ChildProcess& child, double timeout) {
        // Also rejects NaN; anything this large is a time-out that never comes.
        if (!(timeout < 1e9)) {
            return;
        }
        using Clock = std::chrono::steady_clock;
        auto after = [](double seconds) {
            return std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(std::max(seconds, 0.0)));
        };
        Clock::time_point terminateAt = Clock::now() + after(timeout);
        Clock::time_point killAt = terminateAt + after(ProcessRunner::killDelay);
        thread_ = std::jthread([&child, terminateAt, killAt](std::stop_token stop) {
            std::mutex mutex;
            std::condition_variable_any wakeUp;
            std::unique_lock lock(mutex);
            auto sleepUntil = [&](std::chrono::steady_clock::time_point when) {
                wakeUp.wait_until(lock, stop, when, [] { return false; });
                return !stop.stop_requested();
            };
            if (!sleepUntil(terminateAt)) {
                return;
            }
            child.signal(SIGTERM);
            if (!sleepUntil(killAt)) {
                return;
            }
            child.signal(SIGKILL);
        });
    }

private:
    std::jthread thread_;
};

// MARK: Files

// A capture file under its exact name, created exclusively and owner-only, removed when
// dropped. Reads never move the file offset the tool writes through.
class CaptureFile {
public:
    explicit CaptureFile(fs::path path)
        : path_(std::move(path)),
          file_(Platform::openFile(path_, O_RDWR | O_CREAT | O_EXCL, 0600)) {}
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    ~CaptureFile() {
        file_.reset();
        ::unlink(path_.c_str());
    }

    int fd() const { return file_.get(); }

    std::uint64_t size() const { return Platform::fileSize(file_.get(), path_); }

    // Reads up to `size` bytes at `offset`; fewer only at the end of the file.
    std::size_t read(char* buffer, std::size_t size, std::uint64_t offset) const {
        std::size_t done = 0;
        while (done < size) {
            ssize_t n =
                ::pread(file_.get(), buffer + done, size - done, static_cast<off_t>(offset + done));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                Platform::throwErrno("Cannot read", path_);
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    // The last `limit` bytes of the first `size`, with invalid UTF-8 repaired.
    std::string tail(std::uint64_t size, std::uint64_t limit) const {
        std::uint64_t start = size > limit ? size - limit : 0;
        std::string bytes(static_cast<std::size_t>(size - start), '\0');
        bytes.resize(read(bytes.data(), bytes.size(), start));
        // Valid text, the usual case, is kept without a second 8 MiB copy.
        if (Platform::isValidUTF8(bytes)) {
            return bytes;
        }
        return Platform::replacingInvalidUTF8(bytes);
    }

    // Appends the first `size` bytes to `log` in pieces of at most 1 MiB.
    void copy(std::uint64_t size, int log, const fs::path& logPath) const {
        constexpr std::size_t piece = 1024 * 1024;
        std::vector<char> buffer(piece);
        for (std::uint64_t offset = 0; offset < size;) {
            std::size_t wanted =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece, size - offset));
            std::size_t n = read(buffer.data(), wanted, offset);
            if (n == 0) {
                break;
            }
            Platform::writeAll(log, buffer.data(), n, logPath);
            offset += n;
        }
    }

private:
    fs::path path_;
    Platform::FileDescriptor file_;
};

// MARK: Run

bool removedFromEnvironment(std::string_view name) {
#ifdef __APPLE__
    return name == "DYLD_INSERT_LIBRARIES" || name == "NSUnbufferedIO";
#else
    return name == "DYLD_INSERT_LIBRARIES" || name == "LD_PRELOAD" || name == "NSUnbufferedIO";
#endif
}

// This process's environment without injected libraries, with unbuffered Foundation output so
// that a tool killed at its time-out has already written what it printed.
std::vector<std::string> toolEnvironment() {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        if (!removedFromEnvironment(text.substr(0, text.find('=')))) {
            entries.emplace_back(text);
        }
    }
    entries.emplace_back("NSUnbufferedIO=YES");
    return entries;
}

std::string commandLine(const std::string& name, const std::vector<std::string>& arguments) {
    std::string line = "\n$ " + name + " ";
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) {
            line += ' ';
        }
        line += arguments[i];
    }
    line += '\n';
    return line;
}

} // namespace

ProcessResult ProcessRunner::run(const std::string& executable,
                                 const std::vector<std::string>& arguments,
                                 const std::optional<fs::path>& cwd,
                                 const std::optional<fs::path>& log, double timeout,
                                 const std::optional<std::string>& job, Failure failure,
                                 std::stop_token stop) {
    if (stop.stop_requested()) {
        throw CancellationError();
    }
    std::string name = Platform::toolName(executable);
    Platform::SpawnRequest request{Platform::toolPath(executable), arguments, toolEnvironment(),
                                   cwd};

    fs::path capture = Platform::temporaryDirectory() / Platform::newUUID();
    CaptureFile output(capture);
    CaptureFile error(fs::path(capture) += ".stderr");
    request.output = output.fd();
    request.error = error.fd();

    auto child = std::make_shared<ChildProcess>(ChildProcess::spawn(request));
    std::int32_t status;
    {
        Registration registration(job, child);
        {
            Watchdog watchdog(*child, timeout);
            // Runs at once if the stop came while the tool was starting.
            std::stop_callback onStop(stop, [&child] { child->signal(SIGTERM); });
            child->waitForExit();
        }
        // Out of the registry and the watchdog before the reap frees the pid for reuse.
        registration.end();
        status = child->reap();
    }

    std::uint64_t outputSize = output.size();
    std::uint64_t errorSize = error.size();
    if (log) {
        Platform::FileDescriptor file =
            Platform::openFile(*log, O_WRONLY | O_CREAT | O_APPEND, 0600);
        Platform::writeAll(file.get(), commandLine(name, arguments), *log);
        output.copy(outputSize, file.get(), *log);
        error.copy(errorSize, file.get(), *log);
    }

    ProcessResult result{output.tail(outputSize, resultLimit), error.tail(errorSize, resultLimit),
                         status};
    if (status == 0 || failure == Failure::allowed) {
        return result;
    }
    std::string message = name + " failed (" + std::to_string(status) + "): ";
    message += Platform::lastCharacters(result.error.empty() ? result.output : result.error,
                                        messageCharacters);
    if (log) {
        message += "\nFull log: " + log->string();
    }
    throw ZUQError(message);
}

void ProcessRunner::cancel(const std::string& job) noexcept {
    std::shared_ptr<ChildProcess> child;
    {
        std::lock_guard lock(registry().mutex);
        auto entry = registry().active.find(job);
        if (entry == registry().active.end()) {
            return;
        }
        child = entry->second;
    }
    child->signal(SIGTERM);
}

// MARK: AgentLock

AgentLock::AgentLock() {
    fs::path path = Paths::directory("") / "agent.lock";
    try {
        descriptor_ = Platform::openFile(path, O_RDWR | O_CREAT, 0600);
    } catch (const std::system_error&) {
        throw ZUQError("Cannot open ZUQ worker lock");
    }
    int result;
    do {
        result = ::flock(descriptor_.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        descriptor_.reset();
        throw ZUQError("The ZUQ agent is already running on this Mac.");
    }
}

AgentLock::~AgentLock() {
    if (descriptor_) {
        ::flock(descriptor_.get(), LOCK_UN);
    }
}
