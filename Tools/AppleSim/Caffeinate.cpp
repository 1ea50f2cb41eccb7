// caffeinate: holds a sleep assertion until the process it waits for (-w PID) is gone, its
// time-out (-t) passes, or it is told to stop. There is no sleep to prevent here; what matters
// to callers is that it lives exactly that long.
#include "Tools.hpp"

#include "Failure.hpp"
#include "Options.hpp"
#include "Processes.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace AppleSim {

int caffeinate(const std::vector<std::string>& arguments) {
    std::optional<pid_t> watched;
    std::optional<double> seconds;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& word = arguments[index];
        if (word == "-d" || word == "-i" || word == "-m" || word == "-s" || word == "-u" ||
            word == "-di" || word == "-dims") {
            continue; // which kinds of sleep to prevent
        }
        if ((word == "-w" || word == "-t") && index + 1 < arguments.size()) {
            const std::string& value = arguments[++index];
            std::optional<double> number = parseNumber(value);
            if (!number || (word == "-w" && (*number < 1 || *number != static_cast<pid_t>(*number)))) {
                throw ToolFailure("caffeinate: invalid value '" + value + "' for " + word, 64);
            }
            if (word == "-w") {
                watched = static_cast<pid_t>(*number);
            } else {
                seconds = number;
            }
            continue;
        }
        throw ToolFailure("apple-sim: `caffeinate " + joinWords(arguments) +
                              "` is not simulated; caffeinate knows -d -i -m -s -u, -t SECONDS "
                              "and -w PID",
                          64);
    }
    int process = -1;
    if (watched) {
        process = static_cast<int>(::syscall(SYS_pidfd_open, *watched, 0));
        if (process < 0 && errno == ESRCH) {
            return 0; // already gone: nothing to wait for
        }
        if (process < 0) {
            throw ToolFailure(std::string("caffeinate: cannot watch process ") +
                                  std::to_string(*watched) + ": " + std::strerror(errno),
                              1);
        }
    }
    sigset_t stops;
    sigemptyset(&stops);
    for (int number : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stops, number);
    }
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    int signals = ::signalfd(-1, &stops, SFD_CLOEXEC);
    Processes::remember("caffeinate");
    pollfd waits[2] = {{signals, POLLIN, 0}, {process, POLLIN, 0}};
    int timeout = seconds ? static_cast<int>(*seconds * 1000) : -1;
    while (::poll(waits, process >= 0 ? 2 : 1, timeout) < 0 && errno == EINTR) {
    }
    Processes::forget(::getpid());
    return 0;
}

} // namespace AppleSim
