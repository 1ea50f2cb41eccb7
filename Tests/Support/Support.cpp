#include "Support.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace TestSupport {

namespace fs = std::filesystem;

fs::path binaryDirectory() {
    return ZUQ_BINARY_DIRECTORY;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        previous_ = old;
    }
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

void TemporaryDirectoryTest::SetUp() {
    std::string pattern = (fs::temp_directory_path() / "zuq-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory = pattern;
    home = directory / "home";
    stateDirectory = directory / "state";
    temporary = directory / "tmp";
    fs::create_directories(home);
    fs::create_directories(temporary);
    auto set = [&](const char* name, std::optional<std::string> value) {
        environment_.push_back(std::make_unique<ScopedEnvironment>(name, value));
    };
    set("HOME", home.string());
    set("ZUQ_STATE_DIR", stateDirectory.string());
    set("TMPDIR", temporary.string());
    set("XDG_DATA_HOME", std::nullopt);
}

void TemporaryDirectoryTest::TearDown() {
    environment_.clear();
    std::error_code ignored;
    fs::remove_all(directory, ignored);
}

Invocation::Invocation(const fs::path& program, const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& environment) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        auto equals = text.find('=');
        if (equals != std::string::npos) {
            variables[text.substr(0, equals)] = text.substr(equals + 1);
        }
    }
    for (const auto& [name, value] : environment) {
        if (value.empty()) {
            variables.erase(name);
        } else {
            variables[name] = value;
        }
    }
    for (const auto& [name, value] : variables) {
        variables_.push_back(name + "=" + value);
    }
    for (auto& text : variables_) {
        envp_.push_back(text.data());
    }
    envp_.push_back(nullptr);
    words_.push_back(program.string());
    words_.insert(words_.end(), arguments.begin(), arguments.end());
    for (auto& word : words_) {
        argv_.push_back(word.data());
    }
    argv_.push_back(nullptr);
}

Output run(const fs::path& program, const std::vector<std::string>& arguments,
           const std::map<std::string, std::string>& environment, const std::string& input) {
    Invocation invocation(program, arguments, environment);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid;
    int spawned = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, invocation.argv(),
                                 invocation.envp());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        throw std::system_error(spawned, std::generic_category(), "spawn " + program.string());
    }
    Output result;
    std::size_t written = 0;
    int inFd = in[1];
    if (input.empty()) {
        ::close(inFd);
        inFd = -1;
    }
    int outFd = out[0], errFd = err[0];
    while (outFd >= 0 || errFd >= 0) {
        pollfd fds[3];
        int n = 0;
        if (outFd >= 0)
            fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0)
            fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0)
            fds[n++] = {inFd, POLLOUT, 0};
        if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == inFd) {
                ssize_t w = ::write(inFd, input.data() + written, input.size() - written);
                if (w > 0)
                    written += static_cast<std::size_t>(w);
                if (w < 0 || written == input.size()) {
                    ::close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buffer[65536];
            ssize_t r = ::read(fds[i].fd, buffer, sizeof buffer);
            if (r > 0) {
                (fds[i].fd == outFd ? result.out : result.err)
                    .append(buffer, static_cast<std::size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                int& which = fds[i].fd == outFd ? outFd : errFd;
                ::close(which);
                which = -1;
            }
        }
    }
    if (inFd >= 0)
        ::close(inFd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

fs::path selfSignedCertificate(const fs::path& directory) {
    fs::path certificate = directory / "cert.pem";
    Output made = run("/usr/bin/openssl",
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-keyout", (directory / "key.pem").string(), "-out",
                       certificate.string(), "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
                       "subjectAltName=IP:127.0.0.1,DNS:localhost"});
    if (made.status != 0) {
        throw std::runtime_error("openssl req failed: " + made.err);
    }
    return certificate;
}

void writeFile(const fs::path& path, const std::string& content) {
    if (path.has_parent_path())
        fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file)
        throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

} // namespace TestSupport
