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
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <set>
#include <signal.h>
#include <string_view>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using Platform::ChildProcess;

namespace {

// MARK: Supervision

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double value) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(std::max(value, 0.0)));
}

// One running tool's deadlines: SIGTERM to its group at the time-out, or at once on
// `terminate`, and SIGKILL to the group `killDelay` seconds after the first SIGTERM unless the
// tool has ended by then. A timer thread serves the deadlines; `ended` stops it, so no timer
// signal comes after that.
class RunningTool {
public:
    RunningTool(std::shared_ptr<ChildProcess> child, double timeout) : child_(std::move(child)) {
        // Also rejects NaN; anything this large is a time-out that never comes.
        if (timeout < 1e9) {
            terminateAt_ = Clock::now() + seconds(timeout);
        }
        timer_ = std::jthread([this](std::stop_token stop) { serve(stop); });
    }
    RunningTool(const RunningTool&) = delete;
    RunningTool& operator=(const RunningTool&) = delete;
    ~RunningTool() { ended(); }

    // Sends `number` to the tool's group now and arms the SIGKILL that follows, unless one is
    // already armed. Every call sends the signal again.
    void terminate(int number = SIGTERM) noexcept {
        {
            std::lock_guard lock(mutex_);
            terminated_ = true;
            ++changes_;
            killAt_ = std::min(killAt_, Clock::now() + seconds(ProcessRunner::killDelay));
        }
        child_->signal(number);
        wakeUp_.notify_all();
    }

    bool terminated() const {
        std::lock_guard lock(mutex_);
        return terminated_;
    }

    void ended() {
        timer_.request_stop();
        if (timer_.joinable()) {
            timer_.join();
        }
    }

private:
    void serve(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        while (!stop.stop_requested()) {
            Clock::time_point now = Clock::now();
            if (now >= killAt_) {
                lock.unlock();
                child_->signal(SIGKILL);
                return;
            }
            if (now >= terminateAt_) {
                terminateAt_ = Clock::time_point::max();
                lock.unlock();
                terminate();
                lock.lock();
                continue;
            }
            // Woken early when `terminate` moves the kill deadline.
            std::uint64_t seen = changes_;
            auto changed = [&] { return changes_ != seen; };
            Clock::time_point next = std::min(terminateAt_, killAt_);
            if (next == Clock::time_point::max()) {
                wakeUp_.wait(lock, stop, changed);
            } else {
                wakeUp_.wait_until(lock, stop, next, changed);
            }
        }
    }

    std::shared_ptr<ChildProcess> child_;
    mutable std::mutex mutex_;
    std::condition_variable_any wakeUp_;
    Clock::time_point terminateAt_ = Clock::time_point::max(); // guarded by mutex_
    Clock::time_point killAt_ = Clock::time_point::max();      // guarded by mutex_
    bool terminated_ = false;                                  // guarded by mutex_
    std::uint64_t changes_ = 0;                                // guarded by mutex_
    std::jthread timer_;
};

// MARK: Registry

struct Registry {
    std::mutex mutex;
    // Every running tool, and the one of each job for `cancel`.
    std::set<std::shared_ptr<RunningTool>> running;                            // guarded by mutex
    std::map<std::string, std::shared_ptr<RunningTool>, std::less<>> active;  // guarded by mutex
    // Calls of `run` that have not returned yet.
    std::size_t runs = 0;                                                      // guarded by mutex
    // Set once this process has been asked to end; no tool starts after that.
    int endingSignal = 0;                                                      // guarded by mutex
    // What a termination signal does instead of ending the process, while one is installed,
    // and whether the signal thread is calling it.
    std::function<void()> handler;                                             // guarded by mutex
    bool handling = false;                                                     // guarded by mutex
    // Where running tools are recorded, while a ToolRecords value is alive.
    std::optional<fs::path> records;                                           // guarded by mutex
    std::condition_variable_any changed; // notified when `runs` goes down or `handling` ends
};

// Never destroyed: the signal thread may still use it while the process exits.
Registry& registry() {
    static Registry& shared = *new Registry;
    return shared;
}

