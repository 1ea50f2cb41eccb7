#include "Measure.hpp"

#include "Platform/File.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace Measure {

namespace {

double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

std::vector<char*> pointers(const std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (const std::string& text : texts) {
        result.push_back(const_cast<char*>(text.c_str()));
    }
    result.push_back(nullptr);
    return result;
}

} // namespace

std::vector<std::string> environment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        std::string text(*entry);
        if (!overrides.contains(text.substr(0, text.find('=')))) {
            result.push_back(text);
        }
    }
    for (const auto& [name, value] : overrides) {
        result.push_back(name + "=" + value);
    }
    return result;
}

Figures run(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
    // Output goes to files rather than pipes, so nothing here competes with the child for CPU.
    Platform::TemporaryFile output(Platform::temporaryDirectory(), "pipeline-benchmark-");
    Platform::TemporaryFile errors(Platform::temporaryDirectory(), "pipeline-benchmark-");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output.fd(), 1);
    posix_spawn_file_actions_adddup2(&actions, errors.fd(), 2);
    std::vector<char*> argv = pointers(arguments), envp = pointers(environment);
    auto start = std::chrono::steady_clock::now();
    pid_t child = 0;
    int error = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), "Cannot start " + arguments[0]);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    Figures figures;
    figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string command;
        for (const std::string& argument : arguments) {
            command += argument + " ";
        }
        throw std::runtime_error("Failed: " + command + "\n" + Platform::readFile(errors.path()));
    }
    figures.user = seconds(usage.ru_utime);
    figures.system = seconds(usage.ru_stime);
    figures.peak = static_cast<double>(usage.ru_maxrss) / 1024.0;
    figures.out = Platform::readFile(output.path());
    return figures;
}

double median(const std::vector<Figures>& runs, double Figures::*field) {
    std::vector<double> values;
    for (const Figures& figures : runs) {
        values.push_back(figures.*field);
    }
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace Measure
