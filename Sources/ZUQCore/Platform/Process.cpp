#include "Platform/Process.hpp"

#include "Platform/File.hpp"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#ifdef __APPLE__
#include <sys/sysctl.h>
#endif

extern char** environ;

namespace Platform {

namespace fs = std::filesystem;

struct ChildProcess::State {
    fs::path executable;
    pid_t pid = -1;
    std::mutex mutex; // guards reaped and status, and orders kill() before the reap
    bool reaped = false;
    std::int32_t status = 0;
    bool groupLeader = false;
};

namespace {

// The spawn attribute and file-action objects as owned values.
class SpawnAttributes {
public:
    SpawnAttributes() {
        if (int error = posix_spawnattr_init(&value_)) {
            throw std::system_error(error, std::generic_category(), "posix_spawnattr_init");
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { posix_spawnattr_destroy(&value_); }
    posix_spawnattr_t* get() { return &value_; }

private:
    posix_spawnattr_t value_;
};

class SpawnActions {
public:
    SpawnActions() {
        if (int error = posix_spawn_file_actions_init(&value_)) {
            throw std::system_error(error, std::generic_category(),
                                    "posix_spawn_file_actions_init");
        }
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { posix_spawn_file_actions_destroy(&value_); }
    posix_spawn_file_actions_t* get() { return &value_; }

private:
    posix_spawn_file_actions_t value_;
};

void check(int error, const char* call) {
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), call);
    }
}

// A descriptor below 3 would be overwritten by the child's own 0, 1 and 2 before it could be
// duplicated there, so such a source is first copied above them.
int movedAboveStandardStreams(int fd, FileDescriptor& holder) {
    if (fd < 0 || fd > 2) {
        return fd;
    }
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) {
        throwErrno("Cannot duplicate the descriptor for", "/dev/fd/" + std::to_string(fd));
    }
    holder.reset(copy);
    return copy;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    result.reserve(texts.size() + 1);
    for (auto& text : texts) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

std::int32_t decodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return WTERMSIG(status);
    }
    return status;
}

} // namespace

ChildProcess ChildProcess::spawn(const SpawnRequest& request) {
    auto state = std::make_unique<State>();
    // The child changes directory before exec, which would otherwise reinterpret a relative
    // executable path.
    state->executable = fs::absolute(request.executable);

    SpawnActions actions;
    FileDescriptor outputCopy, errorCopy;
    int output = movedAboveStandardStreams(request.output, outputCopy);
    int error = movedAboveStandardStreams(request.error, errorCopy);
    check(posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0),
          "posix_spawn_file_actions_addopen");
    if (output >= 0) {
        check(posix_spawn_file_actions_adddup2(actions.get(), output, 1),
              "posix_spawn_file_actions_adddup2");
    }
    if (error >= 0) {
        check(posix_spawn_file_actions_adddup2(actions.get(), error, 2),
              "posix_spawn_file_actions_adddup2");
    }
    if (request.workingDirectory) {
        check(
            posix_spawn_file_actions_addchdir_np(actions.get(), request.workingDirectory->c_str()),
            "posix_spawn_file_actions_addchdir_np");
    }

    SpawnAttributes attributes;
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef __APPLE__
    // Every descriptor not named in the file actions is closed in the child.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Descriptors opened without O_CLOEXEC by code we do not control stay out of the child.
    check(posix_spawn_file_actions_addclosefrom_np(actions.get(), 3),
          "posix_spawn_file_actions_addclosefrom_np");