// Lists a running tool, under its job too when it has one, until dropped.
class Registration {
public:
    Registration(const std::optional<std::string>& job, std::shared_ptr<RunningTool> tool)
        : job_(job), tool_(std::move(tool)) {
        int ending;
        {
            std::lock_guard lock(registry().mutex);
            registry().running.insert(tool_);
            if (job_) {
                registry().active[*job_] = tool_;
            }
            ending = registry().endingSignal;
        }
        // Started while the signal was being passed on: it gets the signal too.
        if (ending != 0) {
            tool_->terminate(ending);
        }
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() { end(); }

    void end() noexcept {
        if (!tool_) {
            return;
        }
        {
            std::lock_guard lock(registry().mutex);
            registry().running.erase(tool_);
            // A later run under the same job may have replaced this one; its entry stays.
            if (job_) {
                auto entry = registry().active.find(*job_);
                if (entry != registry().active.end() && entry->second == tool_) {
                    registry().active.erase(entry);
                }
            }
        }
        tool_.reset();
    }

private:
    std::optional<std::string> job_;
    std::shared_ptr<RunningTool> tool_;
};

// A running tool's record for a successor of this process, when tools are being recorded:
// "<pid>.json" holding the pid, the tool's name, its start time and its capture files. Written
// without a flush: after a power cut there is no tool left to find.
class Record {
public:
    Record(pid_t pid, const std::string& tool, const fs::path& capture) {
        {
            std::lock_guard lock(registry().mutex);
            if (!registry().records) {
                return;
            }
            path_ = *registry().records / (std::to_string(pid) + ".json");
        }
        std::optional<std::string> started = Platform::processStartTime(pid);
        try {
            if (!started) {
                throw std::runtime_error("no start time");
            }
            Platform::FileDescriptor file =
                Platform::openFile(path_, O_WRONLY | O_CREAT | O_TRUNC, 0600);
            Platform::writeAll(
                file.get(),
                JSON::object({{"pid", JSON(pid)},
                              {"tool", tool},
                              {"started", *started},
                              {"capture", capture.string()}})
                    .data(),
                path_);
        } catch (const std::exception&) {
            end();
        }
    }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ~Record() { end(); }

    void end() noexcept {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            path_.clear();
        }
    }

private:
    fs::path path_;
};

// Counts a call of `run` from before its first file is created until after its last is gone,
// so that a process ending by a forwarded signal leaves no capture file behind.
class RunInProgress {
public:
    RunInProgress() {
        std::lock_guard lock(registry().mutex);
        if (registry().endingSignal != 0) {
            throw CancellationError();
        }
        ++registry().runs;
    }
    RunInProgress(const RunInProgress&) = delete;
    RunInProgress& operator=(const RunInProgress&) = delete;
    ~RunInProgress() {
        {
            std::lock_guard lock(registry().mutex);
            --registry().runs;
        }
        registry().changed.notify_all();
    }
};

