// Times whole commands against each other, interleaved round by round so that the machine's
// changing load falls on every command alike, and prints the median wall, user and system
// time of each with the ratio of each later command to the first.
//
//   command-times RUNS -- LABEL PROGRAM [ARGUMENT...] -- LABEL PROGRAM [ARGUMENT...] ...
//
// Every command runs RUNS times (after a few warm-up rounds), with standard input, output and
// error on /dev/null; one that fails stops the measurement. Programs are started by path. User
// and system time include the command's own children (the tools it runs).
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int warmUpRounds = 5;

struct Command {
    std::string label;
    std::vector<std::string> argv;
    std::vector<double> wall, user, system; // milliseconds, one per run
};

double milliseconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_usec) / 1e3;
}

// Runs the command once; false when it could not start or did not exit with status 0.
bool runOnce(Command& command, bool record) {
    std::vector<char*> argv;
    for (auto& argument : command.argv) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd) {
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY,
                                         0);
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "cannot start %s: %s\n", argv[0], std::strerror(spawned));
        return false;
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            std::perror("wait4");
            return false;
        }
    }
    auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed (status %d)\n", command.label.c_str(), status);
        return false;
    }
    if (record) {
        command.wall.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        command.user.push_back(milliseconds(usage.ru_utime));
        command.system.push_back(milliseconds(usage.ru_stime));
    }
    return true;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5 || std::strcmp(argv[2], "--") != 0) {
        std::fprintf(stderr, "usage: %s RUNS -- LABEL PROGRAM [ARGUMENT...] -- ...\n", argv[0]);
        return 2;
    }
    int runs = std::atoi(argv[1]);
    std::vector<Command> commands;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            commands.emplace_back();
        } else if (commands.back().label.empty()) {
            commands.back().label = argv[i];
        } else {
            commands.back().argv.emplace_back(argv[i]);
        }
    }
    for (const auto& command : commands) {
        if (command.argv.empty()) {
            std::fprintf(stderr, "%s: no program\n", command.label.c_str());
            return 2;
        }
    }
    for (int round = 0; round < warmUpRounds + runs; ++round) {
        // Alternate the order too, so that no command always runs right after another.
        for (std::size_t k = 0; k < commands.size(); ++k) {
            std::size_t index = round % 2 ? commands.size() - 1 - k : k;
            if (!runOnce(commands[index], round >= warmUpRounds)) {
                return 1;
            }
        }
    }
    std::printf("median of %d interleaved runs; ratios to the first command\n", runs);
    std::printf("%-28s %10s %10s %10s %12s %12s\n", "command", "wall ms", "user ms", "sys ms",
                "wall ratio", "cpu ratio");
    double firstWall = median(commands[0].wall);
    double firstCPU = median(commands[0].user) + median(commands[0].system);
    for (const auto& command : commands) {
        double wall = median(command.wall);
        double cpu = median(command.user) + median(command.system);
        std::printf("%-28s %10.2f %10.2f %10.2f %12.2f %12.2f\n", command.label.c_str(), wall,
                    median(command.user), median(command.system), wall / firstWall,
                    firstCPU > 0 ? cpu / firstCPU : 0.0);
    }
    return 0;
}
