// The supervisor of one login agent, standing in for launchd: it starts the agent's program in
// a session of its own with the session environment, working directory and output files the
// property list names, restarts it as KeepAlive asks but no sooner than ThrottleInterval after
// its last start, and stops it (SIGTERM, then SIGKILL to its process group after the exit
// time-out) when booted out, or when its record or the simulated Mac's world disappears.
#include "Agents.hpp"

#include "Processes.hpp"
#include "World.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace AppleSim::Agents {

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Starts the program; returns its pid, or 0 when it could not be started.
pid_t launch(const Agent& agent) {
    std::vector<std::string> environmentText;
    for (const auto& [name, value] : agent.environment) {
        environmentText.push_back(name + "=" + value);
    }
    std::vector<char*> environment;
    for (std::string& entry : environmentText) {
        environment.push_back(entry.data());
    }
    environment.push_back(nullptr);
    std::vector<std::string> words = agent.program;
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!agent.workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, agent.workingDirectory.c_str());
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    auto output = [&](int fd, const std::string& path) {
        posix_spawn_file_actions_addopen(&actions, fd, path.empty() ? "/dev/null" : path.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    };
    output(1, agent.standardOut);
    output(2, agent.standardError);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int failed = agent.executable.find('/') == std::string::npos
                     ? ::posix_spawnp(&pid, agent.executable.c_str(), &actions, &attributes,
                                      argv.data(), environment.data())
                     : ::posix_spawn(&pid, agent.executable.c_str(), &actions, &attributes,
                                     argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return failed ? 0 : pid;
}

bool restarts(const Agent& agent, int status) {
    if (agent.keepAlive == "always") {
        return true;
    }
    if (agent.keepAlive == "unsuccessful") {
        return status != 0;
    }
    return agent.keepAlive == "successful" && status == 0;
}

int statusOf(int wait) {
    return WIFEXITED(wait) ? WEXITSTATUS(wait) : 128 + WTERMSIG(wait);
}

// After a bootout the label stays loaded a while after its program has ended, as launchd's
// teardown finishes after launchctl has returned; then the record goes. A record that is gone
// already (apple-sim stop-all, a deleted world) ends the wait.
void finishBootout(const std::string& label, pid_t self) {
    for (;;) {
        std::optional<Agent> current = find(label);
        if (!current || current->supervisor != self || !current->bootingOut) {
            return;
        }
        if (realNow() >= current->bootedOutAt) {
            remove(label);
            return;
        }
        timespec pause{0, 20'000'000};
        ::nanosleep(&pause, nullptr);
    }
}

} // namespace

int supervise(const std::string& label) {
    sigset_t signals;
    sigemptyset(&signals);
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        sigaddset(&signals, number);
    }
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    pid_t self = ::getpid();
    std::optional<Agent> loaded = find(label);
    if (!loaded || !update(label, [&](Agent& agent) {
            agent.supervisor = self;
            agent.supervisorStarted = Processes::startTime(self);
        })) {
        return 1;
    }
    Agent agent = *loaded;
    pid_t job = 0;
    bool pending = agent.runAtLoad;
    Clock::time_point restartAt = Clock::now();
    Clock::time_point lastStart = Clock::now();

    auto record = [&](pid_t pid, std::optional<int> status, bool started) {
        std::uint64_t start = pid ? Processes::startTime(pid) : 0;
        return update(label, [&](Agent& saved) {
            saved.pid = pid;
            saved.started = start;
            if (started) {
                ++saved.runs;
            }
            if (status) {
                saved.lastExitStatus = status;
            }
        });
    };
    auto ended = [&](int status) {
        ::kill(-job, SIGKILL); // what the program left behind in its process group
        job = 0;
        record(0, status, false);
        if (restarts(agent, status)) {
            pending = true;
            restartAt = std::max(Clock::now(), lastStart + std::chrono::duration_cast<Clock::duration>(
                                                               std::chrono::duration<double>(agent.throttle)));
        }
    };
    auto stopJob = [&] {
        if (job == 0) {
            return;
        }
        ::kill(job, SIGTERM);
        Clock::time_point stopStart = Clock::now();
        int wait = 0;
        while (::waitpid(job, &wait, WNOHANG) == 0) {
            double left = agent.exitTimeout - since(stopStart);
            if (left <= 0) {
                ::kill(-job, SIGKILL);
                ::kill(job, SIGKILL);
                ::waitpid(job, &wait, 0);
                break;
            }
            timespec pause{0, 20'000'000};
            sigtimedwait(&signals, nullptr, &pause);
        }
        ::kill(-job, SIGKILL);
        job = 0;
        record(0, statusOf(wait), false);
    };

    for (;;) {
        if (pending && Clock::now() >= restartAt) {
            pending = false;
            lastStart = Clock::now();
            job = launch(agent);
            if (!record(job, std::nullopt, true)) {
                stopJob();
                return 0;
            }
            if (job == 0) {
                ended(78); // launchd's status for a program it could not start
                continue;
            }
        }
        if (job == 0 && !pending) {
            return 0; // stays loaded, with nothing left to run
        }
        double wait = pending ? std::chrono::duration<double>(restartAt - Clock::now()).count() : 1.0;
        wait = std::clamp(wait, 0.0, 1.0);
        timespec timeout{static_cast<time_t>(wait),
                         static_cast<long>((wait - static_cast<double>(static_cast<time_t>(wait))) * 1e9)};
        siginfo_t info{};
        int number = sigtimedwait(&signals, &info, &timeout);
        if (number == SIGCHLD) {
            int status = 0;
            if (job != 0 && ::waitpid(job, &status, WNOHANG) == job) {
                ended(statusOf(status));
            }
            while (::waitpid(-1, nullptr, WNOHANG) > 0) {
            }
        } else if (number == SIGTERM || number == SIGINT || number == SIGHUP) {
            stopJob();
            finishBootout(label, self);
            return 0;
        } else if (number < 0 && errno == EAGAIN) {
            // Still wanted? A bootout that lost the supervisor, or a world that was deleted
            // with its Mac, removes the record.
            std::optional<Agent> current = find(label);
            if (!current || current->supervisor != self) {
                stopJob();
                return 0;
            }
        }
    }
}

} // namespace AppleSim::Agents
