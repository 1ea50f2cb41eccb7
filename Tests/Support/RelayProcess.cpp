#include "RelayProcess.hpp"

#include "Support.hpp"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

extern char** environ;

namespace TestSupport {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Reads one line from `fd` within `timeout`; empty when the stream ends or time runs out.
std::string readLine(int fd, std::chrono::seconds timeout) {
    std::string line;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return {};
        }
        pollfd descriptor{fd, POLLIN, 0};
        int ready = ::poll(&descriptor, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return {};
        }
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return {};
        }
        if (c == '\n') {
            return line;
        }
        line += c;
    }
}

int waitWithDeadline(pid_t pid, std::chrono::seconds timeout) {
    auto deadline = Clock::now() + timeout;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return 128 + SIGKILL;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace

RelayProcess::RelayProcess(fs::path data, std::vector<std::string> arguments,
                           std::optional<std::size_t> descriptorLimit)
    : data_(std::move(data)), arguments_(std::move(arguments)), descriptorLimit_(descriptorLimit) {
    start();
}

RelayProcess::~RelayProcess() {
    stop();
}

fs::path RelayProcess::logPath() const {
    return fs::path(data_.string() + ".log");
}

std::string RelayProcess::log() const {
    return fs::exists(logPath()) ? readFile(logPath()) : std::string();
}

std::string RelayProcess::bootstrapSecret() const {
    std::string secret = readFile(bootstrapFile_);
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == ' ')) {
        secret.pop_back();
    }
    return secret;
}

void RelayProcess::start(const std::string& listen) {
    fs::path program = binaryDirectory() / "zuq-relay";
    std::vector<std::string> argumentText = {program.string(), "--listen", listen, "--data",
                                             data_.string()};
    argumentText.insert(argumentText.end(), arguments_.begin(), arguments_.end());
    if (descriptorLimit_) {
        // The shell lowers both limits, then becomes the relay.
        program = "/bin/sh";
        argumentText.insert(
            argumentText.begin(),
            {"sh", "-c",
             "ulimit -n " + std::to_string(*descriptorLimit_) + " && exec \"$0\" \"$@\""});
    }
    std::vector<char*> argv;
    for (auto& text : argumentText) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    std::string log = logPath().string();
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
        ::close(pipe[0]);
        pid_ = -1;
        throw std::runtime_error("Cannot start " + program.string());
    }
    output_ = pipe[0];
    std::string line = readLine(output_, std::chrono::seconds(60));
    if (line.empty()) {
        stop();
        throw std::runtime_error("zuq-relay printed no first line; its log:\n" + this->log());
    }
    auto first = nlohmann::json::parse(line);
    url_ = first.at("url").get<std::string>();
    bootstrapFile_ = first.at("bootstrap_file").get<std::string>();
}

int RelayProcess::stop() {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, SIGTERM);
    int status = waitWithDeadline(pid_, std::chrono::seconds(30));
    pid_ = -1;
    if (output_ >= 0) {
        ::close(output_);
        output_ = -1;
    }
    return status;
}

void RelayProcess::restart() {
    stop();
    start();
}

void RelayProcess::resume() {
    stop();
    // The origin's authority: "http://127.0.0.1:40123" listens on "127.0.0.1:40123".
    start(url_.substr(url_.find("//") + 2));
}

} // namespace TestSupport