// Passes SIGINT and SIGTERM on to the running tools, waits for them to end, then ends this
// process by the same signal. Runs on its own thread; the signals are blocked everywhere else.
[[noreturn]] void forwardSignals(sigset_t signals) {
    int number = 0;
    for (;;) {
        while (::sigwait(&signals, &number) != 0 || number == 0) {
        }
        std::function<void()> handler;
        {
            std::lock_guard lock(registry().mutex);
            handler = registry().handler;
            registry().handling = static_cast<bool>(handler);
        }
        if (!handler) {
            break;
        }
        handler();
        {
            std::lock_guard lock(registry().mutex);
            registry().handling = false;
        }
        registry().changed.notify_all();
    }
    std::vector<std::shared_ptr<RunningTool>> tools;
    {
        std::lock_guard lock(registry().mutex);
        registry().endingSignal = number;
        tools.assign(registry().running.begin(), registry().running.end());
    }
    for (const auto& tool : tools) {
        tool->terminate(number);
    }
    tools.clear();
    {
        // Each tool's own timer kills its group `killDelay` seconds after this signal; the
        // margin only keeps a wedged run from holding this process forever.
        std::unique_lock lock(registry().mutex);
        registry().changed.wait_for(lock, seconds(ProcessRunner::killDelay + 5),
                                    [] { return registry().runs == 0; });
    }
    ::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(number);
    ::_exit(128 + number);
}

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
    RunInProgress counted;
    std::string name = Platform::toolName(executable);
    Platform::SpawnRequest request{Platform::toolPath(executable), arguments, toolEnvironment(),
                                   cwd};
    request.ownProcessGroup = true;

    fs::path capture = Platform::temporaryDirectory() / Platform::newUUID();
    CaptureFile output(capture);
    CaptureFile error(fs::path(capture) += ".stderr");
    request.output = output.fd();
    request.error = error.fd();

    auto child = std::make_shared<ChildProcess>(ChildProcess::spawn(request));
    std::int32_t status;
    {
        Record record(child->pid(), name, capture);
        auto tool = std::make_shared<RunningTool>(child, timeout);
        Registration registration(job, tool);
        {
            // Runs at once if the stop came while the tool was starting.
            std::stop_callback onStop(stop, [&tool] { tool->terminate(); });
            child->waitForExit();
        }
        tool->ended();
        // What a stopped tool started may outlive it; the group id stays safe to use until the
        // leader is reaped.
        if (tool->terminated()) {
            child->signal(SIGKILL);
        }
        // Out of the registry and the records before the reap frees the pid for reuse.
        registration.end();
        record.end();
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
    std::shared_ptr<RunningTool> tool;
    {
        std::lock_guard lock(registry().mutex);
        auto entry = registry().active.find(job);
        if (entry == registry().active.end()) {
            return;
        }
        tool = entry->second;
    }
    tool->terminate();
}

void ProcessRunner::forwardTerminationSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        registry();
        // A command that returns while its tools are being stopped waits here for the signal
        // thread, so the process always ends by the signal it received.
        std::atexit([] {
            std::unique_lock lock(registry().mutex);
            if (registry().endingSignal != 0) {
                registry().changed.wait(lock, [] { return false; });
            }
        });
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        if (int error = ::pthread_sigmask(SIG_BLOCK, &signals, nullptr)) {
            throw std::system_error(error, std::generic_category(), "pthread_sigmask");
        }
        std::thread(forwardSignals, signals).detach();
    });
}

ProcessRunner::TerminationHandler::TerminationHandler(std::function<void()> handler) {
    std::lock_guard lock(registry().mutex);
    registry().handler = std::move(handler);
}

ProcessRunner::TerminationHandler::~TerminationHandler() {
    std::unique_lock lock(registry().mutex);
    registry().handler = nullptr;
    // What the handler refers to may end with this value: let a call under way finish first.
    registry().changed.wait(lock, [] { return !registry().handling; });
}

// MARK: ToolRecords

ProcessRunner::ToolRecords::ToolRecords(fs::path directory) {
    Platform::createDirectories(directory, 0700);
    std::error_code error;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error)) {
        const fs::path& path = entry->path();
        try {
            JSON record = JSON::decode(Platform::readFile(path));
            auto pid = static_cast<pid_t>(record["pid"].number());
            std::optional<std::string> started = Platform::processStartTime(pid);
            if (pid > 0 && started && *started == record["started"].text() &&
                Platform::leadsProcessGroup(pid) && ::kill(-pid, SIGKILL) == 0) {
                ended_.push_back(record["tool"].text() + " (process group " +
                                 std::to_string(pid) + ")");
            }
            // The capture files of a killed run were never removed.
            if (const std::string& capture = record["capture"].text(); !capture.empty()) {
                ::unlink(capture.c_str());
                ::unlink((capture + ".stderr").c_str());
            }
        } catch (const std::exception&) {
            // Not a record this program wrote: nothing to end.
        }
        std::error_code ignored;
        fs::remove(path, ignored);
    }
    std::lock_guard lock(registry().mutex);
    registry().records = std::move(directory);
}

ProcessRunner::ToolRecords::~ToolRecords() {
    std::lock_guard lock(registry().mutex);
    registry().records.reset();
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