#endif
    if (request.ownProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        check(posix_spawnattr_setpgroup(attributes.get(), 0), "posix_spawnattr_setpgroup");
    }
    check(posix_spawnattr_setflags(attributes.get(), flags), "posix_spawnattr_setflags");
    sigset_t signals;
    sigemptyset(&signals);
    check(posix_spawnattr_setsigmask(attributes.get(), &signals), "posix_spawnattr_setsigmask");
    // A parent that ignores SIGPIPE or SIGTERM must not pass that on to the tools it runs.
    sigfillset(&signals);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    check(posix_spawnattr_setsigdefault(attributes.get(), &signals),
          "posix_spawnattr_setsigdefault");

    std::vector<std::string> argumentTexts{state->executable.string()};
    argumentTexts.insert(argumentTexts.end(), request.arguments.begin(), request.arguments.end());
    std::vector<std::string> environmentTexts = request.environment;
    std::vector<char*> argv = pointers(argumentTexts);
    std::vector<char*> envp = pointers(environmentTexts);

    pid_t pid = -1;
    int result = ::posix_spawn(&pid, state->executable.c_str(), actions.get(), attributes.get(),
                               argv.data(), envp.data());
    if (result != 0) {
        // The spawn does not say which step failed; a missing directory is the likely one.
        std::error_code ignored;
        if (request.workingDirectory && !fs::is_directory(*request.workingDirectory, ignored)) {
            throwSystemError(result, "Cannot run " + state->executable.string() + " in",
                             *request.workingDirectory);
        }
        throwSystemError(result, "Cannot run", state->executable);
    }
    state->pid = pid;
    state->groupLeader = request.ownProcessGroup;
    return ChildProcess(std::move(state));
}

ChildProcess::ChildProcess(std::unique_ptr<State> state) : state_(std::move(state)) {}

ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        ChildProcess dropped(std::move(*this));
        state_ = std::move(other.state_);
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (!state_ || state_->reaped) {
        return;
    }
    signal(SIGKILL);
    try {
        reap();
    } catch (...) {
        // Nothing more can be done for a child that cannot be waited for.
    }
}

pid_t ChildProcess::pid() const {
    return state_ ? state_->pid : -1;
}

void ChildProcess::waitForExit() {
    if (!state_ || state_->reaped) {
        return;
    }
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(state_->pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno != EINTR) {
            throwErrno("Cannot wait for", state_->executable);
        }
    }
}

std::int32_t ChildProcess::reap() {
    if (!state_) {
        return -1;
    }
    if (state_->reaped) {
        return state_->status;
    }
    // Waiting happens outside the lock so that signals can still reach a running child; the
    // reap itself, which frees the pid, happens under it.
    waitForExit();
    std::lock_guard lock(state_->mutex);
    int status = 0;
    while (::waitpid(state_->pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throwErrno("Cannot wait for", state_->executable);
        }
    }
    state_->reaped = true;
    state_->status = decodeStatus(status);
    return state_->status;
}

bool ChildProcess::signal(int number) noexcept {
    if (!state_) {
        return false;
    }
    std::lock_guard lock(state_->mutex);
    if (state_->reaped) {
        return false;
    }
    return ::kill(state_->groupLeader ? -state_->pid : state_->pid, number) == 0;
}

std::optional<std::string> processStartTime(pid_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
#ifdef __APPLE__
    int query[] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    struct kinfo_proc info {};
    std::size_t size = sizeof info;
    if (::sysctl(query, 4, &info, &size, nullptr, 0) != 0 || size == 0) {
        return std::nullopt;
    }
    const timeval& started = info.kp_proc.p_starttime;
    return std::to_string(started.tv_sec) + "." + std::to_string(started.tv_usec);
#else
    // The 22nd field of /proc/<pid>/stat, in clock ticks since boot; the name in parentheses
    // (the second field) may hold spaces and parentheses of its own.
    std::string stat, boot;
    try {
        stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        boot = readFile("/proc/sys/kernel/random/boot_id");
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    std::size_t at = stat.rfind(')');
    if (at == std::string::npos) {
        return std::nullopt;
    }
    for (int field = 2; field < 22; ++field) {
        at = stat.find(' ', at + 1);
        if (at == std::string::npos) {
            return std::nullopt;
        }
    }
    std::string ticks = stat.substr(at + 1, stat.find(' ', at + 1) - at - 1);
    while (!boot.empty() && (boot.back() == '\n' || boot.back() == ' ')) {
        boot.pop_back();
    }
    return boot + ":" + ticks;
#endif
}

bool leadsProcessGroup(pid_t pid) {
    return pid > 0 && ::getpgid(pid) == pid;
}

} // namespace Platform
